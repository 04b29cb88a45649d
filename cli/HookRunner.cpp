#include "cli/HookRunner.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace ardenvel::cli {
namespace {

bool isOwnVariable(std::string_view entry) {
    return entry.starts_with("ARDENVEL_");
}

}  // namespace

#ifdef _WIN32

HookResult runHook(const std::string& program, const std::string& argument, const HookEnvironment& env,
                   std::chrono::milliseconds limit, std::FILE* err) {
    HookResult r;
    std::vector<std::string> entries;
    if (char* block = ::GetEnvironmentStringsA()) {
        for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1)
            if (!isOwnVariable(p)) entries.emplace_back(p);
        ::FreeEnvironmentStringsA(block);
    }
    for (const auto& [k, v] : env) entries.push_back(k + "=" + v);
    std::sort(entries.begin(), entries.end(),
              [](const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
    std::string block;
    for (const auto& e : entries) block += e + '\0';
    block += '\0';

    std::fflush(err);
    HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(err)));
    HANDLE inheritable = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), out, ::GetCurrentProcess(), &inheritable, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = inheritable;
    si.hStdError = inheritable;
    PROCESS_INFORMATION pi{};
    std::string commandLine = "\"" + program + "\" " + argument;
    const BOOL started =
        ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                         CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, block.data(), nullptr, &si, &pi);
    if (inheritable) ::CloseHandle(inheritable);
    if (!started) {
        r.error = std::string("cannot start it (error ").append(std::to_string(::GetLastError())) + ")";
        return r;
    }
    ::CloseHandle(pi.hThread);
    if (::WaitForSingleObject(pi.hProcess, static_cast<DWORD>(limit.count())) == WAIT_TIMEOUT) {
        ::TerminateProcess(pi.hProcess, 1);
        ::WaitForSingleObject(pi.hProcess, INFINITE);
        r.how = HookResult::How::TimedOut;
    } else {
        DWORD code = 0;
        ::GetExitCodeProcess(pi.hProcess, &code);
        r.how = HookResult::How::Exited;
        r.code = static_cast<int>(code);
    }
    ::CloseHandle(pi.hProcess);
    return r;
}

#else

namespace {

// Waits for the child up to `limit`; false when it is still running then.
bool waitFor(pid_t pid, std::chrono::milliseconds limit, int& status) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (pidfd >= 0) ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
        } else {
            // No pidfd on this kernel: look again now and then.
            ::usleep(20000);
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return true;
}

}  // namespace

HookResult runHook(const std::string& program, const std::string& argument, const HookEnvironment& env,
                   std::chrono::milliseconds limit, std::FILE* err) {
    HookResult r;
    std::vector<std::string> entries;
    for (char** e = environ; e && *e; ++e)
        if (!isOwnVariable(*e)) entries.emplace_back(*e);
    for (const auto& [k, v] : env) entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = program, arg = argument;
    char* argv[] = {prog.data(), arg.data(), nullptr};

    std::fflush(err);
    const int errFd = ::fileno(err);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errFd, 1);
    if (errFd != 2) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    // Nothing else of ours: not the trace, the logs or the metrics being
    // written, whose streams are not opened close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a kill reaches what it started too; and
    // the signals the monitor blocks for itself are the hook's to take.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGUSR1, SIGHUP}) sigaddset(&defaults, s);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, prog.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        r.error = std::string("cannot start it: ") + std::strerror(rc);
        return r;
    }
    int status = 0;
    if (!waitFor(pid, limit, status)) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.how = HookResult::How::TimedOut;
        return r;
    }
    if (WIFEXITED(status)) {
        r.how = HookResult::How::Exited;
        r.code = WEXITSTATUS(status);
    } else {
        r.how = HookResult::How::Signalled;
        r.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return r;
}

#endif

std::string describeHookFailure(const std::string& program, const std::string& event, const HookResult& r,
                                std::chrono::milliseconds limit) {
    const std::string head = "ardenvel-cli: hook " + program + " for " + event + " ";
    switch (r.how) {
        case HookResult::How::Exited:
            return r.code == 0 ? std::string() : head + "failed with exit status " + std::to_string(r.code);
        case HookResult::How::Signalled: return head + "ended by signal " + std::to_string(r.code);
        case HookResult::How::TimedOut:
            return head + "was killed after its time limit of " + std::to_string(limit.count()) + " ms";
        case HookResult::How::NotStarted: return head + "did not run: " + r.error;
    }
    return {};
}

std::chrono::milliseconds HookRetries::delayAfter(unsigned failures) const {
    auto d = firstDelay;
    for (unsigned i = 1; i < failures && d < longestDelay; ++i) d *= 2;
    return std::min(d, longestDelay);
}

HookRunner::HookRunner(std::chrono::milliseconds limit, HookRetries retries, std::FILE* err,
                       std::function<void()> onChange)
    : limit_(limit), retries_(retries), err_(err), onChange_(std::move(onChange)) {}

HookRunner::~HookRunner() {
    finish();
}

void HookRunner::submit(std::vector<HookDelivery> runs) {
    if (runs.empty()) return;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        for (auto& d : runs) runs_.push_back({std::move(d), nextOrder_++, false});
        for (auto it = runs_.begin(); runs_.size() > kMaxQueued && it != runs_.end();) {
            if (it->running) {
                ++it;
                continue;
            }
            it = runs_.erase(it);
            ++dropped;
        }
        givenUp_ += dropped;
        if (dropped != 0) ++changes_;
        // As many as there are runs to do at once: a monitor without hooks
        // has no threads, one with a quiet enclosure few.
        while (workers_.size() < std::min<std::size_t>(kParallel, runs_.size()))
            workers_.emplace_back([this] { work(); });
    }
    if (dropped != 0)
        std::fprintf(err_, "ardenvel-cli: hooks fall behind; %zu queued run(s) given up\n", dropped);
    changed_.notify_all();
}

void HookRunner::finish() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        if (!finishAt_) finishAt_ = std::chrono::system_clock::now();
        workers.swap(workers_);
    }
    changed_.notify_all();
    for (auto& w : workers) w.join();
}

std::vector<HookDelivery> HookRunner::pending() {
    std::lock_guard lock(mutex_);
    std::vector<HookDelivery> out;
    for (const Run& r : runs_) out.push_back(r.d);
    return out;
}

std::size_t HookRunner::pendingAlerts() {
    std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> alerts;
    for (const Run& r : runs_)
        if (std::find(alerts.begin(), alerts.end(), r.d.alert) == alerts.end()) alerts.push_back(r.d.alert);
    return alerts.size();
}

unsigned long long HookRunner::failures() {
    std::lock_guard lock(mutex_);
    return failures_;
}

unsigned long long HookRunner::givenUp() {
    std::lock_guard lock(mutex_);
    return givenUp_;
}

unsigned long long HookRunner::changes() {
    std::lock_guard lock(mutex_);
    return changes_;
}

std::list<HookRunner::Run>::iterator HookRunner::due(std::chrono::system_clock::time_point now) {
    // Once finishing, only what was due when the finish began.
    const auto until = finishAt_ ? std::min(now, *finishAt_) : now;
    auto best = runs_.end();
    for (auto it = runs_.begin(); it != runs_.end(); ++it)
        if (!it->running && it->d.notBefore <= until && (best == runs_.end() || it->order < best->order))
            best = it;
    return best;
}

void HookRunner::ended(std::list<Run>::iterator run, const HookResult& r) {
    ++changes_;
    if (r.ok()) {
        runs_.erase(run);
        return;
    }
    ++failures_;
    HookDelivery& d = run->d;
    ++d.failures;
    std::string line = describeHookFailure(d.program, d.event, r, limit_);
    if (d.failures > retries_.retries) {
        line.append("; given up after ").append(std::to_string(d.failures)).append(" runs");
        ++givenUp_;
        runs_.erase(run);
    } else {
        const auto delay = retries_.delayAfter(d.failures);
        char when[32];
        std::snprintf(when, sizeof when, "%.3g s", std::chrono::duration<double>(delay).count());
        line += std::string("; trying again in ") + when;
        d.notBefore = std::chrono::system_clock::now() + delay;
        run->running = false;
    }
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

void HookRunner::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto it = due(std::chrono::system_clock::now());
        if (it != runs_.end()) {
            it->running = true;
            const HookDelivery d = it->d;
            lock.unlock();
            const HookResult r = runHook(d.program, d.event, d.env, limit_, err_);
            lock.lock();
            ended(it, r);
            changed_.notify_all();
            if (onChange_) {
                lock.unlock();
                onChange_();
                lock.lock();
            }
            continue;
        }
        if (finishAt_) return;
        std::optional<std::chrono::system_clock::time_point> next;
        for (const Run& r : runs_)
            if (!r.running && (!next || r.d.notBefore < *next)) next = r.d.notBefore;
        if (next)
            changed_.wait_until(lock, *next);
        else
            changed_.wait(lock);
    }
}

}  // namespace ardenvel::cli
