#pragma once
// One copy of the program at a time on the whole machine, through a named
// lock held for the whole run, so that `ardenvel`, `sudo ardenvel` and
// `sudo -E ardenvel` are one instance. On Linux it is a lock file in
// /run/lock (or $XDG_RUNTIME_DIR when /run/lock will not have it), on
// Windows the named mutex in the Global\ namespace. The system drops the
// lock when the process dies, so a crashed copy never blocks the next one.

#include <filesystem>
#include <memory>
#include <string>

namespace ardenvel {
class LockFile;
}

namespace ardenvel::app {

inline constexpr char kInstanceMutexName[] = "QX_GUI";

class SingleInstance {
public:
    // Tries to take the machine's lock at once; never waits.
    explicit SingleInstance(const std::string& name);
    // The same with a lock file in `directory`, for a program that keeps its
    // own lock directory (the demo) and for tests.
    SingleInstance(const std::string& name, const std::filesystem::path& directory);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock.
    bool acquired() const { return acquired_; }

private:
    void take(std::unique_ptr<LockFile> file);

    bool acquired_ = false;
    std::unique_ptr<LockFile> file_;
#ifdef _WIN32
    void* mutex_ = nullptr;
#endif
};

}  // namespace ardenvel::app
