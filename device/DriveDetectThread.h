#pragma once
// The discovery thread: waits in 100 ms steps for DiscoveryRequest, runs one
// pass per request and raises DiscoveryDone when its result is published.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "device/DeviceState.h"

namespace ardenvel {

class DriveDetectThread {
public:
    // Starts running at once; a request raised before is taken straight away.
    explicit DriveDetectThread(DeviceState& dev);
    ~DriveDetectThread();
    DriveDetectThread(const DriveDetectThread&) = delete;
    DriveDetectThread& operator=(const DriveDetectThread&) = delete;

    // Ends the wait at once, or abandons a running pass at the next drive;
    // does not wait. Lets the window signal every thread before joining any.
    void requestStop();
    // requestStop, then joins. Safe to call more than once.
    void stop();

private:
    void run(std::stop_token stop);

    DeviceState& dev_;
    std::mutex waitMutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: it starts with the members above ready
};

}  // namespace ardenvel
