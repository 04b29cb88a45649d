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
inline constexpr char kHelperNoAgentMessage[] =
    "No authentication agent is running to ask for an administrator's password, so Ardenvel cannot "
    "reach the enclosures. Start the desktop's polkit agent, or run Ardenvel as root.";
// The same, short enough for a status bar panel.
inline constexpr char kHelperDeclinedSummary[] = "Administrator rights were not given.";
inline constexpr char kHelperNoAgentSummary[] = "No authentication agent is running.";
inline constexpr char kHelperMissingSummary[] = "The host helper is not installed.";
inline constexpr char kHelperFailedSummary[] = "The host helper did not start.";

enum class LaunchOutcome {
    Connected,
    Declined,       // the prompt was dismissed, or the user is not authorised
    NoAgent,        // nobody could be asked
    HelperMissing,  // no helper where the command names it
    Failed,
};
struct HelperLaunch {
    std::unique_ptr<RemoteHost> host;  // never null; answers nothing unless Connected
    LaunchOutcome outcome = LaunchOutcome::Failed;
    std::string message;  // what to tell the user when not Connected
    std::string summary;  // the same in a few words
    int pid = -1;         // the helper's process while Connected
};

// Runs `command` (its first word looked up in PATH when it has no slash)
// with standard input and output on a socket pair, and waits for the
// helper's greeting. Until then its standard error is held back and read
// with its exit status to say why it did not come up (pkexec: 126 the
// prompt was dismissed, 127 with its reason); once connected, the helper's
// standard error goes on to ours.
HelperLaunch launchHelper(const std::vector<std::string>& command);
std::vector<std::string> pkexecCommand(const std::filesystem::path& helper);
// The helper built beside a program that runs from its build tree; the
// installed one otherwise, found from the program's own directory as the
// install laid them out (the path the polkit action names).
std::filesystem::path helperPath(const std::filesystem::path& programDir);

}  // namespace ardenvel::remote
