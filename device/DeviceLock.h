#pragma once
// The device lock: one device operation at a time, among the threads of
// this process and, through the machine lock, among every Ardenvel process
// on the machine. A thread may take it again while it holds it; its
// outermost hold also holds the machine lock.
//
// Waiting is trying again: between tries the caller's step runs (a short
// sleep, or the window handling its events) and may give up. No call blocks
// for longer than one try.

#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "platform/Host.h"

namespace ardenvel {

// What a program tells its user while an operation waits for another process.
inline constexpr char kTextWaitingForOtherProcess[] =
    "Waiting for another Ardenvel process to finish with the disks...";

class DeviceLock {
public:
    // Runs between two tries; false gives up.
    using WaitStep = std::function<bool()>;
    // Told, on the waiting thread, that a hold starts waiting for another
    // process (true), and that the wait is over, held or given up (false).
    using WaitNotice = std::function<void(bool waiting)>;

    // Set once, before any thread takes the lock; null: this process alone.
    void setMachineLock(MachineLock* machine);
    void setWaitNotice(WaitNotice notice);

    // Takes the lock, trying until it is had or `step` gives up.
    bool acquire(const WaitStep& step);
    // Until it is had or `stop` is requested.
    bool lockUnless(std::stop_token stop);
    // As long as it takes.
    void lock();
    // One try.
    bool try_lock();
    // A thread that does not hold it lets go of nothing.
    void unlock();

private:
    enum class Try { Held, ThisProcess, OtherProcess };
    Try tryOnce();
    void leaveLine();
    void notify(bool waiting);

    std::mutex mutex_;  // guards everything below
    std::thread::id owner_;
    unsigned depth_ = 0;
    // The one thread of this process in line for the machine lock.
    std::thread::id inLine_;
    MachineLock* machine_ = nullptr;
    WaitNotice notice_;
};

}  // namespace ardenvel
