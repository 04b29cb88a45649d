// The scripted timeline, device-change notices, and the injected faults.

#include <atomic>
#include <chrono>
#include <thread>

#include "monitor/ControllerStatus.h"
#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

using K = TimelineEvent::Kind;

TEST_F(BridgeTest, TimelineChangesTakeEffectAfterTheirReadCount) {
    attach(Route::Lba);
    TimelineEvent insert = TimelineEvent::at(1, K::InsertDisk, 1);
    insert.disk.serial = "NEWDISK";
    bridge->addTimeline(TimelineEvent::at(1, K::RemoveDisk, 1));
    bridge->addTimeline(TimelineEvent::at(2, K::InsertDisk, 1));
    bridge->addTimeline(insert);  // same count as the removal: applied in the order given
    bridge->addTimeline(TimelineEvent::at(3, K::Initialize, 1));
    TimelineEvent rebuild = TimelineEvent::at(3, K::SetActivity);
    rebuild.value = activity::kP1;
    rebuild.percent = 10;
    bridge->addTimeline(rebuild);
    TimelineEvent bad = TimelineEvent::at(4, K::BadSector, 0);
    bad.lba = 4242;
    bridge->addTimeline(bad);
    bridge->addTimeline(TimelineEvent::at(5, K::EndActivity));

    std::vector<Sector> records;
    for (int i = 0; i < 6; ++i) records.push_back(read(kRecordLba));
    EXPECT_EQ(StatusView(records[0]).portState(), 0x22);
    // After the first read the removal and then the insert of the same count applied.
    EXPECT_EQ(StatusView(records[1]).portState(), 0x12);
    EXPECT_EQ(StatusView(records[1]).serial(1).substr(0, 7), "NEWDISK");
    EXPECT_EQ(StatusView(records[2]).portState(), 0x12);
    EXPECT_EQ(StatusView(records[3]).portState(), 0x22);
    EXPECT_EQ(StatusView(records[3]).activityFlags(), activity::kP1);
    EXPECT_EQ(StatusView(records[3]).progressPercent(), 10);
    EXPECT_EQ(StatusView(records[4]).badSectorCount(), 1);
    EXPECT_EQ(StatusView(records[4]).badSectorLba(0), 4242u);
    EXPECT_EQ(StatusView(records[4]).activityFlags(), activity::kP1 | activity::kBadP0);
    EXPECT_EQ(StatusView(records[5]).activityFlags(), activity::kBadP0);
    EXPECT_EQ(bridge->counters().statusReads, 6u);
    EXPECT_EQ(bridge->pendingTimelineEvents(), 0u);
}

TEST_F(BridgeTest, ActivityAdvancesPerReadAndEndsAfterNinetyNine) {
    EnclosureConfig c;
    c.activityPercentPerRead = 40;
    c.status.portState = 0x12;
    c.status.activityFlags = activity::kP1;  // rebuild onto P1
    attach(std::move(c));
    std::vector<int> percents;
    for (int i = 0; i < 5; ++i) {
        const Sector r = read(kRecordLba);
        const StatusView v(r);
        percents.push_back(v.activityRunning() ? v.progressPercent() : -1);
    }
    EXPECT_EQ(percents, (std::vector<int>{0, 40, 80, 99, -1}));
    EXPECT_EQ(bridge->status().portState, 0x22) << "the rebuilt disk joined the volume";
}

TEST_F(BridgeTest, UnplugFromTheTimelineRaisesANoticeAndFailsTheDrive) {
    attach(Route::Lba);
    std::atomic<int> notices{0};
    host.setDeviceChangeHandler([&] {
        ++notices;
        host.logicalDriveMask();  // a handler may call back into the host
    });
    host.addVolume('E', kDriveFixed, 1);
    bridge->addTimeline(TimelineEvent::at(2, K::Unplug));
    bridge->addTimeline(TimelineEvent::at(5, K::Plug));  // three open attempts later
    read(kRecordLba);
    EXPECT_EQ(notices, 0);
    read(kRecordLba);
    EXPECT_EQ(notices, 1);
    EXPECT_FALSE(bridge->plugged());
    EXPECT_EQ(host.logicalDriveMask() & (1u << 4), 0u) << "E: left with its disk";
    Sector s{};
    EXPECT_FALSE(ReadSectors(dev, h, kRecordLba, s.data(), 1));
    EXPECT_EQ(host.openVolume('E'), kInvalidHandle);
    EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
    EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle) << "the attempt that brings it back still fails";
    EXPECT_EQ(notices, 2);
    EXPECT_TRUE(bridge->plugged());
    EXPECT_FALSE(ReadSectors(dev, h, kRecordLba, s.data(), 1)) << "a handle from before the unplug is stale";
    h = OpenDrive(dev, 1);
    EXPECT_TRUE(ReadSectors(dev, h, kRecordLba, s.data(), 1));
    EXPECT_NE(host.logicalDriveMask() & (1u << 4), 0u);
}

TEST_F(BridgeTest, HostUnplugAndPlugWorkOnAnyDrive) {
    attach(Route::Lba);
    host.addOrdinaryDisk(0);
    int notices = 0;
    host.setDeviceChangeHandler([&] { ++notices; });
    host.unplug(0);
    host.unplug(0);  // already gone: no second notice
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(host.openPhysicalDrive(0), kInvalidHandle);
    host.plug(0);
    EXPECT_EQ(notices, 2);
    EXPECT_NE(host.openPhysicalDrive(0), kInvalidHandle);
}

TEST_F(BridgeTest, PowerCutFailsLaterRequestsAndPowerOnRestartsTheBridge) {
    attach(Route::Lba);
    openSpi();
    unlock();
    ASSERT_TRUE(write(33, command(kVuSetReadAddress, 0x03, 0x12300)));
    host.cutPowerAfter(2);
    EXPECT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0x30000)));
    Sector s{};
    EXPECT_TRUE(ReadSectors(dev, h, kRecordLba, s.data(), 1));
    EXPECT_FALSE(ReadSectors(dev, h, kRecordLba, s.data(), 1));
    EXPECT_FALSE(WriteSectors(dev, h, 200, s.data(), 1));
    EXPECT_FALSE(host.powered());

    host.powerOn();
    EXPECT_TRUE(host.powered());
    EXPECT_FALSE(bridge->spiAccessOpen());
    EXPECT_FALSE(bridge->lowAreaUnlocked());
    EXPECT_EQ(bridge->flashReadAddress(), 0u);
    EXPECT_EQ(bridge->flash()[0x30000], 0xFF) << "the flash kept the erase";
    EXPECT_EQ(read(kRecordLba), bridge->currentRecord());
}

// An enclosure's own faults count only the requests it gets: another drive's
// requests in between change nothing.
TEST_F(BridgeTest, EnclosureFaultsCountItsOwnRequests) {
    EnclosureConfig c;
    c.faults.failRequests = {2};
    c.faults.cutPowerAfter = 4;
    c.faults.powerOnAfter = 2;
    c.faults.dropWritesFrom = 8;
    c.faults.delayPerRequest = std::chrono::milliseconds(2);  // a slow bridge
    attach(c);
    host.addOrdinaryDisk(0);
    const DriveHandle other = OpenDrive(dev, 0);
    // Request 1 opens SPI access, a switch the restart resets. Request n > 1
    // writes LBA 300 + n: 2 fails, 5 and 6 find the power cut, 7 a restarted
    // bridge, and from 8 on writes are dropped.
    const bool succeeds[] = {true, false, true, true, false, false, true, true, true};
    Sector data{};
    data.fill(0x5A);
    Sector s{};
    const auto start = std::chrono::steady_clock::now();
    for (unsigned n = 1; n <= std::size(succeeds); ++n) {
        ASSERT_TRUE(ReadSectors(dev, other, 5, s.data(), 1));
        const bool ok = n == 1 ? mode(kVuSpiAccess, 1) : WriteSectors(dev, h, 300 + n, data.data(), 1);
        EXPECT_EQ(ok, succeeds[n - 1]) << n;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::size(succeeds) * std::chrono::milliseconds(2));
    EXPECT_FALSE(bridge->spiAccessOpen());
    for (unsigned n = 2; n <= std::size(succeeds); ++n)
        EXPECT_EQ(read(300 + n)[0], succeeds[n - 1] && n < 8 ? 0x5A : 0) << n;
}

TEST_F(BridgeTest, FailRequestHitsExactlyTheNthRequestFromNow) {
    attach(Route::Lba);
    const unsigned before = host.requestCount();
    host.failRequest(2);
    Sector s{};
    EXPECT_TRUE(ReadSectors(dev, h, 100, s.data(), 1));
    EXPECT_FALSE(ReadSectors(dev, h, 100, s.data(), 1));
    EXPECT_TRUE(ReadSectors(dev, h, 100, s.data(), 1));
    EXPECT_EQ(host.requestCount(), before + 3);
    // A failed request does nothing: a mode command that failed left SPI access closed.
    host.failRequest(1);
    EXPECT_FALSE(mode(kVuSpiAccess, 1));
    EXPECT_FALSE(bridge->spiAccessOpen());
}

TEST_F(BridgeTest, ConcurrentUseFromTwoThreadsKeepsCountsExact) {
    attach(Route::Lba);
    host.addOrdinaryDisk(0);
    host.setDelayPerRequest(std::chrono::microseconds(50));
    auto worker = [&](unsigned drive, int n) {
        DeviceState d{host, ui, clock};
        const DriveHandle hh = OpenDrive(d, static_cast<std::uint8_t>(drive));
        Sector s{};
        for (int i = 0; i < n; ++i) ReadSectors(d, hh, kRecordLba, s.data(), 1);
        CloseDrive(d);
    };
    std::thread a(worker, 1, 200), b(worker, 0, 200);
    a.join();
    b.join();
    EXPECT_EQ(bridge->counters().statusReads, 200u);
    EXPECT_EQ(host.requestCount(), 400u);
}

}  // namespace
}  // namespace ardenvel::virt::test
