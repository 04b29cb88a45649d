#pragma once
// A host that passes every request to another one and writes one line per
// request: what was sent, what came back, and whether it worked. Users
// debugging a bridge read these lines.

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/Host.h"

namespace ardenvel {

// "28 00 3A": upper-case hexadecimal, one space between bytes.
std::string hexBytes(std::span<const std::uint8_t> bytes);

class TracingHost final : public Host {
public:
    using Sink = std::function<void(const std::string& line)>;
    TracingHost(Host& inner, Sink sink) : inner_(inner), sink_(std::move(sink)) {}

    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override { return inner_.logicalDriveMask(); }
    std::uint8_t driveType(char letter) override { return inner_.driveType(letter); }
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    DiskIdentity driveIdentity(DriveHandle handle) override { return inner_.driveIdentity(handle); }
    bool closesRaiseNotices() const override { return inner_.closesRaiseNotices(); }
    void setDeviceChangeHandler(std::function<void()> handler) override {
        inner_.setDeviceChangeHandler(std::move(handler));
    }

    // The line format, apart from the host, for tests and documentation.
    static std::string cdbLine(const std::string& drive, std::span<const std::uint8_t, 10> cdb,
                               DataDirection direction, std::span<const std::uint8_t> data, bool ok);
    static std::string ataLine(const std::string& drive, const TaskFile& sent, const TaskFile& returned,
                               std::size_t dataBytes, bool ok);

private:
    std::string nameOf(DriveHandle h);
    void emit(const std::string& line);

    Host& inner_;
    Sink sink_;
    std::mutex mutex_;
    std::map<DriveHandle, std::string> names_;
};

}  // namespace ardenvel
