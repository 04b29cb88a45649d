#include <array>

#include "device/DeviceOperation.h"
#include "monitor/Monitor.h"

namespace ardenvel {

namespace {

constexpr MainBox kCommandBoxes[] = {MainBox::CheckBox6, MainBox::CheckBox7};
constexpr MainButton kScanButtons[] = {MainButton::Button3, MainButton::Button4};

void setCommandControls(MainView& view, bool enabled) {
    for (MainBox b : kCommandBoxes) view.setBoxEnabled(b, enabled);
    for (MainButton b : kScanButtons) view.setButtonEnabled(b, enabled);
}

PanelCommandInput commandInput(const Monitor& m) {
    PanelCommandInput in;
    in.activePage = m.view.activeTab();
    // The boxes as they are now, not as they were when the request was queued.
    in.buzzerMuteTicked = m.view.boxTicked(MainBox::CheckBox6);
    in.autoScanTicked = m.view.boxTicked(MainBox::CheckBox7);
    in.scanStart = m.state.scanStart;
    in.scanPort = m.state.scanPort;
    in.scanFirstLba = m.state.scanFirstLba;
    in.scanLastLba = m.state.scanLastLba;
    return in;
}

using Command = bool (*)(DeviceState&, const PanelCommandInput&, const PanelCommandEffects&);

// A command goes to the enclosure it was asked for or nowhere: a tab change
// or a discovery result while it waited must not carry it to another one.
// The settings come from the boxes, so they also need that tab shown.
void runCommand(Monitor& m, Command command, const MonitorState::CommandTarget& target, bool fromBoxes) {
    PanelCommandInput in = commandInput(m);
    if (target.slot >= 0) {
        if (target.generation != m.dev.tablesGeneration || (fromBoxes && in.activePage != target.slot))
            return;
        in.activePage = target.slot;
    }
    if (in.activePage < 0 || in.activePage > 3) return;  // no tab, no enclosure to send to
    std::array<std::uint8_t, 4> userAbort{};
    MainView& view = m.view;
    const PanelCommandEffects fx{m.state.commandCooldown, userAbort, [&view] {
                                     for (MainBox b : kCommandBoxes) view.setBoxEnabled(b, false);
                                 }};
    // The command and the marks (which other processes' monitors read) under
    // one hold of the device, so that no poll of theirs comes between.
    const bool held = AcquireDevice(m.dev);
    command(m.dev, in, fx);
    if (m.hooks.markUserAbort)
        for (int slot = 0; slot < 4; ++slot)
            if (userAbort[slot]) m.hooks.markUserAbort(slot);
    if (held) m.dev.operationLock.unlock();
}

void queueSettingsWrite(Monitor& m) {
    if (m.state.settingsEcho) return;
    m.state.settingsTarget = {m.view.activeTab(), m.dev.tablesGeneration};
    m.state.pendingRequests.fetch_or(request::kSettings);
}

}  // namespace

void CheckBox6Click(Monitor& m) {
    queueSettingsWrite(m);
}
void CheckBox7Click(Monitor& m) {
    queueSettingsWrite(m);
}

void ScanButtonClick(Monitor& m, int port) {
    const int n = m.view.activeTab();
    if (n < 0 || n > 3) return;
    MonitorState& st = m.state;
    const MainButton button = kScanButtons[port & 1];
    if (m.hooks.scanRunning && m.hooks.scanRunning(n)) {
        const BoxResult answer = m.ui.messageBox(port == 0 ? kStopP0Question : kStopP1Question, "Message",
                                                 BoxButtons::YesNo, BoxIcon::None);
        if (answer != BoxResult::Yes) return;
        m.view.setButtonCaption(button, port == 0 ? "Start P0 Scan" : "Start P1 Scan");
        st.scanStart = 0;
    } else {
        m.view.setButtonCaption(button, port == 0 ? "Stop P0 Scan" : "Stop P1 Scan");
        st.scanStart = 1;
    }
    st.scanPort = static_cast<std::uint8_t>(port & 1);
    st.scanFirstLba = 0;
    // Unsigned on purpose: an empty volume asks for the whole 32-bit range.
    st.scanLastLba = StatusView(st.statusBuffers[n]).configuredCapacity() - 1u;
    st.scanTarget = {n, m.dev.tablesGeneration};
    st.pendingRequests.fetch_or(request::kScan);
}

void WriteSettings(Monitor& m) {
    runCommand(m, SetBuzzerAutoScan, m.state.settingsTarget, true);
}

void SendScanCommand(Monitor& m) {
    runCommand(m, SendScanControl, m.state.scanTarget, false);
}

void Timer5Timer(Monitor& m) {
    const int n = m.view.activeTab();
    const bool locked = m.state.firstRefreshPending || m.dev.tables.deviceCount == 0 || n < 0 || n > 3 ||
                        m.state.commandCooldown[n & 3] != 0;
    setCommandControls(m.view, !locked);
    for (auto& c : m.state.commandCooldown)
        if (c != 0) --c;
}

}  // namespace ardenvel
