#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "monitor/RaidThread.h"
#include "tests/monitor/MonitorRig.h"

namespace ardenvel {
namespace {

using namespace std::chrono_literals;

// An event loop on its own thread, standing in for the window's.
class WindowLoop {
public:
    WindowLoop() : thread_([this] { loop(); }) {}
    ~WindowLoop() {
        post({});  // an empty task ends the loop
        thread_.join();
    }

    void post(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
        wake_.notify_all();
    }
    // Runs `task` on the loop and waits for it.
    template <class F>
    void sync(F task) {
        std::promise<void> done;
        post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    std::size_t queued() {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }
    // On the loop: runs what is queued now, as processing pending events does.
    void processPending() {
        std::deque<std::function<void()>> now;
        {
            std::lock_guard lock(mutex_);
            now.swap(queue_);
        }
        for (auto& task : now)
            if (task) task();
    }
    bool onLoop() const { return std::this_thread::get_id() == thread_.get_id(); }
    PostToWindow poster() {
        return [this](std::function<void()> work) { post(std::move(work)); };
    }

private:
    void loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return !queue_.empty(); });
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            if (!task) return;
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::thread thread_;
};

// A deadlock would hang the whole run; end it with a failure instead.
template <class F>
void withinSeconds(int seconds, F f) {
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(std::chrono::seconds{seconds}) != std::future_status::ready) {
        ADD_FAILURE() << "did not finish in time";
        std::_Exit(1);
    }
    result.get();
}

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

RaidThreadInputs inputsFor(test::MonitorRig& r, WindowLoop& loop, std::function<bool()> busy = {}) {
    return RaidThreadInputs{r.state.pendingRequests,     r.dev.discoveryPending, std::move(busy),
                            [&r] { ServeRequest(r.m); }, loop.poster(),          1ms};
}

TEST(RaidThread, ServesRequestsOnTheWindowThreadUnderLoad) {
    WindowLoop loop;
    test::MonitorRig r;
    std::atomic<int> offLoop{0};
    std::atomic<int> inService{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> polls{0};
    r.m.hooks.queryStatus = [&](std::uint8_t slot) {
        if (!loop.onLoop()) ++offLoop;
        if (inService.fetch_add(1) != 0) ++overlaps;
        r.state.statusBuffers[slot] = r.records[slot];
        inService.fetch_sub(1);
        return true;
    };
    r.m.hooks.updateEventLog = [&](std::uint8_t) { ++polls; };
    loop.sync([&] { r.enclosures(2); });

    TRaidThread raid(inputsFor(r, loop));
    // Timers and clicks, as the window's thread delivers them.
    for (int i = 0; i < 300; ++i) {
        loop.post([&r, i] {
            if (i % 3 == 0) Timer2Timer(r.m);
            if (i % 7 == 0) CheckBox6Click(r.m);
            if (i % 50 == 0) r.dev.discoveryPending = !r.dev.discoveryPending;
        });
        if (i % 10 == 0) std::this_thread::sleep_for(1ms);
    }
    loop.sync([&] { r.dev.discoveryPending = false; });
    EXPECT_TRUE(
        eventually([&] { return (r.state.pendingRequests.load() & request::kPoll) == 0 && polls > 0; }));
    withinSeconds(5, [&] { raid.stop(); });
    // A settings turn that had begun runs on to its end; the rig must outlive it.
    loop.sync([] {});
    EXPECT_EQ(offLoop, 0);
    EXPECT_EQ(overlaps, 0);
}

TEST(RaidThread, WaitsOutDiscoveryAndFirmwareCommands) {
    WindowLoop loop;
    test::MonitorRig r;
    std::atomic<bool> busy{true};
    std::atomic<int> queries{0};
    r.m.hooks.queryStatus = [&](std::uint8_t) { return ++queries, true; };
    loop.sync([&] {
        r.enclosures(1);
        r.dev.discoveryPending = true;
        r.state.pendingRequests = request::kPoll;
    });
    TRaidThread raid(inputsFor(r, loop, [&] { return busy.load(); }));
    std::this_thread::sleep_for(30ms);
    loop.sync([&] { r.dev.discoveryPending = false; });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(queries, 0);
    EXPECT_EQ(r.state.pendingRequests.load(), request::kPoll);
    busy = false;
    EXPECT_TRUE(eventually([&] { return queries == 1; }));
    withinSeconds(5, [&] { raid.stop(); });
    loop.sync([] {});  // the poll may still be running; the rig must outlive it
}

// A firmware command lets pending events run between its flash steps. A turn
// handed over just before it took BusyFlag runs inside it and must serve
// nothing, or the poll would move SelectedDevice under the upgrade.
TEST(RaidThread, APollDeliveredInsideAFirmwareCommandWaitsForItsEnd) {
    WindowLoop loop;
    test::MonitorRig r;
    std::atomic<bool> busy{false};
    r.m.hooks.firmwareBusy = [&] { return busy.load(); };
    loop.sync([&] { r.enclosures(2); });
    TRaidThread raid(inputsFor(r, loop));

    std::vector<std::uint8_t> selectedDuringUpgrade;
    std::size_t queriedDuringUpgrade = 0;
    loop.sync([&] {
        r.dev.selectedDevice = 1;
        Timer2Timer(r.m);
        ASSERT_TRUE(eventually([&] { return loop.queued() > 0; }));  // the turn is parked behind us
        busy = true;
        for (int step = 0; step < 20; ++step) {
            std::this_thread::sleep_for(1ms);
            loop.processPending();
            selectedDuringUpgrade.push_back(r.dev.selectedDevice);
        }
        queriedDuringUpgrade = r.queried.size();
        busy = false;
    });
    EXPECT_EQ(queriedDuringUpgrade, 0u);
    for (std::uint8_t s : selectedDuringUpgrade) EXPECT_EQ(s, 1);
    EXPECT_TRUE(eventually([&] { return loop.queued() == 0 && r.state.pendingRequests.load() == 0; }));
    loop.sync([&] { EXPECT_EQ(r.queried, (std::vector<int>{0, 1})); });
    withinSeconds(5, [&] { raid.stop(); });
}

TEST(RaidThread, StopFromABlockedWindowThreadDoesNotDeadlock) {
    auto loop = std::make_unique<WindowLoop>();
    auto rig = std::make_unique<test::MonitorRig>();
    std::atomic<int> served{0};
    auto raid = std::make_unique<TRaidThread>(RaidThreadInputs{
        rig->state.pendingRequests, rig->dev.discoveryPending, {}, [&] { ++served; }, loop->poster(), 1ms});

    // The window's thread is busy (a modal box, say) when the thread hands a
    // turn over; the window closes from inside it and stops the thread.
    std::promise<void> stopped;
    loop->post([&] {
        rig->state.pendingRequests = request::kPoll;
        EXPECT_TRUE(eventually([&] { return loop->queued() > 0; }));
        withinSeconds(5, [&] { raid->stop(); });
        stopped.set_value();
    });
    stopped.get_future().wait();
    raid.reset();
    rig.reset();  // the monitor is gone before the loop drains the parked turn
    loop.reset();
    EXPECT_EQ(served, 0);
}

TEST(RaidThread, StopsPromptlyWhenIdleAndMoreThanOnce) {
#ifdef _WIN32
    // Under Wine on a loaded machine a stop token's wake-up of a timed wait
    // is sometimes lost, and the thread sleeps out its period: a property
    // of the emulation, checked on the native build.
    GTEST_SKIP() << "stop-token wake-ups are not reliable under Wine";
#endif
    WindowLoop loop;
    test::MonitorRig r;
    TRaidThread raid(
        RaidThreadInputs{r.state.pendingRequests, r.dev.discoveryPending, {}, [] {}, loop.poster(), 10s});
    withinSeconds(2, [&] {
        raid.stop();
        raid.stop();
    });
}

}  // namespace
}  // namespace ardenvel
