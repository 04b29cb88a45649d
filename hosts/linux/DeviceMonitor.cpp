#include "hosts/linux/DeviceMonitor.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ardenvel::linuxhost {

bool isDeviceChangeEvent(std::string_view action, std::string_view devtype) {
    return (action == "add" || action == "remove") && (devtype == "disk" || devtype == "partition");
}

void CloseEchoes::closedAfterWriting(const std::string& disk, Clock::time_point at) {
    std::lock_guard lock(mutex_);
    closes_[disk] = at;
}

bool CloseEchoes::isEcho(std::string_view devtype, std::string_view disk, Clock::time_point at) const {
    if (devtype != "partition") return false;
    std::lock_guard lock(mutex_);
    const auto it = closes_.find(disk);
    return it != closes_.end() && at - it->second <= kWindow;
}

DeviceMonitor::DeviceMonitor(const std::filesystem::path& mountTable, std::function<void()> onChange,
                             const CloseEchoes* echoes)
    : onChange_(std::move(onChange)), echoes_(echoes) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return;

    udev_ = udev_new();
    if (udev_ != nullptr) {
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ != nullptr &&
            (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
             udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
    }
    // Mounting raises no udev event, yet it changes the drive letters.
    mountsFd_ = ::open(mountTable.c_str(), O_RDONLY | O_CLOEXEC);

    if (monitor_ == nullptr && mountsFd_ < 0) return;
    thread_ = std::thread([this] { run(); });
}

DeviceMonitor::~DeviceMonitor() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        // Can only fail if the counter overflowed, which a single stop cannot do.
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    if (udev_ != nullptr) udev_unref(udev_);
    if (mountsFd_ >= 0) ::close(mountsFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool DeviceMonitor::isOwnEcho(udev_device* device, std::string_view devtype) const {
    if (echoes_ == nullptr || devtype != "partition") return false;
    // A partition's path ends in .../block/DISK/PART. Taken from the event,
    // not looked up in sysfs: the helper's system calls are few.
    const char* path = udev_device_get_devpath(device);
    if (path == nullptr) return false;
    std::string_view devpath(path);
    const auto part = devpath.rfind('/');
    if (part == std::string_view::npos || part == 0) return false;
    const auto disk = devpath.rfind('/', part - 1);
    if (disk == std::string_view::npos) return false;
    return echoes_->isEcho(devtype, devpath.substr(disk + 1, part - disk - 1), CloseEchoes::Clock::now());
}

bool DeviceMonitor::drainUdev() {
    bool any = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        const char* devtype = udev_device_get_devtype(device);
        if (action != nullptr && devtype != nullptr && isDeviceChangeEvent(action, devtype) &&
            !isOwnEcho(device, devtype))
            any = true;
        udev_device_unref(device);
    }
    return any;
}

void DeviceMonitor::run() {
    pollfd fds[3] = {};
    fds[0] = {wakeFd_, POLLIN, 0};
    fds[1] = {monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1, POLLIN, 0};
    // The mount table always reads as ready; a change shows as POLLPRI/POLLERR.
    fds[2] = {mountsFd_, POLLPRI, 0};

    for (;;) {
        const int ready = ::poll(fds, 3, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        bool changed = false;
        // POLLERR here is a receive-buffer overrun: events were lost, and
        // reading clears it.
        if (fds[1].revents & (POLLIN | POLLERR)) changed = drainUdev() || (fds[1].revents & POLLERR) != 0;
        if (fds[1].revents & (POLLHUP | POLLNVAL)) fds[1].fd = -1;
        if (fds[2].revents & (POLLPRI | POLLERR)) changed = true;
        if (fds[2].revents & POLLNVAL) fds[2].fd = -1;
        if (changed && onChange_) onChange_();
    }
}

}  // namespace ardenvel::linuxhost
