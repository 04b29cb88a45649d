#pragma once
// Runs the monitor's hook programs, off the poll's thread, so that a slow
// or hung hook never holds up a poll. Each run has a time limit; a hook
// still running at its end is killed, with its process group. Its output
// and any failure go to standard error, and the monitor goes on in every
// case.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ardenvel::cli {

using HookEnvironment = std::vector<std::pair<std::string, std::string>>;

struct HookResult {
    enum class How { Exited, Signalled, TimedOut, NotStarted };
    How how = How::NotStarted;
    int code = 0;       // exit status, or the signal
    std::string error;  // why it did not start
    bool ok() const { return how == How::Exited && code == 0; }
};

// Runs `program` with `argument`, in the process environment less every
// ARDENVEL_ variable plus `env`; its standard output and error go to `err`.
// Waits for it up to `limit` and kills it beyond.
HookResult runHook(const std::string& program, const std::string& argument, const HookEnvironment& env,
                   std::chrono::milliseconds limit, std::FILE* err);

// The line standard error gets for a run that did not succeed.
std::string describeHookFailure(const std::string& program, const std::string& event, const HookResult& r,
                                std::chrono::milliseconds limit);

// One hook program's run for one alert. An alert is delivered when each of
// its runs has ended with exit status 0; until then its runs are kept, in
// the monitor's state directory too, so that a restart takes them up.
struct HookDelivery {
    std::uint64_t alert = 0;  // the alert's number; its runs share it
    std::string program;
    std::string event;  // the hook's argument
    HookEnvironment env;
    unsigned failures = 0;  // runs that did not succeed so far
    // Not to be run before this (a retry's back-off).
    std::chrono::system_clock::time_point notBefore{};
};

struct HookRetries {
    unsigned retries = 10;                        // runs after the first, then it is given up
    std::chrono::milliseconds firstDelay{30000};  // doubled after each failure
    std::chrono::milliseconds longestDelay{3600000};
    // The delay before the run after `failures` failed ones.
    std::chrono::milliseconds delayAfter(unsigned failures) const;
};

// Runs hook programs side by side, at most kParallel at a time, each with its
// own time limit, so a hung hook holds up no other. Runs start in the order
// they were given (and are due). A run that fails is tried again after a
// back-off, up to a limit, then given up with one line on standard error.
class HookRunner {
public:
    HookRunner(std::chrono::milliseconds limit, HookRetries retries, std::FILE* err,
               std::function<void()> onChange = {});
    // Ends as finish() does.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Queues runs; never waits. Past kMaxQueued the oldest are given up.
    void submit(std::vector<HookDelivery> runs);
    // Runs what is due now, waits for the runs under way, and stops; what
    // waits for a later retry is left in pending().
    void finish();
    // Runs not yet succeeded nor given up, in order.
    std::vector<HookDelivery> pending();
    // Alerts with a run pending.
    std::size_t pendingAlerts();
    // Runs that failed, and runs given up, since the start.
    unsigned long long failures();
    unsigned long long givenUp();
    // Counts every change of pending(): a run ended or was given up.
    unsigned long long changes();

    static constexpr std::size_t kMaxQueued = 1000;
    static constexpr unsigned kParallel = 8;

private:
    struct Run {
        HookDelivery d;
        std::uint64_t order = 0;
        bool running = false;
    };
    void work();
    // The next run to start, if one is due; with the lock held.
    std::list<Run>::iterator due(std::chrono::system_clock::time_point now);
    void ended(std::list<Run>::iterator run, const HookResult& r);

    std::chrono::milliseconds limit_;
    HookRetries retries_;
    std::FILE* err_;
    std::function<void()> onChange_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Run> runs_;
    std::uint64_t nextOrder_ = 0;
    // Set by finish(): nothing due after it starts.
    std::optional<std::chrono::system_clock::time_point> finishAt_;
    unsigned long long failures_ = 0;
    unsigned long long givenUp_ = 0;
    unsigned long long changes_ = 0;
    std::vector<std::thread> workers_;
};

}  // namespace ardenvel::cli
