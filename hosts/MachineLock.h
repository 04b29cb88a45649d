#pragma once
// The machine-wide device lock, and the lock files it is made of.
//
// The lock is a pair: the lock proper and a gate in front of it. A process
// that finds the lock taken holds the gate while it keeps trying, so the
// holder, coming back for its next operation, waits at the gate until the
// waiter has had its turn.
//
// On Linux, and in a shared lock directory (the virtual enclosures, the
// tests), the pair is two lock files; on Windows the machine's lock is two
// named mutexes in the Global\ namespace. Either way the system drops the
// hold of a process that dies, so a crashed copy never blocks the next one.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Host.h"

namespace ardenvel {

// An exclusive advisory lock on a file that every user's process can lock,
// root's and an ordinary user's alike: the file is created world-readable,
// and opened read-only when it exists but cannot be opened for writing
// (flock and LockFileEx work on such a handle too).
class LockFile {
public:
    explicit LockFile(const std::filesystem::path& path);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // False when the file could neither be opened nor made.
    bool opened() const;
    // Never waits; true when this object now holds the lock.
    bool tryLock();
    void unlock();

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

inline constexpr char kDeviceLockName[] = "ardenvel-device";

#ifndef _WIN32
// The lock file `name` in /run/lock, or in $XDG_RUNTIME_DIR when /run/lock
// will not have it; nullptr when neither will.
std::unique_ptr<LockFile> openMachineLockFile(const std::string& name);
#endif

#ifndef _WIN32
// The directory of the lock files makeSystemMachineLock uses; none when
// neither will have them.
std::optional<std::filesystem::path> systemMachineLockDirectory();
#endif

// The device lock over lock files in `directory`; nullptr when they cannot
// be made there.
std::unique_ptr<MachineLock> makeDirectoryLock(const std::filesystem::path& directory);

// The machine's device lock: named mutexes in Global\ on Windows, lock files
// from openMachineLockFile elsewhere. nullptr when there is none to be had;
// the caller then runs without one rather than not at all.
std::unique_ptr<MachineLock> makeSystemMachineLock();

#ifdef _WIN32
// A named mutex in the Global\ namespace that every user's process may open.
// `existed` says that it was there already, or that another user's copy holds
// it and keeps this one out (the handle is then null).
void* openGlobalMutex(const std::string& name, bool initiallyOwned, bool& existed);
#endif

}  // namespace ardenvel
