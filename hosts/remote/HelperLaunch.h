#pragma once
// Starting the host helper: through pkexec for a program that is not root,
// as it is for tests and the command line's --helper; and what the user is
// told when it does not come up.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hosts/remote/RemoteHost.h"

namespace ardenvel::remote {

enum class HostRoute { Direct, Helper };
// Root talks to the disks itself; anyone else goes through the helper when
// someone is there to answer its authentication prompt.
HostRoute chooseHostRoute(bool privileged, bool canPrompt);

inline constexpr char kHelperDeclinedMessage[] =
    "Administrator rights were not given, so Ardenvel cannot reach the enclosures.";
// The same, short enough for a status bar panel.
inline constexpr char kHelperDeclinedSummary[] = "Administrator rights were not given.";
inline constexpr char kHelperFailedSummary[] = "The host helper did not start.";

enum class LaunchOutcome { Connected, Declined, Failed };
struct HelperLaunch {
    std::unique_ptr<RemoteHost> host;  // never null; answers nothing unless Connected
    LaunchOutcome outcome = LaunchOutcome::Failed;
    std::string message;  // what to tell the user when not Connected
    std::string summary;  // the same in a few words
    int pid = -1;         // the helper's process while Connected
};

// Runs `command` (its first word looked up in PATH when it has no slash)
// with standard input and output on a socket pair, and waits for the
// helper's greeting. pkexec's answers 126 (prompt dismissed) and 127 (not
// authorised) count as declined.
HelperLaunch launchHelper(const std::vector<std::string>& command);
std::vector<std::string> pkexecCommand(const std::filesystem::path& helper);
// The helper built beside a program that runs from its build tree; the
// installed one otherwise, the path the polkit action names.
std::filesystem::path helperPath(const std::filesystem::path& programDir);

}  // namespace ardenvel::remote
