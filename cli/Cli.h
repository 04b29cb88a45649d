#pragma once
// ardenvel-cli: the same core as the window, from a terminal.

#include <cstdio>
#include <string>
#include <vector>

namespace ardenvel::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoEnclosure = 3,
    kExitUpgradeIncomplete = 4,
    kExitNoRights = 5,  // the disks could not be reached for want of rights
};

// Runs one command line (without the program name). Output goes to out,
// messages to err.
int runCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace ardenvel::cli
