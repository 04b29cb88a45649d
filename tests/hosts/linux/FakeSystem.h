#pragma once
// A throw-away sysfs, /dev and mount table laid out like the kernel's, for
// LinuxHost and the sysfs helpers to read.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "hosts/linux/LinuxHost.h"

namespace ardenvel::testing {

class FakeSystem {
public:
    FakeSystem() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ardenvel-fake-XXXXXX").string();
        const char* made = ::mkdtemp(pattern.data());
        if (made == nullptr) std::abort();
        root_ = made;
        std::filesystem::create_directories(sysfs() / "block");
        std::filesystem::create_directories(sysfs() / "class" / "block");
        std::filesystem::create_directories(dev());
        setMounts("");
    }
    ~FakeSystem() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    std::filesystem::path root() const { return root_; }
    std::filesystem::path sysfs() const { return root_ / "sys"; }
    std::filesystem::path dev() const { return root_ / "dev"; }
    std::filesystem::path mounts() const { return root_ / "mounts"; }
    LinuxHostPaths paths() const { return {sysfs(), dev(), mounts()}; }

    // Where disks hang in the device tree, by bus.
    static constexpr const char* kScsiHost = "devices/pci0000:00/host0";
    static constexpr const char* kSataPort = "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
    static constexpr const char* kUsbPort =
        "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
    static constexpr const char* kNvme = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";

    // A disk behind hardware, with its partitions.
    void addDisk(const std::string& name, std::initializer_list<std::string> partitions = {},
                 const std::string& bus = kSataPort) {
        const auto dir = addBlock(bus + "/block", name, true);
        for (const auto& part : partitions) {
            std::filesystem::create_directories(dir / part);
            touch(dir / part / "partition");
            std::filesystem::create_directory_symlink("../../" + bus + "/block/" + name + "/" + part,
                                                      sysfs() / "class" / "block" / part);
            touch(dev() / part);
        }
    }
    // A device that sysfs shows with a "device" link but that is not a disk
    // (sr0, fd0) or is hidden.
    void addHardwareNonDisk(const std::string& name, bool hidden = false) {
        const auto dir = addBlock("devices/platform/block", name, true);
        if (hidden) write(dir / "hidden", "1\n");
    }
    // A virtual block device (loop, dm-, md) over the given devices.
    void addVirtual(const std::string& name, std::initializer_list<std::string> slaves = {}) {
        const auto dir = addBlock("devices/virtual/block", name, false);
        std::filesystem::create_directories(dir / "slaves");
        for (const auto& slave : slaves) std::filesystem::create_directories(dir / "slaves" / slave);
    }
    void removeDisk(const std::string& name) {
        std::filesystem::remove(sysfs() / "block" / name);
        std::filesystem::remove(sysfs() / "class" / "block" / name);
    }
    void linkDev(const std::string& path, const std::string& target) {
        std::filesystem::create_directories((dev() / path).parent_path());
        std::filesystem::create_symlink(target, dev() / path);
    }
    void setMounts(const std::string& text) { write(mounts(), text); }

    static void touch(const std::filesystem::path& file) { write(file, ""); }
    static void write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file, std::ios::trunc) << text;
    }

private:
    std::filesystem::path addBlock(const std::string& parent, const std::string& name, bool device) {
        const auto dir = sysfs() / parent / name;
        std::filesystem::create_directories(dir);
        if (device) std::filesystem::create_directories(dir / "device");
        std::filesystem::create_directory_symlink("../" + parent + "/" + name, sysfs() / "block" / name);
        std::filesystem::create_directory_symlink("../../" + parent + "/" + name,
                                                  sysfs() / "class" / "block" / name);
        touch(dev() / name);
        return dir;
    }

    std::filesystem::path root_;
};

}  // namespace ardenvel::testing
