#pragma once
// The host over the Win32 calls: CreateFileA on the drive paths,
// DeviceIoControl with the SCSI and IDE pass-through requests, the volume
// extents, GetLogicalDrives/GetDriveTypeA, and WM_DEVICECHANGE to a hidden
// window: USB device-interface notices and the system's broadcasts.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Host.h"

namespace ardenvel::win32 {

inline constexpr const char* kWin32PrivilegeMessage =
    "Ardenvel needs administrator rights to talk to the enclosures. Run it from an elevated prompt "
    "(Run as administrator).";

class Win32Host final : public Host {
public:
    Win32Host();
    ~Win32Host() override;

    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    // The device number, the disk's instance path and its serial.
    DiskIdentity driveIdentity(DriveHandle handle) override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;

    // kWin32PrivilegeMessage, the first time it is asked for after a disk
    // refused to open for lack of rights; nullopt before that and ever after.
    std::optional<std::string> takePrivilegeWarning();

private:
    DriveHandle open(const char* path);

    struct Notifier;
    std::unique_ptr<Notifier> notifier_;
    std::atomic<bool> accessDenied_{false};
    std::atomic<bool> warned_{false};
};

}  // namespace ardenvel::win32
