#pragma once
// TRaidThread: every 50 ms, unless a discovery pass is pending or a firmware
// command runs, hands one turn of ServeRequest to the window's thread and
// waits for it.
//
// The window provides a way to run work on its thread:
//
//   PostToWindow post: has `work` run on the window's thread. It may return at
//   once (in Qt, QMetaObject::invokeMethod(form, work, Qt::QueuedConnection))
//   or block until the work ran, as long as whoever owns a blocking runner can
//   release it (drop the work) before calling stop(). It is called from
//   TRaidThread. The work may run later than stop(), or never (the window
//   closed first); both are fine.
//
// The waiting lives here, in WindowHandoff, and can be abandoned: stop() wakes
// the thread out of its wait, so the window's thread can stop the thread even
// while it is itself the one that would have had to run the work (inside a
// modal box of a poll, or while closing). Work abandoned before it began never
// runs, so it may refer to state that is gone by the time it is dequeued.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace ardenvel {

using PostToWindow = std::function<void(std::function<void()> work)>;

class WindowHandoff {
public:
    explicit WindowHandoff(PostToWindow post) : post_(std::move(post)) {}

    // Worker side: posts `work` and waits until it has run. False when
    // abandoned first (the work then never starts, or runs to its end
    // unwatched if it had started).
    bool runAndWait(std::function<void()> work);
    // Any thread: wakes a waiting runAndWait; later calls return false at once.
    void abandon();

private:
    struct Call {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
    };

    PostToWindow post_;
    std::mutex mutex_;
    std::shared_ptr<Call> current_;
    bool abandoned_ = false;
};

struct RaidThreadInputs {
    const std::atomic<std::uint8_t>& pendingRequests;
    const std::atomic<bool>& discoveryPending;
    // BusyFlag; read on this thread.
    std::function<bool()> firmwareBusy;
    // One ServeRequest, run on the window's thread.
    std::function<void()> serve;
    PostToWindow post;
    std::chrono::milliseconds period{50};
};

class TRaidThread {
public:
    // Starts running at once.
    explicit TRaidThread(RaidThreadInputs inputs);
    ~TRaidThread();
    TRaidThread(const TRaidThread&) = delete;
    TRaidThread& operator=(const TRaidThread&) = delete;

    // Ends the thread and joins it; never waits for the window's thread.
    // Safe to call more than once, from any thread but this one's own.
    void stop();

private:
    void run(std::stop_token stop);

    RaidThreadInputs in_;
    WindowHandoff handoff_;
    std::mutex sleepMutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: starts with the members above ready
};

}  // namespace ardenvel
