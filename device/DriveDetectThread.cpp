#include "device/DriveDetectThread.h"

#include "device/Discovery.h"

namespace ardenvel {

DriveDetectThread::DriveDetectThread(DeviceState& dev)
    : dev_(dev), thread_([this](std::stop_token stop) { run(stop); }) {}

DriveDetectThread::~DriveDetectThread() {
    stop();
}

void DriveDetectThread::requestStop() {
    thread_.request_stop();
}

void DriveDetectThread::stop() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
}

bool DriveDetectThread::stop(std::chrono::milliseconds grace) {
    thread_.request_stop();
    {
        std::unique_lock lock(waitMutex_);
        if (!ended_.wait_for(lock, grace, [this] { return finished_; })) return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

void DriveDetectThread::run(std::stop_token stop) {
    struct Finished {
        DriveDetectThread& t;
        ~Finished() {
            std::lock_guard lock(t.waitMutex_);
            t.finished_ = true;
            t.ended_.notify_all();
        }
    } finished{*this};
    while (!stop.stop_requested()) {
        if (dev_.discoveryRequest.exchange(false)) {
            // Pending again in case the previous pass cleared it after this
            // request was raised: the polling thread must keep off meanwhile.
            dev_.discoveryPending = true;
            if (!RunDiscovery(dev_, stop)) return;
            PublishDiscoveryResult(dev_);
            continue;
        }
        std::unique_lock lock(waitMutex_);
        wake_.wait_for(lock, stop, std::chrono::milliseconds(100), [] { return false; });
    }
}

}  // namespace ardenvel
