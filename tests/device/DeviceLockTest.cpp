// The device lock: one holder at a time among threads, taken again freely
// by its holder, and the machine lock held for exactly the outermost hold.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "device/DeviceLock.h"

namespace ardenvel {
namespace {

using namespace std::chrono_literals;

// Another process's hold, switched by the test.
struct FakeMachineLock final : MachineLock {
    std::atomic<bool> otherHolds{false};
    std::atomic<bool> held{false};
    std::atomic<int> inLine{0};
    bool tryLock() override {
        if (otherHolds) {
            inLine = 1;
            return false;
        }
        EXPECT_FALSE(held.exchange(true)) << "taken twice by one process";
        inLine = 0;
        return true;
    }
    void unlock() override { EXPECT_TRUE(held.exchange(false)) << "let go without holding it"; }
    void stopWaiting() override { inLine = 0; }
};

bool takenElsewhere(DeviceLock& lock) {
    return std::async(std::launch::async,
                      [&] {
                          const bool got = lock.try_lock();
                          if (got) lock.unlock();
                          return !got;
                      })
        .get();
}

TEST(DeviceLock, TheOutermostHoldOfOneThreadHoldsTheMachineLock) {
    FakeMachineLock machine;
    DeviceLock lock;
    lock.setMachineLock(&machine);

    lock.lock();
    EXPECT_TRUE(machine.held);
    ASSERT_TRUE(lock.try_lock());  // again, by its holder
    lock.unlock();
    EXPECT_TRUE(machine.held);
    EXPECT_TRUE(takenElsewhere(lock));
    lock.unlock();
    EXPECT_FALSE(machine.held);
    EXPECT_FALSE(takenElsewhere(lock));
    lock.unlock();  // not held: nothing happens
    EXPECT_FALSE(machine.held);
}

TEST(DeviceLock, AWaitForAnotherProcessIsToldOnceAndEndsWhenItLetsGo) {
    FakeMachineLock machine;
    DeviceLock lock;
    lock.setMachineLock(&machine);
    std::vector<bool> told;
    lock.setWaitNotice([&](bool waiting) { told.push_back(waiting); });

    machine.otherHolds = true;
    int steps = 0;
    ASSERT_TRUE(lock.acquire([&] {
        if (++steps == 5) machine.otherHolds = false;
        return true;
    }));
    EXPECT_EQ(steps, 5);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    lock.unlock();

    // Given up: the place in line goes too, and so does the notice.
    told.clear();
    machine.otherHolds = true;
    std::stop_source stop;
    auto waiter = std::async(std::launch::async, [&] { return lock.lockUnless(stop.get_token()); });
    while (machine.inLine == 0) std::this_thread::sleep_for(1ms);
    stop.request_stop();
    EXPECT_FALSE(waiter.get());
    EXPECT_EQ(machine.inLine, 0);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    EXPECT_FALSE(lock.try_lock());
    EXPECT_EQ(machine.inLine, 0) << "a single try kept a place in line";
}

TEST(DeviceLock, AThreadWaitsForAnotherThreadsHoldWithoutAskingTheMachine) {
    FakeMachineLock machine;
    DeviceLock lock;
    lock.setMachineLock(&machine);
    lock.lock();
    std::atomic<bool> got{false};
    std::thread other([&] {
        lock.lock();
        got = true;
        lock.unlock();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(got);
    lock.unlock();
    other.join();
    EXPECT_TRUE(got);
    EXPECT_FALSE(machine.held);
}

}  // namespace
}  // namespace ardenvel
