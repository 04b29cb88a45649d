#pragma once
// One copy of the program at a time, through a named lock held for the
// whole run. On Linux it is an flock on a file named after the lock in the
// user's runtime directory; the system drops it when the process dies, so a
// crashed copy never blocks the next one. On Windows it is the named mutex.

#include <filesystem>
#include <string>

namespace ardenvel::app {

inline constexpr char kInstanceMutexName[] = "QX_GUI";

class SingleInstance {
public:
    // Tries to take the lock at once; never waits.
    explicit SingleInstance(const std::string& name);
    // The same, with the lock file in `directory` (Linux; tests use their own).
    SingleInstance(const std::string& name, const std::filesystem::path& directory);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock.
    bool acquired() const { return acquired_; }

    // $XDG_RUNTIME_DIR, or /tmp when it is not set.
    static std::filesystem::path runtimeDirectory();
    static std::filesystem::path lockFile(const std::string& name, const std::filesystem::path& directory);

private:
    bool acquired_ = false;
#ifdef _WIN32
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace ardenvel::app
