#pragma once
// SIGINT and SIGTERM (or Ctrl+C on Windows) as a flag the monitor loop reads.

#include <atomic>
#include <memory>

namespace ardenvel::cli {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool requested() const { return requested_.load(); }

private:
    struct Impl;
    std::atomic<bool> requested_{false};
    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel::cli
