#pragma once

#include <filesystem>

#include "eventlog/LogFile.h"

namespace ardenvel {

// The directory of the running program, with the files it writes beside it;
// the current directory when it cannot be found.
std::filesystem::path executableDirectory();

// True when dir lies inside the tree this program was built in.
bool inBuildTree(const std::filesystem::path& dir);

// This process: its directory, whether it runs from its build tree, whether
// it is root.
ProgramPlace thisProgram();

}  // namespace ardenvel
