#pragma once
// SIGINT and SIGTERM (or Ctrl+C on Windows) as a flag the monitor loop reads.

#include <atomic>
#include <functional>
#include <memory>

namespace ardenvel::cli {

class StopSignal {
public:
    // `onStop` runs, on another thread, when a stop is requested: it wakes
    // whoever waits.
    explicit StopSignal(std::function<void()> onStop = {});
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool requested() const { return requested_.load(); }
    // What a signal does; a test may call it too.
    void request() {
        requested_.store(true);
        if (onStop_) onStop_();
    }

private:
    struct Impl;
    std::atomic<bool> requested_{false};
    std::function<void()> onStop_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel::cli
