#include "hosts/linux/LinuxHost.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/hosts/linux/FakeSystem.h"

namespace ardenvel {
namespace {

using testing::FakeSystem;

std::uint32_t bit(char letter) {
    return 1u << (letter - 'A');
}

// Drives: sda = 0, sdb = 1 (SATA), nvme0n1 = 10 (behind the enclosure-capable ones).
class LinuxHostVolumes : public ::testing::Test {
protected:
    LinuxHostVolumes() {
        sys.addDisk("sda", {"sda1"});
        sys.addDisk("sdb", {"sdb1", "sdb2"});
        sys.addDisk("nvme0n1", {"nvme0n1p1"}, FakeSystem::kNvme);
        sys.addVirtual("dm-0", {"sdb2"});
        sys.addVirtual("loop0");
        sys.linkDev("mapper/crypt", "../dm-0");
        sys.setMounts(kMounts);
    }

    std::optional<std::uint32_t> diskOf(LinuxHost& host, char letter) {
        const DriveHandle h = host.openVolume(letter);
        if (h == kInvalidHandle) return std::nullopt;
        std::uint32_t disk = 0xFFFF;
        const bool ok = host.volumeDiskNumber(h, disk);
        host.closeDrive(h);
        return ok ? std::optional(disk) : std::nullopt;
    }

    static constexpr const char* kMounts =
        "/dev/sdb1 / ext4 rw 0 0\n"
        "proc /proc proc rw 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "/dev/loop0 /snap/core squashfs ro 0 0\n"
        "/dev/sda1 /boot vfat rw 0 0\n"
        "/dev/mapper/crypt /home ext4 rw 0 0\n"
        "/dev/sdb1 /srv ext4 rw 0 0\n"
        "/dev/sdc1 /mnt/gone ext4 rw 0 0\n"
        "/dev/nvme0n1p1 /data\\040disk ext4 rw 0 0\n";

    FakeSystem sys;
};

TEST_F(LinuxHostVolumes, LettersFromCInMountOrderWithTheirDiskNumbers) {
    LinuxHost host(sys.paths());
    // loop0 has no physical drive, sdc1 no disk at all, /srv repeats sdb1.
    EXPECT_EQ(host.logicalDriveMask(), bit('C') | bit('D') | bit('E') | bit('F'));
    EXPECT_EQ(diskOf(host, 'C'), 1u);   // sdb1
    EXPECT_EQ(diskOf(host, 'D'), 0u);   // sda1
    EXPECT_EQ(diskOf(host, 'E'), 1u);   // dm-0 on sdb2
    EXPECT_EQ(diskOf(host, 'F'), 10u);  // nvme0n1p1
    EXPECT_EQ(host.driveType('C'), kDriveFixed);
    EXPECT_EQ(host.driveType('F'), kDriveFixed);
    EXPECT_EQ(host.driveType('G'), kDriveNoRootDir);
    EXPECT_EQ(host.driveType('A'), kDriveNoRootDir);
    EXPECT_EQ(host.openVolume('G'), kInvalidHandle);
    EXPECT_EQ(host.openVolume('a'), kInvalidHandle);
}

TEST_F(LinuxHostVolumes, LettersAndNumbersSurviveOtherDevicesLeaving) {
    LinuxHost host(sys.paths());
    ASSERT_EQ(host.logicalDriveMask(), bit('C') | bit('D') | bit('E') | bit('F'));

    // sda1 unmounted and the nvme disk unplugged.
    sys.setMounts(
        "/dev/sdb1 / ext4 rw 0 0\n"
        "/dev/mapper/crypt /home ext4 rw 0 0\n"
        "/dev/nvme0n1p1 /data ext4 rw 0 0\n");
    sys.removeDisk("nvme0n1");
    EXPECT_EQ(host.logicalDriveMask(), bit('C') | bit('E'));
    EXPECT_EQ(diskOf(host, 'C'), 1u);
    EXPECT_EQ(diskOf(host, 'E'), 1u);
    EXPECT_EQ(host.openPhysicalDrive(10), kInvalidHandle);

    // A new mount takes the lowest free letter.
    sys.setMounts(
        "/dev/sdb1 / ext4 rw 0 0\n"
        "/dev/mapper/crypt /home ext4 rw 0 0\n"
        "/dev/sda1 /boot vfat rw 0 0\n");
    EXPECT_EQ(host.logicalDriveMask(), bit('C') | bit('D') | bit('E'));
    EXPECT_EQ(diskOf(host, 'D'), 0u);
}

TEST_F(LinuxHostVolumes, VolumeDiskNumberOnlyForVolumeHandles) {
    LinuxHost host(sys.paths());
    const DriveHandle drive = host.openPhysicalDrive(1);
    ASSERT_NE(drive, kInvalidHandle);
    std::uint32_t disk = 77;
    EXPECT_FALSE(host.volumeDiskNumber(drive, disk));
    EXPECT_FALSE(host.volumeDiskNumber(kInvalidHandle, disk));
    EXPECT_EQ(disk, 77u);
    host.closeDrive(drive);
}

TEST(LinuxHostDrives, OpensByNumberAndFailsCleanlyOtherwise) {
    FakeSystem sys;
    sys.addDisk("sda");
    sys.addDisk("sdb");
    std::filesystem::remove(sys.dev() / "sdb");  // in sysfs, but no node
    LinuxHost host(sys.paths());

    const DriveHandle a = host.openPhysicalDrive(0);
    const DriveHandle again = host.openPhysicalDrive(0);
    EXPECT_NE(a, kInvalidHandle);
    EXPECT_NE(again, kInvalidHandle);
    EXPECT_NE(a, again);
    EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
    EXPECT_EQ(host.openPhysicalDrive(2), kInvalidHandle);
    EXPECT_EQ(host.openPhysicalDrive(9), kInvalidHandle);
    // A missing node is not a matter of rights.
    EXPECT_FALSE(host.takePrivilegeWarning());
    host.closeDrive(a);
    host.closeDrive(again);
    host.closeDrive(again);  // twice is harmless
}

TEST(LinuxHostDrives, RequestsOnANonDeviceFailAndLeaveRegistersAlone) {
    FakeSystem sys;
    sys.addDisk("sda");
    LinuxHost host(sys.paths());
    const DriveHandle h = host.openPhysicalDrive(0);
    ASSERT_NE(h, kInvalidHandle);

    const std::array<std::uint8_t, 10> read10{0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0};
    std::array<std::uint8_t, 512> sector{};
    // A regular file takes no SG_IO.
    EXPECT_FALSE(host.sendCdb(h, read10, DataDirection::ToHost, sector, 2));
    TaskFile regs{0, 0, 0, 0, 0, 0xE0, 0xEC};
    const TaskFile sent = regs;
    EXPECT_FALSE(host.sendAta(h, regs, sector));
    EXPECT_EQ(regs, sent);
    // A buffer that is no whole number of sectors is never sent.
    EXPECT_FALSE(host.sendAta(h, regs, std::span(sector).first(100)));
    host.rescanBus(h);  // no rescan attribute in the fake tree: ignored

    host.closeDrive(h);
    EXPECT_FALSE(host.sendCdb(h, read10, DataDirection::ToHost, sector, 2));
    EXPECT_FALSE(host.sendAta(h, regs, {}));
}

TEST(LinuxHostDrives, AnOpenCarriesTheIdentityOfTheDiskItReached) {
    FakeSystem sys;
    for (const char* disk : {"sda", "sdb", "sdc"}) sys.addDisk(disk);
    const auto block = sys.sysfs() / "block";
    FakeSystem::write(block / "sda" / "diskseq", "41\n");
    FakeSystem::write(block / "sda" / "dev", "8:0\n");
    FakeSystem::write(block / "sdb" / "dev", "8:16\n");
    FakeSystem::write(block / "sdb" / "device" / "wwid", "naa.5000c500a1b2c3d4\n");
    LinuxHost host(sys.paths());
    const auto identityOf = [&](unsigned drive) {
        const DriveHandle h = host.openPhysicalDrive(drive);
        EXPECT_NE(h, kInvalidHandle);
        const DiskIdentity id = host.driveIdentity(h);
        host.closeDrive(h);
        return id;
    };
    // Before kernel 5.15 there is no diskseq: the WWN stands in.
    EXPECT_EQ(identityOf(0), (DiskIdentity{41, makedev(8, 0), ""}));
    EXPECT_EQ(identityOf(1), (DiskIdentity{0, makedev(8, 16), "naa.5000c500a1b2c3d4"}));
    EXPECT_FALSE(identityOf(2).known());
    // Another disk under the same name and number.
    FakeSystem::write(block / "sda" / "diskseq", "42\n");
    EXPECT_EQ(identityOf(0).sequence, 42u);
}

TEST(LinuxHostDrives, ClosesRaiseNoticesOnlyWhereDrivesOpenForWriting) {
    FakeSystem sys;
    for (const auto& [status, echoes] :
         {std::pair{"CapEff:\t0000000000020000\n", false}, std::pair{"CapEff:\t0000000000000000\n", true}}) {
        FakeSystem::write(sys.root() / "status", status);
        LinuxHostPaths paths = sys.paths();
        paths.procStatus = sys.root() / "status";
        EXPECT_EQ(LinuxHost(paths).closesRaiseNotices(), echoes) << status;
    }
}

// Runs `body` in a child process as an unprivileged user and returns its
// exit code; the parent stays root for the tests that follow.
template <typename Body>
int runUnprivileged(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(LinuxHostPrivilege, RefusedOpenWarnsOnce) {
    FakeSystem sys;
    sys.addDisk("sda");
    std::filesystem::permissions(sys.root(), std::filesystem::perms(0755));
    std::filesystem::permissions(sys.dev() / "sda", std::filesystem::perms::none);

    const int code = runUnprivileged([&] {
        LinuxHost host(sys.paths());
        if (host.takePrivilegeWarning()) return 1;  // nothing refused yet
        if (host.openPhysicalDrive(0) != kInvalidHandle) return 2;
        const auto first = host.takePrivilegeWarning();
        if (!first || *first != kLinuxPrivilegeMessage) return 3;
        if (host.openPhysicalDrive(0) != kInvalidHandle) return 4;
        if (host.takePrivilegeWarning()) return 5;  // once only
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "cannot drop privileges here";
    EXPECT_EQ(code, 0);
}

TEST(LinuxHostDeviceChanges, StopsPromptlyWithoutAnyChange) {
    FakeSystem sys;
    const auto start = std::chrono::steady_clock::now();
    {
        LinuxHost host(sys.paths());
        host.setDeviceChangeHandler([] {});
        host.setDeviceChangeHandler([] {});  // a second handler replaces the first
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(LinuxHostDeviceChanges, MountingAVolumeCallsTheHandler) {
    FakeSystem sys;
    const auto target = sys.root() / "mnt";
    std::filesystem::create_directories(target);
    // In a mount namespace of its own, so the machine's table stays as it is.
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(77);
        }
        std::atomic<int> calls{0};
        int code = 1;
        {
            LinuxHostPaths paths = sys.paths();
            paths.mountTable = "/proc/self/mounts";
            LinuxHost host(paths);
            host.setDeviceChangeHandler([&] { ++calls; });
            if (::mount("tmpfs", target.c_str(), "tmpfs", 0, nullptr) != 0) ::_exit(77);
            for (int i = 0; i < 200 && calls == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (calls > 0) code = 0;
            ::umount(target.c_str());
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    if (code == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace ardenvel
