#pragma once
// The discovery thread: waits in 100 ms steps for DiscoveryRequest, runs one
// pass per request and raises DiscoveryDone when its result is published.

#include <chrono>
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

    // Ends the wait at once, or abandons a running pass at its next request;
    // does not wait. Lets the window signal every thread before joining any.
    void requestStop();
    // requestStop, then joins. Safe to call more than once.
    void stop();
    // requestStop, then joins if the thread ends within `grace`. False when
    // it is still inside a request (a slow drive may take minutes to answer
    // one): the thread is left running, for the process to end it.
    bool stop(std::chrono::milliseconds grace);

private:
    void run(std::stop_token stop);

    DeviceState& dev_;
    std::mutex waitMutex_;
    std::condition_variable_any wake_;
    std::condition_variable ended_;
    bool finished_ = false;  // guarded by waitMutex_
    std::jthread thread_;    // last: it starts with the members above ready
};

}  // namespace ardenvel
