#include "hosts/MachineLock.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ardenvel {
namespace {

namespace fs = std::filesystem;

// The lock and the gate in front of it; see the header.
template <class Lockable>
class GatedLock final : public MachineLock {
public:
    GatedLock(std::unique_ptr<Lockable> gate, std::unique_ptr<Lockable> lock)
        : gate_(std::move(gate)), lock_(std::move(lock)) {}

    bool tryLock() override {
        if (!inLine_) {
            if (!gate_->tryLock()) return false;
            inLine_ = true;
        }
        if (!lock_->tryLock()) return false;
        gate_->unlock();
        inLine_ = false;
        return true;
    }
    void unlock() override { lock_->unlock(); }
    void stopWaiting() override {
        if (!inLine_) return;
        gate_->unlock();
        inLine_ = false;
    }

private:
    std::unique_ptr<Lockable> gate_;
    std::unique_ptr<Lockable> lock_;
    bool inLine_ = false;
};

#ifndef _WIN32
// /run/lock is shared by every user; the runtime directory is the user's own.
std::vector<fs::path> machineLockDirectories() {
    std::vector<fs::path> dirs{"/run/lock"};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') dirs.emplace_back(runtime);
    return dirs;
}
#endif

}  // namespace

#ifdef _WIN32

LockFile::LockFile(const fs::path& path) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        h = ::CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    if (h != INVALID_HANDLE_VALUE) handle_ = h;
}

LockFile::~LockFile() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
}

bool LockFile::opened() const {
    return handle_ != nullptr;
}

bool LockFile::tryLock() {
    if (handle_ == nullptr) return false;
    OVERLAPPED at{};
    return ::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void LockFile::unlock() {
    if (handle_ == nullptr) return;
    OVERLAPPED at{};
    ::UnlockFileEx(handle_, 0, 1, 0, &at);
}

void* openGlobalMutex(const std::string& name, bool initiallyOwned, bool& existed) {
    // An empty DACL would keep every other user out; no DACL lets them in,
    // so root's and a user's copy meet at the same mutex.
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const std::string global = "Global\\" + name;
    HANDLE h = ::CreateMutexA(&attributes, initiallyOwned ? TRUE : FALSE, global.c_str());
    const DWORD error = ::GetLastError();
    existed = h != nullptr ? error == ERROR_ALREADY_EXISTS : error == ERROR_ACCESS_DENIED;
    return h;
}

namespace {

class NamedMutex {
public:
    explicit NamedMutex(HANDLE h) : h_(h) {}
    ~NamedMutex() { ::CloseHandle(h_); }
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // An abandoned mutex is ours all the same: its holder died, and the
    // device requests it ran are over.
    bool tryLock() {
        const DWORD r = ::WaitForSingleObject(h_, 0);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void unlock() { ::ReleaseMutex(h_); }

private:
    HANDLE h_;
};

std::unique_ptr<NamedMutex> globalMutex(const std::string& name) {
    bool existed = false;
    HANDLE h = static_cast<HANDLE>(openGlobalMutex(name, false, existed));
    if (h == nullptr) h = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, ("Global\\" + name).c_str());
    if (h == nullptr) return nullptr;
    return std::make_unique<NamedMutex>(h);
}

}  // namespace

std::unique_ptr<MachineLock> makeSystemMachineLock() {
    auto gate = globalMutex(std::string(kDeviceLockName) + "-gate");
    auto lock = globalMutex(kDeviceLockName);
    if (!gate || !lock) return nullptr;
    return std::make_unique<GatedLock<NamedMutex>>(std::move(gate), std::move(lock));
}

#else

LockFile::LockFile(const fs::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
        // The umask must not keep the other users' copies out.
        ::fchmod(fd_, 0644);
        return;
    }
    if (errno != EEXIST) return;
    // Without O_CREAT: in a sticky directory the kernel may refuse that for
    // a file another user made, even to root.
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

LockFile::~LockFile() {
    // Closing the descriptor drops the lock. The file stays: removing it
    // would let a third copy lock a fresh file while a second holds the old.
    if (fd_ >= 0) ::close(fd_);
}

bool LockFile::opened() const {
    return fd_ >= 0;
}

bool LockFile::tryLock() {
    if (fd_ < 0) return false;
    int r = 0;
    while ((r = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return r == 0;
}

void LockFile::unlock() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

std::unique_ptr<LockFile> openMachineLockFile(const std::string& name) {
    for (const fs::path& dir : machineLockDirectories()) {
        auto file = std::make_unique<LockFile>(dir / (name + ".lock"));
        if (file->opened()) return file;
    }
    return nullptr;
}

std::unique_ptr<MachineLock> makeSystemMachineLock() {
    for (const fs::path& dir : machineLockDirectories())
        if (auto lock = makeDirectoryLock(dir)) return lock;
    return nullptr;
}

std::optional<fs::path> systemMachineLockDirectory() {
    for (const fs::path& dir : machineLockDirectories())
        if (makeDirectoryLock(dir)) return dir;
    return std::nullopt;
}

#endif

std::unique_ptr<MachineLock> makeDirectoryLock(const fs::path& directory) {
    const std::string name = kDeviceLockName;
    auto gate = std::make_unique<LockFile>(directory / (name + ".gate"));
    auto lock = std::make_unique<LockFile>(directory / (name + ".lock"));
    if (!gate->opened() || !lock->opened()) return nullptr;
    return std::make_unique<GatedLock<LockFile>>(std::move(gate), std::move(lock));
}

}  // namespace ardenvel
