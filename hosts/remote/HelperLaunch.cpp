#include "hosts/remote/HelperLaunch.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

extern char** environ;

namespace ardenvel::remote {
namespace {

constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

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

HelperLaunch notConnected(LaunchOutcome outcome, std::string message) {
    const char* summary = outcome == LaunchOutcome::Declined ? kHelperDeclinedSummary : kHelperFailedSummary;
    return HelperLaunch{std::make_unique<RemoteHost>(), outcome, std::move(message), summary, -1};
}

bool within(const std::filesystem::path& dir, const std::filesystem::path& root) {
    std::error_code ec;
    const auto d = std::filesystem::weakly_canonical(dir, ec);
    const auto r = std::filesystem::weakly_canonical(root, ec);
    const auto rel = d.lexically_relative(r);
    return !ec && !rel.empty() && *rel.begin() != "..";
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
    if (within(programDir, ARDENVEL_BUILD_ROOT) && std::filesystem::exists(built, ec)) return built;
    return ARDENVEL_HELPER_INSTALLED;
}

HelperLaunch launchHelper(const std::vector<std::string>& command) {
    if (command.empty()) return notConnected(LaunchOutcome::Failed, "No host helper was named.");
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return notConnected(LaunchOutcome::Failed,
                            std::string("The host helper could not be started: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        return notConnected(LaunchOutcome::Failed, "The host helper could not be started: " + command[0] +
                                                       ": " + std::strerror(spawned));
    }

    auto host = std::make_unique<RemoteHost>(ends[0], ends[0]);
    std::string error;
    if (!host->handshake(error)) {
        // The stream ended: the process has ended too, or is about to.
        const auto status = waitForExit(pid, std::chrono::seconds(10));
        if (status && WIFEXITED(*status) &&
            (WEXITSTATUS(*status) == kPkexecDismissed || WEXITSTATUS(*status) == kPkexecNotAuthorized))
            return notConnected(LaunchOutcome::Declined, kHelperDeclinedMessage);
        if (status && WIFEXITED(*status))
            error += " (exit status " + std::to_string(WEXITSTATUS(*status)) + ")";
        return notConnected(LaunchOutcome::Failed, "The host helper could not be started: " + error + ".");
    }
    host->setCloseAction([pid] { waitForExit(pid, std::chrono::seconds(10)); });
    return HelperLaunch{std::move(host), LaunchOutcome::Connected, {}, {}, pid};
}

}  // namespace ardenvel::remote
