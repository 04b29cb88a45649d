#pragma once
// Runs the monitor's hook programs: one at a time, in the order of the
// events, on a thread of its own, so that a slow or hung hook never holds
// up a poll. Each run has a time limit; a hook still running at its end is
// killed, with its process group. Its output and any failure go to
// standard error, and the monitor goes on in every case.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
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

class HookRunner {
public:
    HookRunner(std::vector<std::string> programs, std::chrono::milliseconds limit, std::FILE* err);
    // Lets what is queued run first.
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    bool empty() const { return programs_.empty(); }
    // Queues one run of every program; never waits. Past kMaxQueued the
    // oldest runs are dropped, with a line on standard error.
    void submit(const std::string& event, HookEnvironment env);
    // Until everything queued has run.
    void drain();
    // Runs that did not succeed so far.
    unsigned failures();

    static constexpr std::size_t kMaxQueued = 1000;

private:
    struct Run {
        std::string program;
        std::string event;
        HookEnvironment env;
    };
    void loop();

    std::vector<std::string> programs_;
    std::chrono::milliseconds limit_;
    std::FILE* err_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Run> queue_;
    bool running_ = false;
    bool ending_ = false;
    unsigned failures_ = 0;
    std::thread thread_;
};

}  // namespace ardenvel::cli
