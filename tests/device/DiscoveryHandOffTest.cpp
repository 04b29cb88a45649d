#include <gtest/gtest.h>

#include <thread>

#include "device/DeviceChange.h"
#include "device/Discovery.h"
#include "device/DriveDetectThread.h"
#include "tests/device/DiscoveryFakeHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

using test::FakeDrive;
using test::FakeVolume;

class DiscoveryHandOff : public ::testing::Test {
protected:
    void SetUp() override {
        host.drives[0] = FakeDrive{.lbaSignature = true};
        host.volumes['C'] = FakeVolume{.disk = 0};
        RecountDrives(dev);
    }
    // Ticks until the countdown settles; returns the outcomes in order.
    std::vector<TickOutcome> tickUntilSettled(bool deferPass = false) {
        std::vector<TickOutcome> out;
        for (int i = 0; i < 30; ++i) {
            out.push_back(DeviceChangeTick(dev, deferPass));
            if (out.back() != TickOutcome::Settling) break;
        }
        return out;
    }
    static bool waitFor(const std::atomic<bool>& flag) {
        for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return flag;
    }

    test::FakeHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
};

using O = TickOutcome;

TEST_F(DiscoveryHandOff, BurstOfNoticesGivesOneRecountFiveTicksAfterTheLast) {
    OnDeviceChange(dev);
    DeviceChangeTick(dev, false);
    OnDeviceChange(dev);
    DeviceChangeTick(dev, false);
    OnDeviceChange(dev);
    host.physicalOpens.clear();
    EXPECT_EQ(tickUntilSettled(),
              (std::vector<O>{O::Settling, O::Settling, O::Settling, O::Settling, O::Recounted}));
    EXPECT_EQ(host.physicalOpens.size(), 10u);  // one recount
    EXPECT_FALSE(dev.discoveryRequest);
    EXPECT_FALSE(dev.discoveryPending);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::Idle);
}

TEST_F(DiscoveryHandOff, ChangedCountRequestsAPass) {
    host.drives[4] = FakeDrive{};
    host.volumes['F'] = FakeVolume{.disk = 4};
    OnDeviceChange(dev);
    EXPECT_EQ(tickUntilSettled().back(), O::RequestedPass);
    EXPECT_TRUE(dev.discoveryRequest);
    EXPECT_TRUE(dev.discoveryPending);
    EXPECT_EQ(dev.physicalDriveCount, 2u);
    EXPECT_EQ(dev.driveLetterCount, 2u);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::Blink);
}

TEST_F(DiscoveryHandOff, FirmwareCommandHoldsTheRecountAndAFinishedResultUntilItEnds) {
    host.drives[4] = FakeDrive{};
    OnDeviceChange(dev);
    EXPECT_EQ(tickUntilSettled(true).back(), O::Deferred);
    host.physicalOpens.clear();
    EXPECT_EQ(DeviceChangeTick(dev, true), O::Deferred);
    EXPECT_TRUE(host.physicalOpens.empty());
    EXPECT_FALSE(dev.discoveryRequest);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::RequestedPass);

    dev.discoveryPending = false;
    dev.discoveryDone = true;
    EXPECT_EQ(DeviceChangeTick(dev, true), O::Deferred);
    EXPECT_TRUE(dev.discoveryDone);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::ResultReady);
}

TEST_F(DiscoveryHandOff, FinishedPassIsAppliedWhileNoticesSettleAndBeforeBlinking) {
    dev.discoveryDone = true;
    dev.discoveryPending = true;
    OnDeviceChange(dev);
    // Notices that keep coming (each probe's close echoing) must not hold the result back.
    EXPECT_EQ(DeviceChangeTick(dev, false), O::ResultReady);
    EXPECT_FALSE(dev.discoveryDone);
    EXPECT_EQ(dev.deviceChangeCountdown, kCountdownStart + 1);  // the countdown went on all the same
    dev.deviceChangeCountdown = 0;
    dev.discoveryDone = true;
    EXPECT_EQ(DeviceChangeTick(dev, false), O::ResultReady);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::Blink);

    EXPECT_TRUE(ShouldBlinkCaption(true, kDriveDetecting));
    EXPECT_FALSE(ShouldBlinkCaption(false, kDriveDetecting));
    EXPECT_FALSE(ShouldBlinkCaption(true, "1/1 Device1[C]"));
}

// Where closes echo, the notices right after a recount are its own; where
// they do not, a notice then is a device coming or going and must not be lost.
TEST_F(DiscoveryHandOff, RecountsOwnEchoesStartNoFurtherRecountButOtherHostsLoseNoNotice) {
    for (const bool echoes : {true, false}) {
        SCOPED_TRACE(echoes ? "closes echo" : "no echoes");
        host.echoes = echoes;
        OnDeviceChange(dev);
        ASSERT_EQ(tickUntilSettled().back(), O::Recounted);
        OnDeviceChange(dev);
        EXPECT_EQ(DeviceChangeTick(dev, false), echoes ? O::Idle : O::Settling);
        tickUntilSettled();
        // After that tick a notice counts again.
        OnDeviceChange(dev);
        EXPECT_EQ(DeviceChangeTick(dev, false), O::Settling);
        tickUntilSettled();
        DeviceChangeTick(dev, false);  // past this recount's echoes
    }
}

TEST_F(DiscoveryHandOff, ThreadPublishesWholeAndTablesChangeOnlyWhenApplied) {
    DriveDetectThread thread(dev);
    RequestDiscovery(dev);
    ASSERT_TRUE(waitFor(dev.discoveryDone));
    EXPECT_FALSE(dev.discoveryPending);
    EXPECT_FALSE(dev.discoveryRequest);
    EXPECT_EQ(dev.tables.deviceCount, 0);  // not applied yet
    ASSERT_EQ(DeviceChangeTick(dev, false), O::ResultReady);
    ApplyDiscoveryResult(dev);
    EXPECT_EQ(BuildDeviceCaption(dev), "1/1 Device1[C]");

    // Second pass, held inside the probe of drive 1.
    host.drives[1] = FakeDrive{.ataSignature = true};
    RecountDrives(dev);
    host.hold(1);
    RequestDiscovery(dev);
    ASSERT_TRUE(host.waitUntilHeld());
    // A tab change now reads the last finished result, and a device
    // operation of the window would wait for this drive's probe.
    EXPECT_EQ(BuildDeviceCaption(dev), "1/1 Device1[C]");
    EXPECT_EQ(dev.tables.sectorBuffers[0][259], 0x58);
    EXPECT_EQ(DeviceChangeTick(dev, false), O::Blink);
    const bool lockFree = dev.operationLock.try_lock();
    if (lockFree) dev.operationLock.unlock();
    EXPECT_FALSE(lockFree);
    host.release();

    ASSERT_TRUE(waitFor(dev.discoveryDone));
    EXPECT_EQ(dev.tables.deviceCount, 1);
    ApplyDiscoveryResult(dev);
    EXPECT_EQ(dev.tables.deviceCount, 2);
    EXPECT_EQ(dev.tables.deviceTable[1], 1u | kAtaPath);
}

// A pass that ends while the next one is already asked for leaves it
// pending: the polling thread must not start work in between.
TEST_F(DiscoveryHandOff, APassEndingAfterTheNextRequestLeavesThatOnePending) {
    for (const bool asked : {false, true}) {
        dev.discoveryPending = true;
        dev.discoveryDone = false;
        dev.discoveryRequest = false;
        if (asked) RequestDiscovery(dev);
        PublishDiscoveryResult(dev);
        EXPECT_TRUE(dev.discoveryDone);
        EXPECT_EQ(dev.discoveryPending, asked);
    }
}

TEST_F(DiscoveryHandOff, StopDuringAPassPublishesNothing) {
    DriveDetectThread thread(dev);
    host.drives[1] = FakeDrive{.lbaSignature = true};
    RecountDrives(dev);
    host.hold(1);
    RequestDiscovery(dev);
    ASSERT_TRUE(host.waitUntilHeld());
    thread.requestStop();
    host.release();
    thread.stop();
    EXPECT_FALSE(dev.discoveryDone);
    std::lock_guard lock(dev.resultMutex);
    EXPECT_EQ(dev.finished.deviceCount, 0);
}

}  // namespace
}  // namespace ardenvel
