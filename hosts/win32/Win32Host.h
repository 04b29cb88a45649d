#pragma once
// The host over the Win32 calls: CreateFileA on the drive paths,
// DeviceIoControl with the SCSI and IDE pass-through requests, the volume
// extents, GetLogicalDrives/GetDriveTypeA, and WM_DEVICECHANGE to a hidden
// window: USB device-interface notices and the system's broadcasts.

#include <functional>
#include <memory>

#include "platform/Host.h"

namespace ardenvel::win32 {

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
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;

private:
    struct Notifier;
    std::unique_ptr<Notifier> notifier_;
};

}  // namespace ardenvel::win32
