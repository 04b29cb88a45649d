#include <gtest/gtest.h>

#include "tests/monitor/MonitorRig.h"

namespace ardenvel {
namespace {

using test::MonitorRig;
using test::RecordBuilder;

struct ScanRig : MonitorRig {
    std::array<bool, 4> running{};
    ScanRig() {
        enclosures(2);
        m.hooks.scanRunning = [this](int slot) { return running[slot]; };
        view.active = 1;
        state.statusBuffers[1] = RecordBuilder().volume(1u << 28);
    }
    bool controlsEnabled(bool expected) {
        return view.box(MainBox::CheckBox6).enabled == expected &&
               view.box(MainBox::CheckBox7).enabled == expected &&
               view.button(MainButton::Button3).enabled == expected &&
               view.button(MainButton::Button4).enabled == expected;
    }
};

TEST(ScanButtons, StopOfARunningScanAnsweredNoChangesNothing) {
    ScanRig r;
    r.running[1] = true;
    r.view.button(MainButton::Button4).caption = "Stop P1 Scan";
    r.ui.answers = {BoxResult::No};
    Button4Click(r.m);
    ASSERT_EQ(r.ui.boxes.size(), 1u);
    EXPECT_EQ(r.ui.boxes[0].text, "Do You want to terminate the scan process?");
    EXPECT_EQ(r.ui.boxes[0].caption, "Message");
    EXPECT_EQ(r.ui.boxes[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(r.view.button(MainButton::Button4).caption, "Stop P1 Scan");
    EXPECT_EQ(r.pending(), 0);
    EXPECT_EQ(r.state.scanLastLba, 0u);
}

TEST(ScanButtons, StopAnsweredYesQueuesTheStopOverTheWholeVolume) {
    ScanRig r;
    r.running[1] = true;
    r.ui.answers = {BoxResult::Yes};
    Button3Click(r.m);
    EXPECT_EQ(r.ui.boxes[0].text, "Do You Want to terminate the scan process?");
    EXPECT_EQ(r.view.button(MainButton::Button3).caption, "Start P0 Scan");
    EXPECT_EQ(r.state.scanStart, 0);
    EXPECT_EQ(r.state.scanPort, 0);
    EXPECT_EQ(r.state.scanFirstLba, 0u);
    EXPECT_EQ(r.state.scanLastLba, (1u << 28) - 1);
    EXPECT_EQ(r.pending(), request::kScan);
}

TEST(ScanButtons, StartAsksNothingAndAnEmptyVolumeAsksForAllLbas) {
    ScanRig r;
    r.state.statusBuffers[1] = RecordBuilder().volume(0);
    Button4Click(r.m);
    EXPECT_TRUE(r.ui.boxes.empty());
    EXPECT_EQ(r.view.button(MainButton::Button4).caption, "Stop P1 Scan");
    EXPECT_EQ(r.state.scanStart, 1);
    EXPECT_EQ(r.state.scanPort, 1);
    EXPECT_EQ(r.state.scanLastLba, 4294967295u);
    EXPECT_EQ(r.pending(), request::kScan);
}

TEST(ScanButtons, TheRunningFlagOfTheActiveSlotDecides) {
    ScanRig r;
    r.running[0] = true;  // another slot's scan
    Button3Click(r.m);
    EXPECT_TRUE(r.ui.boxes.empty());
    EXPECT_EQ(r.state.scanStart, 1);
}

TEST(Timer5, ControlsStayLockedUntilTheFirstRefresh) {
    ScanRig r;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.controlsEnabled(false));
    r.state.firstRefreshPending = false;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.controlsEnabled(true));
    r.view.active = -1;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.controlsEnabled(false));
    r.view.active = 0;
    r.dev.tables.deviceCount = 0;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.controlsEnabled(false));
}

TEST(Timer5, CooldownLocksOnlyTheTabOfItsSlot) {
    ScanRig r;
    r.state.firstRefreshPending = false;
    r.state.commandCooldown[1] = kCooldownTicks;
    int lockedTicks = 0;
    for (int i = 0; i < 6; ++i) {
        Timer5Timer(r.m);
        if (r.controlsEnabled(false)) ++lockedTicks;
    }
    EXPECT_EQ(lockedTicks, 4);
    EXPECT_EQ(r.state.commandCooldown[1], 0);

    r.state.commandCooldown[1] = kCooldownTicks;
    r.view.active = 0;
    Timer5Timer(r.m);
    EXPECT_TRUE(r.controlsEnabled(true));
    EXPECT_EQ(r.state.commandCooldown[1], kCooldownTicks - 1);  // counts down off-screen too
}

}  // namespace
}  // namespace ardenvel
