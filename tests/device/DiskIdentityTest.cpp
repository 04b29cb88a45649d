// Work goes to the disk it was meant for: an operation stops, sending
// nothing, when a reopen reaches another disk than its first open or than
// the one discovery found under the device word.

#include <gtest/gtest.h>

#include <cstdio>

#include "device/DeviceChange.h"
#include "device/SpiFlash.h"
#include "tests/support/SwapSweep.h"

namespace ardenvel::test {
namespace {

using virt::Route;

class DiskIdentity : public ::testing::TestWithParam<Route> {};

TEST_P(DiskIdentity, AnUpgradeSendsNothingToADiskSwappedInAtAnyStep) {
    const SwapSweepResult r = sweepSwaps(GetParam(), 24, 23, [](virt::VirtualHost& host, auto work) {
        TestUi ui;
        FixedClock clock;
        DeviceState dev(host, ui, clock);
        work(dev);
    });
    std::printf("%s: %u upgrades of %u requests, swapped at sampled steps; requests to the newcomers: %u\n",
                virt::routeName(GetParam()), r.runs, r.upgradeRequests, r.requestsToNewcomers);
}

INSTANTIATE_TEST_SUITE_P(Routes, DiskIdentity, ::testing::Values(Route::Lba, Route::Ata, Route::UsbShift),
                         [](const auto& info) {
                             return info.param == Route::UsbShift ? std::string("usb")
                                                                  : virt::routeName(info.param);
                         });

TEST(DiskIdentityTable, APollOfADiskThatIsNotDiscoverysSendsNothingAndTheNextSettlingRecounts) {
    virt::VirtualHost host;
    host.addEnclosure(1, virt::EnclosureConfig{});
    TestUi ui;
    FixedClock clock;
    DeviceState dev(host, ui, clock);
    dev.physicalDriveCount = CountPhysicalDrives(dev);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    Sector record{};
    ASSERT_TRUE(ReadSpiRecord(dev, record.data()));

    // Quicker than a settling: the counts stay as they were.
    host.swapAfter(0, 1, virt::OrdinaryDiskConfig{});
    const std::uint64_t plain = host.diskSequence(1);
    host.clearTrace();
    EXPECT_FALSE(ReadSpiRecord(dev, record.data()));
    for (const virt::TraceEntry& e : host.trace())
        EXPECT_TRUE(e.disk != plain || e.kind == virt::TraceEntry::Kind::Open)
            << "a request reached the plain disk";
    EXPECT_EQ(ui.panel(kPanelMessages), diskChangedText(1));
    ASSERT_EQ(ui.boxTexts().size(), 1u);

    // The settling after it asks for a pass, although no count changed.
    TickOutcome outcome = TickOutcome::Settling;
    for (int tick = 0; tick < 10 && outcome == TickOutcome::Settling; ++tick)
        outcome = DeviceChangeTick(dev, false);
    EXPECT_EQ(outcome, TickOutcome::RequestedPass);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    EXPECT_EQ(dev.tables.deviceCount, 0);
}

}  // namespace
}  // namespace ardenvel::test
