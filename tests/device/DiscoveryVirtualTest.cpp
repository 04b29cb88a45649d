#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "device/DeviceChange.h"
#include "device/Discovery.h"
#include "device/DriveDetectThread.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"
#include "tests/support/UdevEcho.h"

namespace ardenvel {
namespace {

using virt::Route;
using virt::TraceEntry;

class DiscoveryVirtual : public ::testing::Test {
protected:
    DiscoveryVirtual() { test::echoAsTheRunAsks(host); }
    void pass() {
        RecountDrives(dev);
        ASSERT_TRUE(RunDiscovery(dev));
        ApplyDiscoveryResult(dev);
    }
    // SCSI requests other than READ(10) that reached a drive: the USB probe.
    unsigned usbProbes(unsigned drive) {
        unsigned n = 0;
        for (const TraceEntry& e : host.trace())
            if (e.kind == TraceEntry::Kind::Cdb && e.drive == drive && e.cdb[0] != 0x28) ++n;
        return n;
    }
    // An enclosure on drive 1 holding E, notices wired to the settling, and
    // DriveDetectThread running the first pass.
    std::unique_ptr<DriveDetectThread> startWithEnclosureOnDrive1() {
        host.addEnclosure(1, virt::EnclosureConfig{});
        host.addVolume('E', kDriveFixed, 1);
        host.setDeviceChangeHandler([&] { OnDeviceChange(dev); });
        RecountDrives(dev);
        RequestDiscovery(dev);
        return std::make_unique<DriveDetectThread>(dev);
    }
    // The firmware revision as the identification words carry it, swapped.
    std::string revision(unsigned drive) {
        std::string s;
        for (unsigned i = 0; i < 8; ++i)
            s += static_cast<char>(dev.tables.sectorBuffers[drive][46 + (i ^ 1)]);
        return s;
    }

    virt::VirtualHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
};

struct VirtualRoute {
    const char* name;
    Route route;
    std::uint8_t queryShift;
    std::uint32_t flags;
};

class DiscoveryVirtualRoute : public DiscoveryVirtual, public ::testing::WithParamInterface<VirtualRoute> {};

TEST_P(DiscoveryVirtualRoute, EmulatedBridgeIsFoundOnItsRoute) {
    host.addOrdinaryDisk(0);
    virt::EnclosureConfig config;
    config.route = GetParam().route;
    config.queryCdbShift = GetParam().queryShift;
    host.addEnclosure(2, config);
    pass();
    ASSERT_EQ(dev.tables.deviceCount, 1);
    EXPECT_EQ(dev.tables.deviceTable[0], 2u | GetParam().flags);
    if (GetParam().route != Route::UsbQuery) {
        EXPECT_EQ(revision(2), "090619.0");  // the answer that carried the signature
    }
    if ((GetParam().flags & kUsbPath) == 0) {
        EXPECT_EQ(usbProbes(2), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DiscoveryVirtualRoute,
    ::testing::Values(VirtualRoute{"Lba", Route::Lba, 1, kLbaPath},
                      VirtualRoute{"Ata", Route::Ata, 1, kAtaPath},
                      VirtualRoute{"LbaAta", Route::LbaAta, 1, kLbaPath | kAtaPath},
                      VirtualRoute{"UsbShift", Route::UsbShift, 1, kShiftPath | kUsbPath},
                      VirtualRoute{"UsbNoShift", Route::UsbNoShift, 1, kUsbPath},
                      VirtualRoute{"UsbQueryByte1", Route::UsbQuery, 1, kShiftPath | kUsbPath},
                      VirtualRoute{"UsbQueryByte2", Route::UsbQuery, 0, kUsbPath}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoveryVirtual, ForeignInquiryAndPlainDisksAreNotEnclosures) {
    virt::EnclosureConfig config;
    config.route = Route::UsbShift;
    config.inquiryAdditionalLength = 0x1E;
    host.addEnclosure(0, config);
    host.addOrdinaryDisk(1);
    pass();
    EXPECT_EQ(dev.tables.deviceCount, 0);
    EXPECT_EQ(usbProbes(0), 1u);  // the INQUIRY alone
    EXPECT_EQ(usbProbes(1), 5u);  // INQUIRY and all four vendor tries
}

// A USB bridge may take many seconds over INQUIRY while its disks spin up;
// the probe must give it the long time-out.
TEST_F(DiscoveryVirtual, UsbBridgeSlowToAnswerInquiryIsStillFound) {
    virt::EnclosureConfig config;
    config.route = Route::UsbShift;
    host.addEnclosure(0, config);
    host.slowRequest(3, std::chrono::seconds(30));  // after the LBA 58 read and IDENTIFY
    pass();
    const auto trace = host.trace();
    const auto inquiry =
        std::find_if(trace.begin(), trace.end(), [](const TraceEntry& e) { return e.cdb[0] == 0x12; });
    ASSERT_NE(inquiry, trace.end());
    EXPECT_TRUE(inquiry->ok) << inquiry->rejected;
    EXPECT_EQ(dev.tables.deviceCount, 1);
}

TEST_F(DiscoveryVirtual, FailedLba58ReadStillLeavesTheAtaRoute) {
    virt::EnclosureConfig config;
    config.route = Route::LbaAta;
    host.addEnclosure(0, config);
    RecountDrives(dev);
    host.failRequest(1);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    EXPECT_EQ(dev.tables.deviceTable[0], kAtaPath);
    EXPECT_EQ(ui.panel(kPanelMessages), kReadLba58Error);
}

TEST_F(DiscoveryVirtual, UnplugAndPlugEachLeadToOnePassAfterSettling) {
    const auto thread = startWithEnclosureOnDrive1();

    // Timer4 ticks until a result is applied: the ticks it took and the device count.
    auto untilResult = [&] {
        for (int tick = 1; tick < 2000; ++tick) {
            if (DeviceChangeTick(dev, false) == TickOutcome::ResultReady) {
                ApplyDiscoveryResult(dev);
                return std::pair{tick, int{dev.tables.deviceCount}};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return std::pair{0, -1};
    };
    EXPECT_EQ(untilResult().second, 1);
    EXPECT_EQ(BuildDeviceCaption(dev), "1/1 Device1[E]");
    host.unplug(1);
    const auto [ticks, count] = untilResult();
    EXPECT_EQ(count, 0);
    EXPECT_GT(ticks, 5);  // four to settle, one to recount, then the pass
    host.plug(1);
    EXPECT_EQ(untilResult().second, 1);
    EXPECT_EQ(BuildDeviceCaption(dev), "1/1 Device1[E]");
}

// On a Linux desktop every close of a drive opened for writing comes back as
// a notice a few milliseconds later: each recount and each probe of a pass
// would restart the countdown before the next tick, and a result waiting for
// a quiet tick would never be applied.
TEST_F(DiscoveryVirtual, WithUdevEchoTheFirstResultArrivesWithinThreeSecondsAndEchoesStopThere) {
    using namespace std::chrono_literals;
    host.setUdevEcho(true);
    host.addOrdinaryDisk(0);
    const auto thread = startWithEnclosureOnDrive1();

    // Timer4 every 500 ms of emulated time; the pass's own pauses count too.
    auto tick = [&] {
        for (int i = 0; i < 2000 && dev.discoveryPending; ++i) std::this_thread::sleep_for(1ms);
        host.waitForEchoes();
        return DeviceChangeTick(dev, false);
    };
    int ticks = 1;
    while (ticks < 40 && tick() != TickOutcome::ResultReady) ++ticks;
    ApplyDiscoveryResult(dev);
    EXPECT_EQ(BuildDeviceCaption(dev), "1/1 Device1[E]");
    EXPECT_LT(500ms * ticks + clock.slept, 3s) << ticks << " ticks";
    EXPECT_GT(host.echoesRaised(), 0u);

    // The echoes settle into one recount, whose own echoes start nothing.
    std::vector<TickOutcome> after;
    for (int i = 0; i < 20; ++i) after.push_back(tick());
    EXPECT_EQ(std::count(after.begin(), after.end(), TickOutcome::Recounted), 1)
        << ::testing::PrintToString(after);
    EXPECT_EQ(after.back(), TickOutcome::Idle);
    EXPECT_FALSE(dev.discoveryRequest);
}

}  // namespace
}  // namespace ardenvel
