#include "app/SingleInstance.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace ardenvel::app {

std::filesystem::path SingleInstance::runtimeDirectory() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return "/tmp";
}

std::filesystem::path SingleInstance::lockFile(const std::string& name,
                                               const std::filesystem::path& directory) {
#ifdef _WIN32
    return directory / name;
#else
    // /tmp is shared by every user; the runtime directory is the user's own.
    // The mutex is per session on Windows, so keep the lock per user here.
    if (directory == "/tmp") return directory / (name + "-" + std::to_string(::getuid()));
    return directory / name;
#endif
}

#ifdef _WIN32

SingleInstance::SingleInstance(const std::string& name) : SingleInstance(name, {}) {}

SingleInstance::SingleInstance(const std::string& name, const std::filesystem::path&) {
    mutex_ = ::CreateMutexA(nullptr, TRUE, name.c_str());
    if (mutex_ == nullptr) {
        // Without a mutex there is nothing to hold; run rather than refuse.
        acquired_ = true;
        return;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::ReleaseMutex(mutex_);
        ::CloseHandle(mutex_);
        mutex_ = nullptr;
        return;
    }
    acquired_ = true;
}

SingleInstance::~SingleInstance() {
    if (mutex_ == nullptr) return;
    ::ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
}

#else

SingleInstance::SingleInstance(const std::string& name) : SingleInstance(name, runtimeDirectory()) {}

SingleInstance::SingleInstance(const std::string& name, const std::filesystem::path& directory) {
    const std::string path = lockFile(name, directory).string();
    // Close-on-exec: a child the program starts must not inherit the lock.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // An unusable runtime directory should not keep the tool from running.
        acquired_ = true;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        acquired_ = true;
        return;
    }
    ::close(fd_);
    fd_ = -1;
}

SingleInstance::~SingleInstance() {
    // Closing the descriptor drops the lock. The file stays: removing it
    // would let a third copy lock a fresh file while a second still holds
    // the old one.
    if (fd_ >= 0) ::close(fd_);
}

#endif

}  // namespace ardenvel::app
