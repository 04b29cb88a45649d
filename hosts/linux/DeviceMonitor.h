#pragma once
// Watches for disks coming and going (udev "block" events) and for volumes
// being mounted or unmounted (the mount table), on a thread of its own, and
// calls onChange for each batch of changes. The thread ends in the
// destructor.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

struct udev;
struct udev_device;
struct udev_monitor;

namespace ardenvel::linuxhost {

// Whether a udev block event is a device change: a disk or a partition
// added or removed. A "change" is none: udev sends one each time a writer
// closes a disk and it re-reads it, so the tool's own work would echo.
bool isDeviceChangeEvent(std::string_view action, std::string_view devtype);

// The partition events of the process's own closes. udev re-reads a disk
// whenever a descriptor opened for writing on it is closed, and the kernel
// then removes and adds its partitions again: a moment after the close, on
// a loaded machine seconds. Those of a disk this process closed so within
// the window are echoes; a disk coming or going never is one.
class CloseEchoes {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kWindow = std::chrono::seconds(5);

    void closedAfterWriting(const std::string& disk, Clock::time_point at);
    bool isEcho(std::string_view devtype, std::string_view disk, Clock::time_point at) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Clock::time_point, std::less<>> closes_;
};

class DeviceMonitor {
public:
    // With `echoes`, partition events that are echoes of the process's own
    // closes are no device changes.
    DeviceMonitor(const std::filesystem::path& mountTable, std::function<void()> onChange,
                  const CloseEchoes* echoes = nullptr);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Whether udev events, mount-table changes, or both are being watched.
    bool watchingUdev() const { return monitor_ != nullptr; }
    bool watchingMounts() const { return mountsFd_ >= 0; }

private:
    void run();
    bool drainUdev();
    bool isOwnEcho(udev_device* device, std::string_view devtype) const;

    std::function<void()> onChange_;
    const CloseEchoes* echoes_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int mountsFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace ardenvel::linuxhost
