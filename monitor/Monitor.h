#pragma once
// The monitor's operations: polling, the status panel, the choice of
// enclosure, the start/stop of monitoring, the scan and settings commands and
// the timers that drive them. Each is a free function over a Monitor, the
// bundle of the state it works on and the window it shows through. TForm1
// forwards its handlers here one to one.
//
// Everything here runs on the window's thread.

#include <cstdint>
#include <functional>
#include <string>

#include "device/DeviceState.h"
#include "device/VuChannel.h"
#include "monitor/MainView.h"
#include "monitor/MonitorState.h"
#include "monitor/StatusPanel.h"
#include "platform/Clock.h"
#include "platform/Ui.h"

namespace ardenvel {

inline constexpr char kNoDriveFound[] = "No Drive found! ";
inline constexpr char kStopP0Question[] = "Do You Want to terminate the scan process?";
inline constexpr char kStopP1Question[] = "Do You want to terminate the scan process?";

// The pieces other subsystems provide. The program wires the event log and
// BusyFlag once; a test wires what it needs. An empty hook is skipped: no
// event log, no scan running, nobody busy. An empty queryStatus means the
// status query of the channel.
struct MonitorHooks {
    // Reads slot's record into MonitorState::statusBuffers[slot], leaving
    // dev.selectedDevice at slot.
    std::function<bool(std::uint8_t slot)> queryStatus;
    // The event detection, with the slots read by this poll.
    std::function<void(std::uint8_t devicesRead)> updateEventLog;
    // Per slot, the event detection's memory.
    std::function<bool(int slot)> scanRunning;
    std::function<void(int slot)> markUserAbort;
    // BusyFlag: a firmware command runs. TRaidThread reads it too, so it must
    // be safe on any thread.
    std::function<bool()> firmwareBusy;
};

struct Monitor {
    MonitorState& state;
    DeviceState& dev;
    MainView& view;
    Ui& ui;
    Clock& clock;
    MonitorHooks hooks;

    bool busy() const { return hooks.firmwareBusy && hooks.firmwareBusy(); }
};

// Status panel: decides from the active tab's record and applies. A box the
// refresh changes runs its change handler as a click would.
void RefreshStatusPanel(Monitor& m, bool force);
void ApplyPanelDecision(Monitor& m, const PanelDecision& d);

// One request per call: poll, else settings write, else scan command. Serves
// nothing while a firmware command runs, a discovery pass is asked for or
// running, or its result waits to be applied, and no command while a device
// change is settling: the request stays pending for a later turn.
void ServeRequest(Monitor& m);
void PollEnclosures(Monitor& m);
void WriteSettings(Monitor& m);
void SendScanCommand(Monitor& m);

// Start, Stop.
void Button10Click(Monitor& m);
void StopMonitoring(Monitor& m);
inline void Button11Click(Monitor& m) {
    StopMonitoring(m);
}

// A finished discovery pass, already taken over into dev.tables: tabs,
// boxes, captions, firmware buttons, identity and one poll.
void ApplyDeviceControls(Monitor& m);
void RefreshIdentity(Monitor& m);
void PageControl1Change(Monitor& m);
void UpDown1Click(Monitor& m);
// Before a firmware command: the enclosure the up-down shows becomes
// SelectedDevice again, since a poll leaves it at the last slot it read.
void SelectUpDownDevice(Monitor& m);
// Around "Load Firmware " and "Start Upgrade". Begin is false when the
// command must not start now: a firmware command runs, monitoring is started,
// a request is being served, or a pass is asked for, running or waiting to be
// applied. Otherwise "Start" and the up-down are disabled until End.
bool BeginFirmwareCommand(Monitor& m);
void EndFirmwareCommand(Monitor& m);

// Device boxes: the tab of the box's slot follows the box.
void DeviceBoxClick(Monitor& m, int slot);
inline void CheckBox1Click(Monitor& m) {
    DeviceBoxClick(m, 0);
}
inline void CheckBox3Click(Monitor& m) {
    DeviceBoxClick(m, 1);
}
inline void CheckBox4Click(Monitor& m) {
    DeviceBoxClick(m, 2);
}
inline void CheckBox5Click(Monitor& m) {
    DeviceBoxClick(m, 3);
}

// Buzzer Mute and Auto Scan changes, by the user or by a refresh.
void CheckBox6Click(Monitor& m);
void CheckBox7Click(Monitor& m);

// Scan buttons: ask before stopping a running scan, then queue the command.
void ScanButtonClick(Monitor& m, int port);
inline void Button3Click(Monitor& m) {
    ScanButtonClick(m, 0);
}
inline void Button4Click(Monitor& m) {
    ScanButtonClick(m, 1);
}

void Timer2Timer(Monitor& m);
void Timer3Timer(Monitor& m);
// Device-change settling, then a finished pass, then the caption's blink.
// True when this tick applied a discovery result.
bool Timer4Timer(Monitor& m);
void Timer5Timer(Monitor& m);

// "Time Elapsed 1-02:03:04".
std::string ElapsedText(Clock::TimePoint start, Clock::TimePoint now);
// The window's title: saved caption, model of the active tab's enclosure,
// then the number and fixed-drive letters of the selected one.
std::string WindowTitle(const std::string& savedCaption, const DiscoveryTables& tables, int activeTab,
                        std::uint8_t selectedDevice);

}  // namespace ardenvel
