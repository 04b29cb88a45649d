#include "device/DeviceLock.h"

#include <chrono>

namespace ardenvel {
namespace {

// Short against an operation; long enough that waiting costs no CPU to speak of.
constexpr auto kRetry = std::chrono::milliseconds(2);

}  // namespace

void DeviceLock::setMachineLock(MachineLock* machine) {
    std::lock_guard guard(mutex_);
    machine_ = machine;
}

void DeviceLock::setWaitNotice(WaitNotice notice) {
    std::lock_guard guard(mutex_);
    notice_ = std::move(notice);
}

DeviceLock::Try DeviceLock::tryOnce() {
    std::lock_guard guard(mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (owner_ == me) {
        ++depth_;
        return Try::Held;
    }
    if (owner_ != std::thread::id{}) return Try::ThisProcess;
    if (machine_ != nullptr) {
        // One thread at a time stands in line for the machine: a Windows
        // mutex, the gate among them, belongs to the thread that took it.
        if (inLine_ != std::thread::id{} && inLine_ != me) return Try::ThisProcess;
        if (!machine_->tryLock()) {
            inLine_ = me;
            return Try::OtherProcess;
        }
        inLine_ = std::thread::id{};
    }
    owner_ = me;
    depth_ = 1;
    return Try::Held;
}

void DeviceLock::leaveLine() {
    std::lock_guard guard(mutex_);
    if (inLine_ != std::this_thread::get_id()) return;
    machine_->stopWaiting();
    inLine_ = std::thread::id{};
}

void DeviceLock::notify(bool waiting) {
    WaitNotice notice;
    {
        std::lock_guard guard(mutex_);
        notice = notice_;
    }
    if (notice) notice(waiting);
}

bool DeviceLock::acquire(const WaitStep& step) {
    bool told = false;
    for (;;) {
        const Try t = tryOnce();
        if (t == Try::Held) break;
        if (t == Try::OtherProcess && !told) {
            told = true;
            notify(true);
        }
        if (!step()) {
            leaveLine();
            if (told) notify(false);
            return false;
        }
    }
    if (told) notify(false);
    return true;
}

bool DeviceLock::lockUnless(std::stop_token stop) {
    return acquire([&stop] {
        if (stop.stop_requested()) return false;
        std::this_thread::sleep_for(kRetry);
        return !stop.stop_requested();
    });
}

void DeviceLock::lock() {
    acquire([] {
        std::this_thread::sleep_for(kRetry);
        return true;
    });
}

bool DeviceLock::try_lock() {
    if (tryOnce() == Try::Held) return true;
    leaveLine();
    return false;
}

void DeviceLock::unlock() {
    std::lock_guard guard(mutex_);
    if (owner_ != std::this_thread::get_id() || depth_ == 0) return;
    if (--depth_ != 0) return;
    owner_ = std::thread::id{};
    if (machine_ != nullptr) machine_->unlock();
}

}  // namespace ardenvel
