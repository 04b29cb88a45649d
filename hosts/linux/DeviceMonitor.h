#pragma once
// Watches for disks coming and going (udev "block" events) and for volumes
// being mounted or unmounted (the mount table), on a thread of its own, and
// calls onChange for each batch of changes. The thread ends in the
// destructor.

#include <filesystem>
#include <functional>
#include <string_view>
#include <thread>

struct udev;
struct udev_monitor;

namespace ardenvel::linuxhost {

// Whether a udev block event is a device change: a disk or a partition
// added or removed. A "change" is none: udev sends one each time a writer
// closes a disk and it re-reads it, so the tool's own work would echo.
bool isDeviceChangeEvent(std::string_view action, std::string_view devtype);

class DeviceMonitor {
public:
    DeviceMonitor(const std::filesystem::path& mountTable, std::function<void()> onChange);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Whether udev events, mount-table changes, or both are being watched.
    bool watchingUdev() const { return monitor_ != nullptr; }
    bool watchingMounts() const { return mountsFd_ >= 0; }

private:
    void run();
    bool drainUdev();

    std::function<void()> onChange_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int mountsFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace ardenvel::linuxhost
