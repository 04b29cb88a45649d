#include <gtest/gtest.h>

#include "device/DeviceChange.h"
#include "tests/monitor/MonitorRig.h"

namespace ardenvel {
namespace {

using test::MonitorRig;
using test::RecordBuilder;

TEST(DiscoveryResult, TwoEnclosuresGetTabsBoxesCaptionsAndOnePoll) {
    MonitorRig r;
    r.discover(2);
    auto& v = r.view;
    EXPECT_TRUE(v.box(MainBox::CheckBox1).shown);
    EXPECT_TRUE(v.box(MainBox::CheckBox3).shown);
    EXPECT_FALSE(v.box(MainBox::CheckBox4).shown);
    EXPECT_EQ(v.box(MainBox::CheckBox3).tooltip, "HD2");
    EXPECT_TRUE(v.tabs[0].shown && v.tabs[1].shown);
    EXPECT_FALSE(v.tabs[2].shown);
    EXPECT_EQ(v.tabs[1].caption, "Device2");
    EXPECT_EQ(v.upDownMax, 1);
    EXPECT_TRUE(v.upDownShown);
    EXPECT_EQ(v.staticText(MainText::StaticText1).text, "1/2 Device1[]");
    EXPECT_TRUE(v.button(MainButton::Button10).enabled);
    EXPECT_TRUE(v.button(MainButton::BitBtn1).enabled);
    EXPECT_TRUE(v.button(MainButton::Button1).shown);
    EXPECT_EQ(v.staticText(MainText::StaticText5).text, "F/W Rev. 090619.0");
    // No blank between the model and the number.
    EXPECT_EQ(v.caption, "Ardenvel v0.21 - Model11[]");
    EXPECT_EQ(r.pending(), request::kPoll);
    EXPECT_TRUE(v.timer3());
}

TEST(DiscoveryResult, WhileMonitoringTheFirmwareButtonsStayLocked) {
    MonitorRig r;
    r.state.pendingRequests = request::kStarted;
    r.discover(1);
    EXPECT_FALSE(r.view.button(MainButton::Button10).enabled);
    EXPECT_FALSE(r.view.button(MainButton::BitBtn1).enabled);
    EXPECT_FALSE(r.view.button(MainButton::Button1).shown);
    EXPECT_EQ(r.pending(), request::kStarted | request::kPoll);
}

TEST(DiscoveryResult, NoEnclosureFreezesTheClockForGood) {
    MonitorRig r;
    r.discover(0);
    auto& v = r.view;
    EXPECT_EQ(v.staticText(MainText::StaticText1).text, "No Drive found! ");
    EXPECT_FALSE(v.timer3());
    EXPECT_TRUE(v.staticText(MainText::StaticText4).shown);
    EXPECT_FALSE(v.box(MainBox::CheckBox1).shown);
    EXPECT_FALSE(v.button(MainButton::Button10).enabled);
    EXPECT_EQ(r.pending(), 0);

    r.discover(1);
    EXPECT_FALSE(v.timer3());
    EXPECT_EQ(v.staticText(MainText::StaticText1).text, "1/1 Device1[]");
}

TEST(DiscoveryResult, ASelectionPastTheNewCountFallsBackToTheUpDown) {
    MonitorRig r;
    r.discover(2);
    r.dev.selectedDevice = 1;  // where the last poll ended
    r.view.upDownPos = 0;
    r.discover(1);
    EXPECT_EQ(r.dev.selectedDevice, 0);
    EXPECT_EQ(r.view.staticText(MainText::StaticText1).text, "1/1 Device1[]");

    // A selection still inside the table is left where it is.
    r.discover(3);
    r.dev.selectedDevice = 2;
    r.discover(3);
    EXPECT_EQ(r.dev.selectedDevice, 2);
}

TEST(DiscoveryResult, CaptionBlinksOnlyWhileDetecting) {
    MonitorRig r;
    r.dev.discoveryPending = true;
    EXPECT_FALSE(Timer4Timer(r.m));
    EXPECT_FALSE(r.view.staticText(MainText::StaticText1).shown);
    Timer4Timer(r.m);
    EXPECT_TRUE(r.view.staticText(MainText::StaticText1).shown);
    r.view.staticText(MainText::StaticText1).text = "1/1 Device1[]";
    Timer4Timer(r.m);
    EXPECT_TRUE(r.view.staticText(MainText::StaticText1).shown);
}

TEST(Monitoring, StartAndStopSwitchTheButtonsAndTheTimer) {
    MonitorRig r;
    r.discover(1);
    r.state.pendingRequests = request::kSettings;
    Button10Click(r.m);
    auto& v = r.view;
    // The whole byte is replaced: the settings write is dropped.
    EXPECT_EQ(r.pending(), 0x11);
    EXPECT_FALSE(v.button(MainButton::Button10).enabled);
    EXPECT_FALSE(v.button(MainButton::BitBtn1).enabled);
    EXPECT_FALSE(v.button(MainButton::Button2).enabled);
    EXPECT_FALSE(v.upDownEnabled);
    EXPECT_TRUE(v.button(MainButton::Button11).enabled);
    EXPECT_TRUE(v.timer2());

    Timer2Timer(r.m);
    ServeRequest(r.m);
    // The bridge reports auto scan on, so the refresh ticked that box.
    EXPECT_EQ(r.pending(), request::kStarted | request::kSettings);

    v.upDownPos = 0;
    r.dev.selectedDevice = 3;
    Button11Click(r.m);
    EXPECT_EQ(r.pending(), 0);
    EXPECT_FALSE(v.timer2());
    EXPECT_TRUE(v.button(MainButton::Button10).enabled);
    EXPECT_FALSE(v.button(MainButton::Button11).enabled);
    EXPECT_TRUE(v.button(MainButton::BitBtn1).enabled);
    EXPECT_TRUE(v.upDownEnabled);
    EXPECT_EQ(r.dev.selectedDevice, 0);
}

TEST(Polling, ALostSecondEnclosureIsUntickedAndItsTabHidden) {
    MonitorRig r;
    r.discover(2);
    Button10Click(r.m);
    r.answering[1] = false;
    ServeRequest(r.m);
    EXPECT_EQ(r.queried, (std::vector<int>{0, 1}));
    EXPECT_FALSE(r.view.box(MainBox::CheckBox3).ticked);
    EXPECT_FALSE(r.view.tabs[1].shown);
    EXPECT_TRUE(r.view.tabs[0].shown);
    EXPECT_EQ(r.eventLogMasks, (std::vector<std::uint8_t>{0x01}));
    EXPECT_EQ(r.view.label(PanelLabel::Label18).text, "Normal");
    EXPECT_EQ(r.dev.selectedDevice, 1);  // left at the last slot queried

    // It is not polled again, even when it answers, until its box is ticked.
    r.answering[1] = true;
    r.queried.clear();
    Timer2Timer(r.m);
    ServeRequest(r.m);
    EXPECT_EQ(r.queried, (std::vector<int>{0}));
    EXPECT_TRUE(r.view.timer2());
}

TEST(Polling, NothingTickedStopsMonitoring) {
    MonitorRig r;
    r.discover(2);
    Button10Click(r.m);
    for (int s : {0, 1}) {
        r.view.setBoxTicked(deviceBox(s), false);
        DeviceBoxClick(r.m, s);
        EXPECT_FALSE(r.view.tabs[s].shown);
    }
    ServeRequest(r.m);
    EXPECT_TRUE(r.queried.empty());
    EXPECT_EQ(r.eventLogMasks, (std::vector<std::uint8_t>{0}));
    EXPECT_EQ(r.pending(), 0);
    EXPECT_FALSE(r.view.timer2());
    EXPECT_TRUE(r.view.button(MainButton::Button10).enabled);
    EXPECT_FALSE(r.view.button(MainButton::Button11).enabled);
    EXPECT_TRUE(r.state.firstRefreshPending);  // no refresh happened
}

TEST(Polling, FirstPollForcesTheRefreshEvenOverAMatchingTracker) {
    MonitorRig r;
    r.discover(1);
    r.state.shownPortState = 0x22;  // as if drawn, but the window was never drawn
    ServeRequest(r.m);
    EXPECT_FALSE(r.state.firstRefreshPending);
    EXPECT_EQ(r.view.label(PanelLabel::Label27).text, " Capacity: 931 GB");
    const int writes = r.view.label(PanelLabel::Label27).textWrites;
    Timer2Timer(r.m);
    ServeRequest(r.m);
    EXPECT_EQ(r.view.label(PanelLabel::Label27).textWrites, writes);
}

TEST(Polling, BridgeSettingsThatDifferFromTheBoxesAreWrittenBack) {
    MonitorRig r;
    r.discover(1);
    r.view.box(MainBox::CheckBox6).ticked = true;   // muted
    r.records[0] = RecordBuilder().settings(0x11);  // sounding, no auto scan
    ServeRequest(r.m);
    EXPECT_FALSE(r.view.box(MainBox::CheckBox6).ticked);
    EXPECT_EQ(r.pending(), request::kSettings);

    // The same settings again change no box and queue nothing more.
    r.state.pendingRequests = request::kPoll;
    ServeRequest(r.m);
    EXPECT_EQ(r.pending(), 0);
}

TEST(Polling, ATabChangeSetsTheBoxesWithoutQueueingAWrite) {
    MonitorRig r;
    r.discover(2);
    ServeRequest(r.m);
    r.state.pendingRequests = 0;
    r.state.statusBuffers[1] = RecordBuilder().settings(0x10).ports(0x24);
    r.view.active = 1;
    PageControl1Change(r.m);
    EXPECT_TRUE(r.view.box(MainBox::CheckBox6).ticked);
    EXPECT_FALSE(r.view.box(MainBox::CheckBox7).ticked);
    EXPECT_FALSE(r.state.settingsEcho);
    EXPECT_EQ(r.pending(), 0);
    EXPECT_EQ(r.view.label(PanelLabel::Label19).text, " P0 is absent ");  // forced redraw of the new slot
    EXPECT_EQ(r.dev.selectedDevice, 1);                                   // untouched by the tab
}

TEST(Requests, OneRequestPerTurnPollFirst) {
    MonitorRig r;
    r.enclosures(1);
    r.state.pendingRequests = request::kStarted | request::kWork;
    ServeRequest(r.m);
    EXPECT_EQ(r.queried.size(), 1u);
    EXPECT_EQ(r.pending(), request::kStarted | request::kSettings | request::kScan);
    ServeRequest(r.m);  // the settings write; the dead host cannot open the drive
    EXPECT_EQ(r.pending(), request::kStarted | request::kScan);
    EXPECT_EQ(r.ui.boxTexts(), (std::vector<std::string>{"Invalid Drive"}));
    ServeRequest(r.m);
    EXPECT_EQ(r.pending(), request::kStarted);
    ServeRequest(r.m);
    EXPECT_EQ(r.queried.size(), 1u);
}

TEST(Requests, HeldWhileAFirmwareCommandOrADiscoveryPassRunsOrItsResultWaits) {
    MonitorRig r;
    r.enclosures(2);
    bool busy = true;
    r.m.hooks.firmwareBusy = [&] { return busy; };
    r.dev.selectedDevice = 1;  // what the upgrade works on
    r.state.pendingRequests = request::kPoll | request::kSettings;
    ServeRequest(r.m);
    EXPECT_TRUE(r.queried.empty());
    EXPECT_EQ(r.dev.selectedDevice, 1);
    EXPECT_EQ(r.pending(), request::kPoll | request::kSettings);

    busy = false;
    for (std::atomic<bool>* flag : {&r.dev.discoveryPending, &r.dev.discoveryDone}) {
        *flag = true;
        ServeRequest(r.m);
        EXPECT_TRUE(r.queried.empty());
        *flag = false;
    }

    // While a device change settles a poll still reads, but a command waits.
    r.dev.deviceChangeCountdown = kCountdownStart;
    ServeRequest(r.m);
    EXPECT_EQ(r.queried, (std::vector<int>{0, 1}));
    ServeRequest(r.m);
    EXPECT_EQ(r.pending(), request::kSettings);
    r.dev.deviceChangeCountdown = 0;
    ServeRequest(r.m);
    EXPECT_EQ(r.pending(), 0);
}

TEST(Identity, AutoScanBoxFollowsTheActiveTabsFirmware) {
    MonitorRig r;
    r.discover(2, {"090618.0", "090619.0"});
    EXPECT_FALSE(r.view.box(MainBox::CheckBox7).shown);
    EXPECT_FALSE(r.state.scanCapable);
    r.view.active = 1;
    PageControl1Change(r.m);
    EXPECT_TRUE(r.view.box(MainBox::CheckBox7).shown);
    EXPECT_TRUE(r.view.box(MainBox::CheckBox7).enabled);
    EXPECT_TRUE(r.state.scanCapable);
    EXPECT_EQ(r.view.staticText(MainText::StaticText5).text, "F/W Rev. 090619.0");
    r.view.active = 0;
    PageControl1Change(r.m);
    EXPECT_FALSE(r.view.box(MainBox::CheckBox7).shown);
}

TEST(Identity, CaptionTakesTheModelOfTheTabAndTheLettersOfTheSelectedDevice) {
    MonitorRig r;
    r.enclosures(3);
    auto& t = r.dev.tables;
    t.logicalDrives[0] = {'E', kDriveFixed, 3};
    t.logicalDrives[1] = {'F', kDriveFixed, 3};
    t.logicalDrives[2] = {'G', kDriveRemovable, 3};
    t.logicalDrives[3] = {'H', kDriveFixed, 1};
    t.logicalDrives[4] = {'I', kDriveFixed, 3};  // beyond the filled records
    t.logicalDriveCount = 4;
    r.view.active = 0;
    r.dev.selectedDevice = 2;
    RefreshIdentity(r.m);
    EXPECT_EQ(r.view.caption, "Ardenvel v0.21 - Model13[EF]");

    r.view.active = -1;
    r.dev.selectedDevice = 0;
    RefreshIdentity(r.m);
    EXPECT_EQ(r.view.caption, "Ardenvel v0.21 - Model13[EF]");  // no tab: left as it was
}

TEST(Selection, UpDownPicksTheFirmwareDevice) {
    MonitorRig r;
    r.enclosures(2);
    r.dev.tables.deviceTable[1] = 2;  // no route flag
    r.view.upDownPos = 1;
    UpDown1Click(r.m);
    EXPECT_EQ(r.dev.selectedDevice, 1);
    EXPECT_EQ(r.view.staticText(MainText::StaticText1).text, "2/2 Device2[]");
    EXPECT_FALSE(r.view.button(MainButton::BitBtn1).enabled);
    EXPECT_FALSE(r.view.button(MainButton::Button2).enabled);
    r.view.upDownPos = 0;
    UpDown1Click(r.m);
    EXPECT_TRUE(r.view.button(MainButton::BitBtn1).enabled);
    EXPECT_TRUE(r.view.button(MainButton::Button2).enabled);
}

TEST(Clock, ElapsedAndRemovalLines) {
    MonitorRig r;
    r.state.startTime = r.clock.now();
    r.clock.current += std::chrono::hours{26} + std::chrono::minutes{3} + std::chrono::seconds{4};
    Timer3Timer(r.m);
    EXPECT_EQ(r.view.staticText(MainText::StaticText3).text, "Time Elapsed 1-02:03:04");
    EXPECT_EQ(r.view.staticText(MainText::StaticText4).text, "Drive removed at: 08.12.2026 11:03:04");
    EXPECT_EQ(ElapsedText(r.state.startTime, r.state.startTime + std::chrono::seconds{59}),
              "Time Elapsed 0-00:00:59");
}

}  // namespace
}  // namespace ardenvel
