// The machine-wide device lock over a shared lock directory, and the lock
// files that root's copy and an ordinary user's copy must both be able to
// take.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "hosts/MachineLock.h"

namespace ardenvel {
namespace {

namespace fs = std::filesystem;

struct LockDir {
    LockDir() {
        // Unique per run: other test programs may run beside this one.
        dir = fs::temp_directory_path() /
              ("ardenvel-machine-lock-" + std::to_string(std::random_device{}()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~LockDir() { fs::remove_all(dir); }
    fs::path dir;
};

// Two processes' locks are two opens of the same files, as here.
TEST(MachineLock, OneHolderAtATimeAndAWaiterGoesBeforeTheHoldersNextTurn) {
    LockDir d;
    auto a = makeDirectoryLock(d.dir);
    auto b = makeDirectoryLock(d.dir);
    ASSERT_TRUE(a && b);

    ASSERT_TRUE(a->tryLock());
    EXPECT_FALSE(b->tryLock());  // b is in line now
    a->unlock();
    EXPECT_FALSE(a->tryLock()) << "the holder came back before the one waiting";
    EXPECT_TRUE(b->tryLock());
    EXPECT_FALSE(a->tryLock());
    b->unlock();
    EXPECT_TRUE(a->tryLock());
    a->unlock();

    // A waiter that stops waiting lets the holder straight back in.
    ASSERT_TRUE(a->tryLock());
    EXPECT_FALSE(b->tryLock());
    b->stopWaiting();
    a->unlock();
    EXPECT_TRUE(a->tryLock());
    a->unlock();
}

TEST(MachineLock, ALockFileThatCannotBeMadeIsNoLock) {
    LockDir d;
    EXPECT_FALSE(LockFile(d.dir / "missing" / "x.lock").opened());
    EXPECT_EQ(makeDirectoryLock(d.dir / "missing"), nullptr);
}

#ifdef _WIN32
// The machine's own lock: Global\ mutexes, which belong to a thread.
TEST(MachineLock, TheMachinesMutexesKeepAnotherThreadOut) {
    auto a = makeSystemMachineLock();
    auto b = makeSystemMachineLock();
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->tryLock());
    std::thread([&] {
        EXPECT_FALSE(b->tryLock());
        b->stopWaiting();
    }).join();
    a->unlock();
    std::thread([&] {
        EXPECT_TRUE(b->tryLock());
        b->unlock();
    }).join();
}
#else
// What `sudo ardenvel` leaves behind must not keep a user's copy out: the
// file is world-readable whatever the umask, and a process that may not
// write it still locks it through a read-only open.
TEST(MachineLock, RootsLockFileIsOneAnOrdinaryUserCanLock) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play both users";
    LockDir d;
    fs::permissions(d.dir, fs::perms::all | fs::perms::sticky_bit);
    const fs::path file = d.dir / "ardenvel-device.lock";
    const mode_t oldMask = ::umask(077);
    LockFile root(file);
    ::umask(oldMask);
    ASSERT_TRUE(root.opened());
    EXPECT_EQ(
        fs::status(file).permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

    // The user's side, in a child that drops to "nobody": 2 = may write it
    // (wrong), 3 = could not open it, 10 = opened but refused, 20 = locked.
    const auto userTries = [&file] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
            if (::access(file.c_str(), W_OK) == 0) ::_exit(2);
            LockFile user(file);
            if (!user.opened()) ::_exit(3);
            ::_exit(user.tryLock() ? 20 : 10);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_TRUE(root.tryLock());
    EXPECT_EQ(userTries(), 10);
    root.unlock();
    EXPECT_EQ(userTries(), 20);
}
#endif

}  // namespace
}  // namespace ardenvel
