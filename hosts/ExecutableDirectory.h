#pragma once

#include <filesystem>

namespace ardenvel {

// The directory of the running program, with the files it writes beside it;
// the current directory when it cannot be found.
std::filesystem::path executableDirectory();

}  // namespace ardenvel
