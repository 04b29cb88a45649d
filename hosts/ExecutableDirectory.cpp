#include "hosts/ExecutableDirectory.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <system_error>

namespace ardenvel {

std::filesystem::path executableDirectory() {
#ifdef _WIN32
    char buf[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return std::filesystem::path(std::string(buf, n)).parent_path();
#else
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return exe.parent_path();
#endif
    std::error_code ec2;
    return std::filesystem::current_path(ec2);
}

}  // namespace ardenvel
