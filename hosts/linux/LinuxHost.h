#pragma once
// The host on Linux: physical drives are the whole disks in sysfs, CDBs and
// ATA task files go through SG_IO, drive letters stand for mounted block
// devices, and device changes come from udev and the mount table.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Host.h"

namespace ardenvel {

struct LinuxHostPaths {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::filesystem::path mountTable = "/proc/self/mounts";
    std::filesystem::path procStatus = "/proc/self/status";  // for the capabilities
};

inline constexpr const char* kLinuxPrivilegeMessage =
    "Ardenvel needs administrator rights to talk to the enclosures. Run it with sudo, or as root.";

class LinuxHost final : public Host {
public:
    LinuxHost();
    explicit LinuxHost(LinuxHostPaths paths);
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;
    LinuxHost& operator=(const LinuxHost&) = delete;

    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    bool sendCdbWithStatus(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                           std::span<std::uint8_t> data, unsigned timeoutSeconds, CdbStatus& status) override;
    // diskseq (asked of the descriptor, else sysfs) with dev_t; the WWN or
    // serial where the kernel has no diskseq (before 5.15).
    DiskIdentity driveIdentity(DriveHandle handle) override;
    // Without CAP_SYS_RAWIO drives open for writing, and udev re-reads a disk
    // at each such close: its partitions go and come back.
    bool closesRaiseNotices() const override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;

    // The first time it is asked for after a disk refused to open or refused
    // a request for lack of privilege: for an ordinary user
    // kLinuxPrivilegeMessage, for root the device, the error and the likely
    // cause. nullopt before that and ever after.
    std::optional<std::string> takePrivilegeWarning();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel
