// ardenvel-vm-drivenumbers: the Linux host's drive numbers as a fresh
// process sees them, each with the disk it opens ("3 sde"), so that a test
// can hold them against the numbering the documentation promises.

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <set>
#include <string>

#include "hosts/linux/LinuxHost.h"

namespace {

std::set<std::string> openDevices() {
    std::set<std::string> devices;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return devices;
    while (const dirent* e = ::readdir(dir)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) devices.insert(std::string(target, static_cast<std::size_t>(n)));
    }
    ::closedir(dir);
    return devices;
}

}  // namespace

int main() {
    ardenvel::LinuxHost host;
    for (unsigned number = 0; number < 32; ++number) {
        const std::set<std::string> before = openDevices();
        const ardenvel::DriveHandle handle = host.openPhysicalDrive(number);
        if (handle == ardenvel::kInvalidHandle) continue;
        for (const std::string& device : openDevices()) {
            if (!before.contains(device) && device.starts_with("/dev/"))
                std::printf("%u %s\n", number, device.substr(5).c_str());
        }
        host.closeDrive(handle);
    }
    return 0;
}
