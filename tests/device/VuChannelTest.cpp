#include "device/VuChannel.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "device/SpiFlash.h"
#include "device/Transport.h"
#include "tests/device/ChannelFixture.h"

namespace ardenvel {
namespace {

using test::ChannelTest;
using virt::Route;
using virt::TraceEntry;

TEST(CommandSector, ChecksumCoversSevenTo509AndDropsTheCarry) {
    Sector s{};
    s.fill(0xFF);
    sealCommandSector(s);
    // 503 x 255 = 128265 = 0x1F509.
    EXPECT_EQ(s[510], 0x09);
    EXPECT_EQ(s[511], 0xF5);

    Sector t{};
    t[0] = t[1] = t[6] = 0xEE;  // outside the sum
    t[7] = 0x01;
    t[509] = 0x02;
    sealCommandSector(t);
    EXPECT_EQ(t[510], 0x03);
    EXPECT_EQ(t[511], 0x00);
}

TEST(CommandSector, RouteOrderIsUsbThenLbaThenAta) {
    EXPECT_EQ(routeOf(kUsbPath | kLbaPath | kAtaPath), VuRoute::Usb);
    EXPECT_EQ(routeOf(kLbaPath | kAtaPath), VuRoute::ReservedLba);
    EXPECT_EQ(routeOf(kAtaPath | 3), VuRoute::Ata);
    EXPECT_EQ(routeOf(kShiftPath), VuRoute::Ata);
}

// Every device operation, by name, as the frame tests run them.
struct NamedOperation {
    const char* name;
    std::function<bool(DeviceState&)> run;
};

std::vector<NamedOperation> frameOperations() {
    static std::array<std::uint8_t, 4> cooldown{}, abort{};
    static std::array<std::uint8_t, 0x1000> buffer{};
    const PanelCommandEffects fx{cooldown, abort, {}};
    return {
        {"SpiRead", [](DeviceState& d) { return SpiRead(d, 0x10000, 512, buffer.data()); }},
        {"SpiWrite", [](DeviceState& d) { return SpiWrite(d, 0x10000, 256, buffer.data()); }},
        {"SpiErase", [](DeviceState& d) { return SpiErase(d, 0x10000, 4096); }},
        {"ReadSpiRecord", [](DeviceState& d) { return ReadSpiRecord(d, buffer.data()); }},
        {"SetBuzzerAutoScan", [fx](DeviceState& d) { return SetBuzzerAutoScan(d, {0}, fx); }},
        {"SendScanControl", [fx](DeviceState& d) { return SendScanControl(d, {0}, fx); }},
        {"SendVuMode17", [](DeviceState& d) { return SendVuMode(d, kModeEnterUpdate); }},
        {"SendVuMode16", [](DeviceState& d) { return SendVuMode(d, kModeLeaveUpdate); }},
    };
}

TEST_F(ChannelTest, EveryOperationRefusesWithoutADevice) {
    host.addEnclosure(1, {});
    dev.tables.deviceTable[0] = 1 | kLbaPath;  // left from an earlier pass
    dev.tables.deviceCount = 0;
    host.clearTrace();
    for (const auto& op : frameOperations()) {
        SCOPED_TRACE(op.name);
        ui.boxes.clear();
        ui.panels.clear();
        EXPECT_FALSE(op.run(dev));
        EXPECT_EQ(ui.panel(kPanelMessages), "Device not found!!!");
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].text, "No Device found !");
        EXPECT_EQ(ui.boxes[0].caption, "Message");
        EXPECT_EQ(ui.boxes[0].buttons, BoxButtons::Ok);
    }
    EXPECT_TRUE(host.trace().empty());
}

TEST_F(ChannelTest, EveryOperationRefusesADriveThatWillNotOpen) {
    dev.tables.deviceTable[0] = 5 | kLbaPath;  // nothing on drive 5
    dev.tables.deviceCount = 1;
    for (const auto& op : frameOperations()) {
        SCOPED_TRACE(op.name);
        ui.boxes.clear();
        EXPECT_FALSE(op.run(dev));
        ASSERT_EQ(ui.boxes.size(), 1u);
        EXPECT_EQ(ui.boxes[0].text, "Invalid Drive");
        EXPECT_EQ(ui.boxes[0].caption, "");
        EXPECT_EQ(ui.panel(kPanelMessages), "");
        EXPECT_EQ(dev.handle, kInvalidHandle);
    }
}

TEST_F(ChannelTest, ModeCommandsOnUsbSendNothing) {
    addEnclosure(2, Route::UsbShift);
    dev.tables.deviceCount = 0;  // not even the frame's check runs
    for (std::uint8_t code : {2, 3, 4, 5, 16, 17, 99}) EXPECT_TRUE(SendVuMode(dev, code)) << int(code);
    EXPECT_TRUE(host.trace().empty());
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ChannelTest, UpdateModeRunsInItsOwnFrameOnLbaRoute) {
    auto& enc = addEnclosure(3, Route::Lba);
    ASSERT_TRUE(SendVuMode(dev, kModeEnterUpdate));
    EXPECT_TRUE(enc.updateMode());
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "mode 17", "close"}));
    EXPECT_EQ(dev.handle, kInvalidHandle);

    ASSERT_TRUE(SendVuMode(dev, kModeLeaveUpdate));
    EXPECT_FALSE(enc.updateMode());
    EXPECT_EQ(enc.counters().badCommandSectors, 0u);
}

TEST_F(ChannelTest, ModeCommandSectorOwnsOnlyItsBytes) {
    auto& enc = addEnclosure(3, Route::Lba);
    for (std::size_t i = 4; i < 510; ++i) dev.vuCommandSector[i] = static_cast<std::uint8_t>(i * 7);
    const Sector before = dev.vuCommandSector;
    ASSERT_NE(OpenDrive(dev, 3), kInvalidHandle);
    host.clearTrace();

    ASSERT_TRUE(SendVuMode(dev, kModeSpiOpen));
    const auto trace = host.trace();
    ASSERT_EQ(trace.size(), 1u);
    const auto& s = trace[0].data;
    EXPECT_TRUE(test::isSectorWrite(trace[0]));
    EXPECT_EQ(test::cdbLba(trace[0]), dev.lastRandomLba);
    EXPECT_TRUE(test::isRandomLba(dev.lastRandomLba));
    EXPECT_EQ(s[0], 0x33);
    EXPECT_EQ(s[1], 0x58);
    EXPECT_EQ(s[2], 0x03);
    EXPECT_EQ(s[3], 0x01);
    EXPECT_TRUE(std::equal(before.begin() + 4, before.begin() + 510, s.begin() + 4));
    EXPECT_TRUE(test::checksumHolds(s));
    EXPECT_TRUE(enc.spiAccessOpen());

    // Only the six codes exist on this route.
    host.clearTrace();
    EXPECT_FALSE(SendVuMode(dev, 6));
    EXPECT_TRUE(host.trace().empty());
    CloseDrive(dev);
}

TEST_F(ChannelTest, ModeCommandsDrawAFreshLbaEachTime) {
    addEnclosure(3, Route::Lba);
    dev.random.seed(4242);
    std::minstd_rand reference(4242);
    ASSERT_NE(OpenDrive(dev, 3), kInvalidHandle);
    host.clearTrace();
    ASSERT_TRUE(SendVuMode(dev, kModeSpiOpen));
    ASSERT_TRUE(SendVuMode(dev, kModeSpiClose));
    CloseDrive(dev);

    std::vector<std::uint32_t> lbas;
    for (const auto& e : host.trace())
        if (test::isSectorWrite(e)) lbas.push_back(test::cdbLba(e));
    ASSERT_EQ(lbas.size(), 2u);
    for (std::uint32_t lba : lbas) {
        EXPECT_TRUE(test::isRandomLba(lba)) << lba;
        EXPECT_EQ(lba, reference() % 128 + 3);
    }
    EXPECT_EQ(dev.lastRandomLba, lbas[1]);
}

TEST_F(ChannelTest, RandomLbasCoverThreeTo130AndFollowTheClockSeed) {
    bool seen3 = false, seen130 = false;
    for (int i = 0; i < 4000; ++i) {
        const std::uint32_t lba = DrawRandomLba(dev);
        ASSERT_TRUE(test::isRandomLba(lba)) << lba;
        seen3 |= lba == 3;
        seen130 |= lba == 130;
    }
    EXPECT_TRUE(seen3 && seen130);

    auto drawFive = [&] {
        std::vector<std::uint32_t> v;
        for (int i = 0; i < 5; ++i) v.push_back(DrawRandomLba(dev));
        return v;
    };
    SeedRandomLba(dev);
    const auto first = drawFive();
    SeedRandomLba(dev);
    EXPECT_EQ(drawFive(), first);
    clock.current += std::chrono::seconds(1);
    SeedRandomLba(dev);
    EXPECT_NE(drawFive(), first);
}

TEST_F(ChannelTest, FailedModeCommandNamesItsLba) {
    auto& enc = addEnclosure(3, Route::Lba);
    ASSERT_NE(OpenDrive(dev, 3), kInvalidHandle);
    host.clearTrace();
    host.failRequest(1);
    EXPECT_FALSE(SendVuMode(dev, kModeUnlock));
    CloseDrive(dev);
    const auto trace = host.trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_FALSE(trace[0].ok);
    EXPECT_EQ(ui.panel(kPanelMessages),
              "Write Error at Sec_CNT=1 LBA=" + std::to_string(test::cdbLba(trace[0])));
    EXPECT_FALSE(enc.lowAreaUnlocked());
}

TEST_F(ChannelTest, AtaModeCommandRegisters) {
    auto& enc = addEnclosure(4, Route::Ata);
    ASSERT_TRUE(SendVuMode(dev, kModeEnterUpdate));
    EXPECT_TRUE(enc.updateMode());
    auto trace = host.trace();
    ASSERT_EQ(test::tokens(trace), (std::vector<std::string>{"open", "mode 17", "close"}));
    const TaskFile expected{0x11, 0, 0, 0, 0, 0xE0, 0x88};
    EXPECT_EQ(trace[1].taskIn, expected);
    EXPECT_EQ(trace[1].length, 0u);

    ASSERT_NE(OpenDrive(dev, 4), kInvalidHandle);
    host.clearTrace();
    host.failRequest(1);
    EXPECT_FALSE(SendVuMode(dev, kModeLock));
    EXPECT_EQ(ui.panel(kPanelMessages), "VU command 0x88 FEA 05 Error");
    host.failRequest(1);
    EXPECT_FALSE(SendVuMode(dev, kModeLeaveUpdate));
    EXPECT_EQ(ui.panel(kPanelMessages), "VU command 0x88 FEA 10 Error");
    CloseDrive(dev);
}

// The settings write and the scan command, on every route.
class PanelCommandTest : public ChannelTest, public ::testing::WithParamInterface<Route> {
protected:
    PanelCommandEffects effects() {
        return {cooldown, userAbort, [this] {
                    ++disabled;
                    writesBeforeDisable = host.trace().size();
                }};
    }
    // The command sectors written to LBA 20.
    std::vector<std::vector<std::uint8_t>> lba20Sectors() const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& e : host.trace())
            if (test::isSectorWrite(e) && test::cdbLba(e) == 20) out.push_back(e.data);
        return out;
    }

    std::array<std::uint8_t, 4> cooldown{};
    std::array<std::uint8_t, 4> userAbort{};
    int disabled = 0;
    std::size_t writesBeforeDisable = 0;
};

TEST_P(PanelCommandTest, SettingsCarryTheBoxesAsTheWireWantsThem) {
    auto& enc = addEnclosure(1, GetParam());
    PanelCommandInput in;
    in.activePage = 0;
    in.buzzerMuteTicked = true;
    in.autoScanTicked = false;
    ASSERT_TRUE(SetBuzzerAutoScan(dev, in, effects()));
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "settings", "close"}));
    auto sectors = lba20Sectors();
    ASSERT_EQ(sectors.size(), 1u);
    EXPECT_EQ(sectors[0][0], 0x33);
    EXPECT_EQ(sectors[0][1], 0x58);
    EXPECT_EQ(sectors[0][2], 0x20);
    EXPECT_EQ(sectors[0][3], 0);
    EXPECT_EQ(sectors[0][4], 0);
    EXPECT_TRUE(test::checksumHolds(sectors[0]));
    EXPECT_EQ(enc.settingFlags() & 0x03, 0);

    host.clearTrace();
    in.buzzerMuteTicked = false;
    in.autoScanTicked = true;
    ASSERT_TRUE(SetBuzzerAutoScan(dev, in, effects()));
    sectors = lba20Sectors();
    ASSERT_EQ(sectors.size(), 1u);
    EXPECT_EQ(sectors[0][3], 1);
    EXPECT_EQ(sectors[0][4], 1);
    EXPECT_EQ(enc.settingFlags() & 0x03, 0x03);
    EXPECT_EQ(enc.counters().badCommandSectors, 0u);
}

TEST_P(PanelCommandTest, ScanStartBlockForP1OverTwoTo28Sectors) {
    auto& enc = addEnclosure(1, GetParam());
    PanelCommandInput in;
    in.activePage = 0;
    in.scanStart = 1;
    in.scanPort = 1;
    in.scanFirstLba = 0;
    in.scanLastLba = (1u << 28) - 1;
    dev.vuCommandSector.fill(0xCC);  // left-overs that the LBA fields must overwrite
    ASSERT_TRUE(SendScanControl(dev, in, effects()));
    const auto sectors = lba20Sectors();
    ASSERT_EQ(sectors.size(), 1u);
    const auto& s = sectors[0];
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin() + 2, s.begin() + 5),
              (std::vector<std::uint8_t>{0x24, 0x00, 0x01}));
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin() + 7, s.begin() + 13), std::vector<std::uint8_t>(6, 0));
    EXPECT_EQ(std::vector<std::uint8_t>(s.begin() + 13, s.begin() + 19),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00}));
    EXPECT_EQ(s[19], 0xCC);
    EXPECT_TRUE(test::checksumHolds(s));
    EXPECT_EQ(enc.counters().badCommandSectors, 0u);
    EXPECT_EQ(userAbort, (std::array<std::uint8_t, 4>{}));
    EXPECT_EQ(cooldown[0], 4);
}

TEST_P(PanelCommandTest, ScanStopMarksUserAbortOfTheActiveSlot) {
    addEnclosure(1, GetParam());
    addEnclosure(2, GetParam());
    PanelCommandInput in;
    in.activePage = 1;
    in.scanStart = 0;
    in.scanPort = 0;
    in.scanLastLba = 0xFFFFFFFF;
    ASSERT_TRUE(SendScanControl(dev, in, effects()));
    EXPECT_EQ(dev.selectedDevice, 1);
    const auto trace = host.trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0].drive, 2u);
    const auto s = lba20Sectors().at(0);
    EXPECT_EQ(s[3], 1);
    EXPECT_EQ(s[4], 0);
    EXPECT_EQ(readLe32(s, 13), 0xFFFFFFFFu);
    EXPECT_EQ(userAbort, (std::array<std::uint8_t, 4>{0, 1, 0, 0}));
    EXPECT_EQ(cooldown, (std::array<std::uint8_t, 4>{0, 4, 0, 0}));
    EXPECT_EQ(disabled, 1);
}

INSTANTIATE_TEST_SUITE_P(Routes, PanelCommandTest,
                         ::testing::Values(Route::UsbShift, Route::UsbNoShift, Route::Lba, Route::Ata),
                         [](const auto& info) { return std::string(test::routeName(info.param)); });

TEST_F(ChannelTest, PanelCommandDisablesBoxesBeforeWritingAndCoolsDownEvenOnFailure) {
    addEnclosure(1, Route::Lba);
    addEnclosure(2, Route::Lba);
    std::array<std::uint8_t, 4> cooldown{}, abort{};
    int disabled = 0;
    std::vector<std::string> seenAtDisable;
    const PanelCommandEffects fx{cooldown, abort, [&] {
                                     ++disabled;
                                     seenAtDisable = traceTokens();
                                 }};
    PanelCommandInput in;
    in.activePage = 1;
    host.failRequest(1);
    EXPECT_FALSE(SetBuzzerAutoScan(dev, in, fx));
    EXPECT_EQ(ui.panel(kPanelMessages), "Write Error for LBA = 20 and sector count = 1");
    EXPECT_EQ(disabled, 1);
    EXPECT_EQ(seenAtDisable, (std::vector<std::string>{"open"}));
    EXPECT_EQ(cooldown, (std::array<std::uint8_t, 4>{0, 4, 0, 0}));
    EXPECT_EQ(traceTokens().back(), "close");

    // A stop whose write fails still marks the abort.
    in.scanStart = 0;
    host.failRequest(1);
    EXPECT_FALSE(SendScanControl(dev, in, fx));
    EXPECT_EQ(abort, (std::array<std::uint8_t, 4>{0, 1, 0, 0}));

    // A drive that will not open is left without cooldown or disabled boxes.
    dev.tables.deviceTable[0] = 7 | kLbaPath;
    cooldown.fill(0);
    abort.fill(0);
    in.activePage = 0;
    EXPECT_FALSE(SendScanControl(dev, in, fx));
    EXPECT_EQ(disabled, 2);
    EXPECT_EQ(cooldown, (std::array<std::uint8_t, 4>{}));
    EXPECT_EQ(abort, (std::array<std::uint8_t, 4>{}));
    EXPECT_EQ(ui.boxes.back().text, "Invalid Drive");
}

TEST_F(ChannelTest, PanelCommandsLeaveOtherBytesAsTheLastCommandSetThem) {
    addEnclosure(1, Route::Lba);
    std::array<std::uint8_t, 4> cooldown{}, abort{};
    const PanelCommandEffects fx{cooldown, abort, {}};
    PanelCommandInput in;
    in.activePage = 0;
    in.scanStart = 1;
    in.scanFirstLba = 0x11223344;
    in.scanLastLba = 0x55667788;
    ASSERT_TRUE(SendScanControl(dev, in, fx));
    ASSERT_TRUE(SetBuzzerAutoScan(dev, in, fx));
    const auto trace = host.trace();
    const auto& s = trace[trace.size() - 2].data;
    ASSERT_EQ(test::token(trace[trace.size() - 2]), "settings");
    EXPECT_EQ(readLe32(s, 7), 0x11223344u);
    EXPECT_EQ(readLe32(s, 13), 0x55667788u);
    EXPECT_TRUE(test::checksumHolds(s));
}

// Operations never overlap, also not across threads.
TEST_F(ChannelTest, OperationWaitsForTheLockAndHoldsItThroughout) {
    addEnclosure(1, Route::Lba);
    std::array<std::uint8_t, 0x1000> buffer{};

    std::promise<void> held, release;
    std::thread other([&] {
        std::lock_guard lock(dev.operationLock);
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    auto read = std::async(std::launch::async, [&] { return SpiRead(dev, 0x1000, 1024, buffer.data()); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_TRUE(host.trace().empty());
    release.set_value();
    other.join();
    EXPECT_TRUE(read.get());

    // While the operation steps, another thread cannot take the lock.
    std::vector<bool> othersGotIt;
    ui.onProcessEvents = [&] {
        othersGotIt.push_back(std::async(std::launch::async, [&] {
                                  const bool got = dev.operationLock.try_lock();
                                  if (got) dev.operationLock.unlock();
                                  return got;
                              }).get());
    };
    ASSERT_TRUE(SpiRead(dev, 0x1000, 1024, buffer.data()));
    EXPECT_EQ(othersGotIt, (std::vector<bool>{false, false}));
    EXPECT_TRUE(dev.operationLock.try_lock());
    dev.operationLock.unlock();
}

}  // namespace
}  // namespace ardenvel
