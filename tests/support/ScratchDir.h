#pragma once
// A folder of a test's own under the temporary directory. The process id
// keeps runs that go side by side (other build trees, a suite run twice, the
// repeated sanitizer runs) out of each other's files.

#include <filesystem>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace ardenvel::test {

inline std::filesystem::path scratchDir(std::string_view name) {
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    return std::filesystem::temp_directory_path() /
           ("ardenvel-" + std::string(name) + "-" + std::to_string(pid));
}

}  // namespace ardenvel::test
