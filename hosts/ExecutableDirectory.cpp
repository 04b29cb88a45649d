#include "hosts/ExecutableDirectory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
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

bool inBuildTree(const std::filesystem::path& dir) {
    std::error_code ec;
    const auto d = std::filesystem::weakly_canonical(dir, ec);
    if (ec) return false;
    const auto r = std::filesystem::weakly_canonical(ARDENVEL_BUILD_ROOT, ec);
    const auto rel = d.lexically_relative(r);
    return !ec && !rel.empty() && *rel.begin() != "..";
}

ProgramPlace thisProgram() {
    ProgramPlace p;
    p.dir = executableDirectory();
    p.inBuildTree = inBuildTree(p.dir);
#ifndef _WIN32
    p.privileged = ::geteuid() == 0;
#endif
    return p;
}

}  // namespace ardenvel
