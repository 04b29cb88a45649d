#include "hosts/remote/HelperLaunch.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "hosts/ExecutableDirectory.h"

extern char** environ;

namespace ardenvel::remote {
namespace {

constexpr int kPkexecDismissed = 126;
constexpr int kPkexecRefused = 127;

// The exit status, or nullopt when the process is still running at the end
// of `limit` (it is then left to finish on its own).
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        ::usleep(2000);
    }
}

void writeToStderr(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The child's standard error: held while the launch may still fail, since
// pkexec says there why; passed on to ours once the helper is up.
class ErrorRelay {
public:
    explicit ErrorRelay(int fd) : fd_(fd) {
        thread_ = std::thread([this] { run(); });
    }
    ~ErrorRelay() { finish(); }
    ErrorRelay(const ErrorRelay&) = delete;
    ErrorRelay& operator=(const ErrorRelay&) = delete;

    void passOn() {
        std::lock_guard lock(mutex_);
        passing_ = true;
        writeToStderr(held_);
        held_.clear();
    }
    // Reads on to the end of the stream, or until it stays quiet once asked
    // to stop; what was held back.
    std::string finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        std::lock_guard lock(mutex_);
        return held_;
    }

private:
    static constexpr std::size_t kHeldMost = 16 * 1024;

    void run() {
        char buf[4096];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 50);
            if (ready < 0 && errno != EINTR) return;
            if (ready <= 0) {
                if (stop_) return;
                continue;
            }
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            std::lock_guard lock(mutex_);
            const std::string_view got(buf, static_cast<std::size_t>(n));
            if (passing_)
                writeToStderr(got);
            else if (held_.size() < kHeldMost)
                held_.append(got.substr(0, kHeldMost - held_.size()));
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    bool passing_ = false;
    std::string held_;
    std::thread thread_;
};

const char* summaryOf(LaunchOutcome outcome) {
    switch (outcome) {
        case LaunchOutcome::Declined: return kHelperDeclinedSummary;
        case LaunchOutcome::NoAgent: return kHelperNoAgentSummary;
        case LaunchOutcome::HelperMissing: return kHelperMissingSummary;
        default: return kHelperFailedSummary;
    }
}

HelperLaunch notConnected(LaunchOutcome outcome, std::string message) {
    return HelperLaunch{std::make_unique<RemoteHost>(), outcome, std::move(message), summaryOf(outcome), -1};
}

HelperLaunch missing(const std::string& helper) {
    return notConnected(
        LaunchOutcome::HelperMissing,
        "The host helper " + helper + " is not installed, so Ardenvel cannot reach the enclosures.");
}

bool isPkexec(const std::string& word) {
    return std::filesystem::path(word).filename() == "pkexec";
}

// The helper a command starts: pkexec's argument, or the command itself.
std::string helperNamed(const std::vector<std::string>& command) {
    return command.size() > 1 && isPkexec(command[0]) ? command[1] : command[0];
}

std::string firstLine(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return {};
    const std::size_t end = text.find_first_of("\r\n", start);
    return text.substr(
        start, std::min<std::size_t>(end == std::string::npos ? text.size() - start : end - start, 300));
}

// Why a launched command ended before the helper greeted: its exit status
// and what it said. pkexec's texts are matched where they tell more than
// its status does.
HelperLaunch whyNotConnected(std::optional<int> status, const std::string& said,
                             const std::string& streamError) {
    const int code = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    auto says = [&](const char* text) { return said.find(text) != std::string::npos; };
    if (code == kPkexecDismissed) return notConnected(LaunchOutcome::Declined, kHelperDeclinedMessage);
    if (code == kPkexecRefused) {
        // "No authentication agent found.", or no terminal for its own one.
        if (says("authentication agent")) return notConnected(LaunchOutcome::NoAgent, kHelperNoAgentMessage);
        for (const char* lead : {"Error accessing ", "Cannot run program "})
            if (const auto at = said.find(lead); at != std::string::npos) {
                const auto from = at + std::strlen(lead);
                return missing(said.substr(from, said.find(": ", from) - from));
            }
        if (said.empty() || says("Not authorized"))
            return notConnected(LaunchOutcome::Declined, kHelperDeclinedMessage);
    }
    std::string why = firstLine(said);
    if (why.empty()) why = streamError;
    if (code >= 0) why += " (exit status " + std::to_string(code) + ")";
    return notConnected(LaunchOutcome::Failed, "The host helper could not be started: " + why + ".");
}

}  // namespace

HostRoute chooseHostRoute(bool privileged, bool canPrompt) {
    return !privileged && canPrompt ? HostRoute::Helper : HostRoute::Direct;
}

std::vector<std::string> pkexecCommand(const std::filesystem::path& helper) {
    return {"pkexec", helper.string()};
}

std::filesystem::path helperPath(const std::filesystem::path& programDir) {
    const std::filesystem::path built = ARDENVEL_HELPER_BUILT;
    std::error_code ec;
    if (inBuildTree(programDir) && std::filesystem::exists(built, ec)) return built;
    // Relative, so that an install under any prefix finds its own helper.
    return (programDir / ARDENVEL_HELPER_FROM_BINDIR).lexically_normal();
}

HelperLaunch launchHelper(const std::vector<std::string>& command) {
    if (command.empty()) return notConnected(LaunchOutcome::Failed, "No host helper was named.");
    // Asking for a password to start nothing helps no one.
    const std::string helper = helperNamed(command);
    std::error_code ec;
    if (helper.find('/') != std::string::npos && !std::filesystem::exists(helper, ec)) return missing(helper);

    int ends[2];
    int errors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return notConnected(LaunchOutcome::Failed,
                            std::string("The host helper could not be started: ") + std::strerror(errno));
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return notConnected(LaunchOutcome::Failed,
                            std::string("The host helper could not be started: ") + std::strerror(error));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    ::close(errors[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        ::close(errors[0]);
        if (spawned == ENOENT && isPkexec(command[0]))
            return notConnected(
                LaunchOutcome::Failed,
                "pkexec was not found, so Ardenvel cannot ask for administrator rights. Install "
                "the pkexec package, or run Ardenvel as root.");
        if (spawned == ENOENT) return missing(command[0]);
        return notConnected(LaunchOutcome::Failed, "The host helper could not be started: " + command[0] +
                                                       ": " + std::strerror(spawned));
    }

    auto relay = std::make_shared<ErrorRelay>(errors[0]);
    auto host = std::make_unique<RemoteHost>(ends[0], ends[0]);
    std::string error;
    if (!host->handshake(error)) {
        // The stream ended: the process has ended too, or is about to.
        const auto status = waitForExit(pid, std::chrono::seconds(10));
        return whyNotConnected(status, relay->finish(), error);
    }
    relay->passOn();
    host->setCloseAction([pid, relay] {
        waitForExit(pid, std::chrono::seconds(10));
        relay->finish();
    });
    return HelperLaunch{std::move(host), LaunchOutcome::Connected, {}, {}, pid};
}

}  // namespace ardenvel::remote
