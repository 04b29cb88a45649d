// The installed helper's confinement, in a child process: what the Linux
// host does on this machine's real disks and sysfs still works, writing
// opens and new sockets fail, and any other call ends the process.

#include <gtest/gtest.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "hosts/linux/LinuxHost.h"
#include "hosts/remote/HelperSandbox.h"

namespace ardenvel::remote {
namespace {

std::string statusLine(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", key.size() + 1));
    return {};
}

// Runs `body` in a child; returns its exit status and what it wrote to `out`.
template <typename Body>
int inChild(std::string& said, Body body) {
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        ::_exit(body(ends[1]));
    }
    ::close(ends[1]);
    char buffer[256];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

void say(int fd, const std::string& text) {
    [[maybe_unused]] const auto n = ::write(fd, text.data(), text.size());
}

TEST(HelperSandbox, TheHostStillWorksWritesAndSocketsFailAnythingElseEndsIt) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's runtime makes calls of its own";
#endif
    std::string said;
    const int status = inChild(said, [](int out) {
        LinuxHost host;
        std::string error;
        if (::geteuid() == 0) {
            if (!sandbox::dropPrivileges(error)) return say(out, error), 1;
            say(out, "CapEff " + statusLine("CapEff") + "\n");
        }
        host.setDeviceChangeHandler({});
        if (!sandbox::confineSystemCalls(error)) return say(out, error), 1;
        say(out, "NoNewPrivs " + statusLine("NoNewPrivs") + " Seccomp " + statusLine("Seccomp") + "\n");

        // What the helper does on this machine.
        const std::uint32_t mask = host.logicalDriveMask();
        for (char letter = 'C'; letter <= 'Z'; ++letter) {
            if ((mask >> (letter - 'A') & 1) == 0) continue;
            host.driveType(letter);
            const DriveHandle v = host.openVolume(letter);
            std::uint32_t disk = 0;
            if (v != kInvalidHandle) host.volumeDiskNumber(v, disk), host.closeDrive(v);
        }
        for (unsigned n = 0; n < 10; ++n) {
            const DriveHandle h = host.openPhysicalDrive(n);
            if (h == kInvalidHandle) continue;
            host.driveIdentity(h);
            std::array<std::uint8_t, 36> answer{};
            const std::array<std::uint8_t, 10> inquiry{0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0};
            host.sendCdb(h, inquiry, DataDirection::ToHost, answer, 2);
            host.closeDrive(h);
        }
        // SG_IO and the disk's identity on every block device there is,
        // whether or not it takes them.
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec)) {
            const std::string node = "/dev/" + entry.path().filename().string();
            const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            std::uint64_t sequence = 0;
            ::ioctl(fd, BLKGETDISKSEQ, &sequence);
            sg_io_hdr_t hdr{};
            hdr.interface_id = 'S';
            ::ioctl(fd, SG_IO, &hdr);
            ::close(fd);
        }
        // Refused quietly.
        if (::open("/tmp/ardenvel-sandbox-probe", O_WRONLY | O_CREAT | O_CLOEXEC, 0600) >= 0 ||
            errno != EACCES)
            return say(out, "a file opened for writing\n"), 1;
        if (::open("/etc/hostname", O_RDWR | O_CLOEXEC) >= 0 || errno != EACCES)
            return say(out, "a file opened for reading and writing\n"), 1;
        if (::socket(AF_INET, SOCK_STREAM, 0) >= 0 || errno != EACCES) return say(out, "a socket made\n"), 1;
        say(out, "served\n");
        // Refused for good.
        ::unlink("/tmp/ardenvel-sandbox-probe");
        return 0;
    });
    EXPECT_EQ(status, sandbox::kExitForbiddenCall) << said;
    EXPECT_NE(said.find("served\n"), std::string::npos) << said;
    EXPECT_NE(said.find("NoNewPrivs 1 Seccomp 2"), std::string::npos) << said;
    if (::geteuid() == 0) {
        EXPECT_NE(said.find("CapEff 0000000000020000"), std::string::npos) << said;
    }
}

}  // namespace
}  // namespace ardenvel::remote
