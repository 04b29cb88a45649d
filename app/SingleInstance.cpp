#include "app/SingleInstance.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include "hosts/MachineLock.h"

namespace ardenvel::app {

void SingleInstance::take(std::unique_ptr<LockFile> file) {
    // A lock that cannot be had at all should not keep the tool from running.
    if (!file) {
        acquired_ = true;
        return;
    }
    acquired_ = file->tryLock();
    if (acquired_) file_ = std::move(file);
}

SingleInstance::SingleInstance(const std::string& name, const std::filesystem::path& directory) {
    auto file = std::make_unique<LockFile>(directory / (name + ".lock"));
    take(file->opened() ? std::move(file) : nullptr);
}

#ifdef _WIN32

SingleInstance::SingleInstance(const std::string& name) {
    bool existed = false;
    mutex_ = openGlobalMutex(name, true, existed);
    if (existed) {
        if (mutex_ != nullptr) {
            ::ReleaseMutex(mutex_);
            ::CloseHandle(mutex_);
            mutex_ = nullptr;
        }
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

SingleInstance::SingleInstance(const std::string& name) {
    take(openMachineLockFile(name));
}

// Closing the file drops the lock.
SingleInstance::~SingleInstance() = default;

#endif

}  // namespace ardenvel::app
