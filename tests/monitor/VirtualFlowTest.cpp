// The monitor over emulated enclosures: real discovery, status queries and
// vendor commands, with the window faked.

#include <gtest/gtest.h>

#include "device/ByteOrder.h"
#include "device/DeviceChange.h"
#include "device/Discovery.h"
#include "hosts/virtual/VirtualHost.h"
#include "monitor/Monitor.h"
#include "tests/monitor/FakeMainView.h"
#include "tests/support/CommandSectors.h"
#include "tests/support/TestUi.h"
#include "tests/support/UdevEcho.h"

namespace ardenvel {
namespace {

struct VirtualRig {
    virt::VirtualHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    MonitorState state;
    test::FakeMainView view;
    Monitor m{state, dev, view, ui, clock, {}};
    std::array<bool, 4> scanRunning{};
    std::array<bool, 4> userAbort{};
    std::vector<std::uint8_t> eventLogMasks;

    explicit VirtualRig(unsigned count) {
        test::echoAsTheRunAsks(host);
        host.setDeviceChangeHandler([this] { OnDeviceChange(dev); });
        state.savedCaption = "Ardenvel v0.21";
        for (unsigned i = 0; i < count; ++i) {
            virt::EnclosureConfig config;
            config.status.configuredCapacity = 1u << 28;
            host.addEnclosure(i + 1, config);
            host.addVolume(static_cast<char>('E' + i), kDriveFixed, static_cast<int>(i + 1));
        }
        m.hooks.scanRunning = [this](int slot) { return scanRunning[slot]; };
        m.hooks.markUserAbort = [this](int slot) { userAbort[slot] = true; };
        m.hooks.updateEventLog = [this](std::uint8_t mask) { eventLogMasks.push_back(mask); };
        // As the bridges report them, so the first poll writes nothing back.
        view.box(MainBox::CheckBox7).ticked = true;
        discover();
    }

    void discover() {
        RecountDrives(dev);
        EXPECT_TRUE(RunDiscovery(dev));
        dev.discoveryPending = false;
        dev.discoveryDone = true;
        Timer4Timer(m);
    }

    // Serves requests until none is left, as TRaidThread's turns would.
    void serveAll() {
        for (int turn = 0; turn < 8 && (state.pendingRequests.load() & request::kWork); ++turn) {
            // With udev's echo each close starts a settling, which holds
            // commands; Timer4 is the test's, so the test settles the echoes.
            if (test::udevEchoRun()) {
                host.waitForEchoes();
                dev.deviceChangeCountdown = 0;
            }
            ServeRequest(m);
        }
    }

    std::vector<std::vector<std::uint8_t>> commandSectors(unsigned drive) {
        return test::CommandSectorsTo(host, drive);
    }
    bool commandBoxesEnabled() {
        return view.box(MainBox::CheckBox6).enabled || view.box(MainBox::CheckBox7).enabled;
    }
};

TEST(VirtualMonitor, DiscoveryThenStartPollsEveryEnclosure) {
    VirtualRig r(2);
    EXPECT_EQ(r.view.staticText(MainText::StaticText1).text, "1/2 Device1[E]");
    EXPECT_EQ(r.view.caption.substr(0, 31), "Ardenvel v0.21 - QX Mirror Box1");
    EXPECT_EQ(r.view.caption.substr(r.view.caption.size() - 3), "[E]");
    Button10Click(r.m);
    r.serveAll();
    EXPECT_EQ(r.eventLogMasks, (std::vector<std::uint8_t>{0x03}));
    EXPECT_EQ(r.view.label(PanelLabel::Label17).text, "Mirror");
    EXPECT_EQ(r.view.label(PanelLabel::Label27).text, " Capacity: 128 GB");
    EXPECT_FALSE(r.state.firstRefreshPending);
    EXPECT_TRUE(r.view.timer2());
}

TEST(VirtualMonitor, AnUnpluggedSecondEnclosureDropsOutOfThePoll) {
    VirtualRig r(2);
    Button10Click(r.m);
    r.serveAll();
    r.host.unplug(2);
    Timer2Timer(r.m);
    r.serveAll();
    EXPECT_EQ(r.eventLogMasks.back(), 0x01);
    EXPECT_FALSE(r.view.box(MainBox::CheckBox3).ticked);
    EXPECT_FALSE(r.view.tabs[1].shown);
    EXPECT_TRUE(r.view.tabs[0].shown);
    EXPECT_TRUE(r.view.timer2());

    r.host.unplug(1);
    Timer2Timer(r.m);
    r.serveAll();
    EXPECT_EQ(r.eventLogMasks.back(), 0x00);
    EXPECT_FALSE(r.view.timer2());
    EXPECT_EQ(r.state.pendingRequests.load(), 0);
}

TEST(VirtualMonitor, StopScanAnsweredYesSendsTheStopBlockAndLocksTheTab) {
    VirtualRig r(2);
    r.serveAll();  // the poll after discovery
    EXPECT_EQ(r.state.commandCooldown, (std::array<std::uint8_t, 4>{}));
    r.view.active = 1;
    PageControl1Change(r.m);
    r.host.clearTrace();

    r.scanRunning[1] = true;
    r.ui.answers = {BoxResult::No};
    Button4Click(r.m);
    r.serveAll();
    EXPECT_TRUE(r.commandSectors(2).empty());

    r.ui.answers = {BoxResult::Yes};
    Button4Click(r.m);
    r.serveAll();
    const auto sent = r.commandSectors(2);
    ASSERT_EQ(sent.size(), 1u);
    test::ExpectScanStopBlock(sent[0], 1, (1u << 28) - 1);
    EXPECT_TRUE(r.commandSectors(1).empty());
    EXPECT_EQ(r.dev.selectedDevice, 1);
    EXPECT_TRUE(r.userAbort[1]);
    EXPECT_FALSE(r.userAbort[0]);
    EXPECT_FALSE(r.commandBoxesEnabled());

    // The lock holds on the tab it was sent for and lets the other one go.
    EXPECT_EQ(r.state.commandCooldown[1], kCooldownTicks);
    Timer5Timer(r.m);
    EXPECT_FALSE(r.commandBoxesEnabled());
    r.view.active = 0;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.commandBoxesEnabled());
    EXPECT_TRUE(r.view.button(MainButton::Button3).enabled);
}

// A command waits for its turn (a device change settling holds it for
// seconds); what the user does meanwhile must not carry it to another
// enclosure.
TEST(VirtualMonitor, AQueuedCommandReachesTheEnclosureItWasAskedForOrNone) {
    enum class Meanwhile { OtherTab, NewTable };
    for (const Meanwhile meanwhile : {Meanwhile::OtherTab, Meanwhile::NewTable}) {
        SCOPED_TRACE(meanwhile == Meanwhile::OtherTab ? "other tab" : "new table");
        VirtualRig r(2);
        r.serveAll();
        r.view.active = 1;
        PageControl1Change(r.m);
        r.host.clearTrace();
        const std::uint8_t flags = r.host.enclosure(2)->settingFlags();

        r.scanRunning[1] = true;
        r.ui.answers = {BoxResult::Yes};
        Button4Click(r.m);
        r.view.setBoxTicked(MainBox::CheckBox6, !r.view.boxTicked(MainBox::CheckBox6));
        CheckBox6Click(r.m);
        if (meanwhile == Meanwhile::OtherTab) {
            r.view.active = 0;
            PageControl1Change(r.m);
        } else {
            r.discover();
        }
        r.serveAll();
        EXPECT_TRUE(r.commandSectors(1).empty());
        EXPECT_EQ(r.host.enclosure(2)->settingFlags(), flags) << "a box clicked for another view was written";
        const auto toSecond = r.commandSectors(2);
        if (meanwhile == Meanwhile::OtherTab) {
            // The stop was asked for P1 of the second enclosure; the boxes shown are the first's.
            ASSERT_EQ(toSecond.size(), 1u);
            test::ExpectScanStopBlock(toSecond[0], 1, (1u << 28) - 1);
        } else {
            for (const auto& sector : toSecond) EXPECT_EQ(sector[2], 0x20) << "only the settings read back";
        }
    }
}

// What the bridge makes of the scan commands, not only their bytes: a sector
// it does not take (a stale checksum, LBAs out of order) lands on the disk as
// data and starts or stops nothing.
TEST(VirtualMonitor, ScanStartAndStopAreTakenByTheBridge) {
    VirtualRig r(1);
    r.serveAll();
    const std::uint8_t& activity = r.host.enclosure(1)->status().activityFlags;
    Button4Click(r.m);  // P1, nothing running: start
    r.serveAll();
    EXPECT_EQ(activity, 0x82);
    EXPECT_EQ(r.host.enclosure(1)->counters().badCommandSectors, 0u);

    r.scanRunning[0] = true;
    r.ui.answers = {BoxResult::Yes};
    Button4Click(r.m);
    r.serveAll();
    EXPECT_EQ(activity & 0x82, 0);
    EXPECT_EQ(r.host.enclosure(1)->counters().badCommandSectors, 0u);
}

TEST(VirtualMonitor, SettingsWriteCarriesBothBoxesAsTheyAreWhenServed) {
    VirtualRig r(1);
    r.serveAll();
    r.host.clearTrace();
    r.view.setBoxTicked(MainBox::CheckBox6, true);
    CheckBox6Click(r.m);
    r.view.setBoxTicked(MainBox::CheckBox7, false);  // changed before the turn came
    r.serveAll();
    auto sent = r.commandSectors(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][2], 0x20);
    EXPECT_EQ(sent[0][3], 0);  // muted
    EXPECT_EQ(sent[0][4], 0);  // auto scan off
    EXPECT_EQ(r.state.commandCooldown[0], kCooldownTicks);
    EXPECT_EQ(r.host.enclosure(1)->settingFlags() & 0x03, 0x00) << "the bridge took it";

    // And back: the bridge takes only 0 and 1 in either byte.
    r.view.setBoxTicked(MainBox::CheckBox6, false);
    r.view.setBoxTicked(MainBox::CheckBox7, true);
    CheckBox6Click(r.m);
    r.serveAll();
    EXPECT_EQ(r.host.enclosure(1)->settingFlags() & 0x03, 0x03);
}

// An hour of monitoring on a Linux desktop, where every poll's close comes
// back as a notice: the notices settle into a recount now and then, no count
// changes, so no pass is asked for; and a recount's own echoes start none.
TEST(VirtualMonitor, AnHourOfMonitoringWithUdevEchoAsksForNoDiscoveryPass) {
    VirtualRig r(1);
    r.host.setTraceEnabled(false);
    r.host.setUdevEcho(true, std::chrono::milliseconds(1));
    unsigned recounts = 0;  // drive 9 does not exist: only a recount tries it
    r.host.setTraceObserver([&](const virt::TraceEntry& e) {
        if (e.kind == virt::TraceEntry::Kind::Open && e.drive == 9) ++recounts;
    });
    Button10Click(r.m);
    constexpr int kTicks = 3600 * 2;  // Timer4, every 500 ms
    for (int tick = 1; tick <= kTicks; ++tick) {
        if (tick % 8 == 0) Timer2Timer(r.m);  // every 4 s
        r.serveAll();
        r.host.waitForEchoes();
        Timer4Timer(r.m);
        ASSERT_FALSE(r.dev.discoveryRequest.load()) << "a pass was asked for at tick " << tick;
    }
    EXPECT_EQ(r.state.pendingRequests.load() & request::kStarted, request::kStarted);
    EXPECT_GT(r.host.echoesRaised(), 900u);
    EXPECT_LE(recounts, kTicks / 8 + 1u);  // at most one per poll
}

}  // namespace
}  // namespace ardenvel
