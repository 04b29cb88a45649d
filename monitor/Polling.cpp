#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "device/DeviceChange.h"
#include "device/Discovery.h"
#include "monitor/DeviceText.h"
#include "monitor/Monitor.h"
#include "monitor/StatusQuery.h"

namespace ardenvel {

namespace {

constexpr MainButton kFirmwareButtons[] = {MainButton::BitBtn1, MainButton::Button2};

bool hasPath(std::uint32_t word) {
    return (word & kPathFlags) != 0;
}

void applyLabel(MainView& view, PanelLabel l, const LabelChange& c) {
    if (c.colour) view.setLabelColour(l, *c.colour);
    if (c.text) view.setLabelText(l, *c.text);
    if (c.enabled) view.setLabelEnabled(l, *c.enabled);
}

void applyButton(MainView& view, MainButton b, const ButtonChange& c) {
    if (c.caption) view.setButtonCaption(b, *c.caption);
    if (c.shown) view.setButtonShown(b, *c.shown);
}

void setFirmwareButtons(MainView& view, bool enabled) {
    for (MainButton b : kFirmwareButtons) view.setButtonEnabled(b, enabled);
}

// Hiding the tab that was up brings up another one; the panel then shows it
// as a change of tab would. True when it did.
bool followTabMove(Monitor& m, int tabBefore) {
    const int tab = m.view.activeTab();
    if (tab == tabBefore || tab < 0) return false;
    PageControl1Change(m);
    return true;
}

}  // namespace

void ApplyPanelDecision(Monitor& m, const PanelDecision& d) {
    MainView& view = m.view;
    // Boxes first: their handlers may queue the write of the bridge's own
    // settings back, as a click would.
    if (view.boxTicked(MainBox::CheckBox6) != d.muteTicked) {
        view.setBoxTicked(MainBox::CheckBox6, d.muteTicked);
        CheckBox6Click(m);
    }
    if (view.boxTicked(MainBox::CheckBox7) != d.autoScanTicked) {
        view.setBoxTicked(MainBox::CheckBox7, d.autoScanTicked);
        CheckBox7Click(m);
    }
    for (int i = 0; i < kPanelLabelCount; ++i) applyLabel(view, static_cast<PanelLabel>(i), d.labels[i]);
    applyButton(view, MainButton::Button3, d.button3);
    applyButton(view, MainButton::Button4, d.button4);
    applyButton(view, MainButton::Button1, d.button1);
    if (d.p0SerialText) m.state.p0SerialText = *d.p0SerialText;
    if (d.p1SerialText) m.state.p1SerialText = *d.p1SerialText;
    m.state.shownPortState = d.trackers.shownPortState;
    m.state.shownProgress = d.trackers.shownProgress;
}

void RefreshStatusPanel(Monitor& m, bool force) {
    MonitorState& st = m.state;
    st.firstRefreshPending = false;
    const int tab = m.view.activeTab();
    if (tab < 0 || tab > 3) return;  // no tab, nothing to draw
    force = force || st.redrawPending;
    st.redrawPending = false;
    const PanelDecision d =
        DecidePanel(st.statusBuffers[tab], {st.shownPortState, st.shownProgress}, force, st.scanCapable);
    ApplyPanelDecision(m, d);
}

void ServeRequest(Monitor& m) {
    // Held back, not dropped: a firmware command lets pending events run
    // between its flash steps, and a poll then would move SelectedDevice
    // under it. A discovery pass owns the drive handle, and a finished one is
    // about to replace the table a request would read. A request lets events
    // run in its boxes, but no other request starts meanwhile.
    if (m.busy() || DiscoveryAhead(m.dev) || m.state.serving) return;
    m.state.serving = true;
    struct Served {
        bool& flag;
        ~Served() { flag = false; }
    } served{m.state.serving};
    auto& pending = m.state.pendingRequests;
    const std::uint8_t bits = pending.load();
    // The bit goes first: the same request asked for during this one (by a
    // result applied while a box was open) is served on a later turn.
    const auto take = [&pending](std::uint8_t bit) { pending.fetch_and(static_cast<std::uint8_t>(~bit)); };
    if (bits & request::kPoll) {
        take(request::kPoll);
        PollEnclosures(m);
    } else if (m.dev.deviceChangeCountdown.load() != 0) {
        // A drive came or went: until the recount, a slot may name a disk
        // that is no bridge, and a command sector written to it would land
        // on the user's data. The command waits; a poll only reads.
        return;
    } else if (bits & request::kSettings) {
        take(request::kSettings);
        WriteSettings(m);
    } else if (bits & request::kScan) {
        take(request::kScan);
        SendScanCommand(m);
    }
}

void PollEnclosures(Monitor& m) {
    const int tabBefore = m.view.activeTab();
    const std::uint32_t generation = m.dev.tablesGeneration;
    std::uint8_t mask = 0;
    bool cut = false;
    std::uint8_t failed = 0;
    for (int n = 0; n < 4; ++n) {
        // The box of a failed query lets events run: a pass may have been
        // asked for meanwhile. It owns the device now, and its result asks
        // for a poll of its own.
        if (DiscoveryAhead(m.dev)) {
            cut = true;
            break;
        }
        // The count of the table as it is now: never a slot past its end.
        if (m.dev.tables.deviceCount <= n || !m.view.boxTicked(deviceBox(n))) continue;
        const auto slot = static_cast<std::uint8_t>(n);
        m.dev.selectedDevice = slot;
        const bool ok = m.hooks.queryStatus ? m.hooks.queryStatus(slot)
                                            : QueryControllerStatus(m.dev, m.state.statusBuffers, slot);
        // A result applied during the query's box put another enclosure in
        // this slot, or the window is closing: the answer is for nobody.
        if (m.dev.tablesGeneration != generation || m.dev.closing) return;
        if (ok) {
            mask |= static_cast<std::uint8_t>(1u << n);
            m.view.setTabShown(n, true);
        } else {
            failed |= static_cast<std::uint8_t>(1u << n);
            m.view.setBoxTicked(deviceBox(n), false);
            m.view.setTabShown(n, false);
        }
    }
    // Cut short before it read anything: that is no sign of lost enclosures.
    if (cut && mask == 0) return;
    m.state.devicesFailed = failed;
    if (m.hooks.updateEventLog) m.hooks.updateEventLog(mask);
    if (mask != 0) {
        if (!followTabMove(m, tabBefore)) RefreshStatusPanel(m, m.state.firstRefreshPending);
    } else {
        StopMonitoring(m);
    }
}

void Button10Click(Monitor& m) {
    // Monitoring never starts under a firmware command; the button is disabled then.
    if (m.busy()) return;
    // The whole byte: a request not yet served is dropped.
    m.state.pendingRequests = request::kStarted | request::kPoll;
    m.view.setButtonEnabled(MainButton::Button10, false);
    setFirmwareButtons(m.view, false);
    m.view.setUpDownEnabled(false);
    m.view.setButtonEnabled(MainButton::Button11, true);
    m.view.startTimer(MainTimer::Timer2);
}

void StopMonitoring(Monitor& m) {
    m.view.stopTimer(MainTimer::Timer2);
    m.state.pendingRequests = 0;
    if (m.dev.tables.deviceCount != 0) {
        m.view.setButtonEnabled(MainButton::Button10, true);
        m.view.setButtonEnabled(MainButton::Button11, false);
        setFirmwareButtons(m.view, !DiscoveryAhead(m.dev));
        m.dev.selectedDevice = static_cast<std::uint8_t>(m.view.upDownPosition());
        m.view.setUpDownEnabled(true);
    } else {
        m.view.setButtonEnabled(MainButton::Button10, false);
        m.view.setButtonEnabled(MainButton::Button11, false);
        setFirmwareButtons(m.view, false);
    }
}

void Timer2Timer(Monitor& m) {
    m.state.pendingRequests.fetch_or(request::kPoll);
}

std::string ElapsedText(Clock::TimePoint start, Clock::TimePoint now) {
    using namespace std::chrono;
    const auto diff = duration_cast<seconds>(now - start);
    const long long total = diff.count();
    const long long days = total / 86400;  // truncated toward zero
    const long long rest = std::llabs(total % 86400);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lld-%02lld:%02lld:%02lld", days, rest / 3600, rest / 60 % 60, rest % 60);
    return std::string("Time Elapsed ") + buf;
}

void Timer3Timer(Monitor& m) {
    const Clock::TimePoint now = m.clock.now();
    m.view.setText(MainText::StaticText3, ElapsedText(m.state.startTime, now));
    m.view.setText(MainText::StaticText4,
                   "Drive removed at: " + formatDateTime(m.clock, m.clock.toLocal(now)));
}

bool Timer4Timer(Monitor& m) {
    switch (DeviceChangeTick(m.dev, m.busy())) {
        case TickOutcome::RequestedPass:
            // As before the first result: no firmware command while a pass runs.
            setFirmwareButtons(m.view, false);
            break;
        case TickOutcome::ResultReady:
            ApplyDiscoveryResult(m.dev);
            ApplyDeviceControls(m);
            return true;
        case TickOutcome::Blink:
            if (ShouldBlinkCaption(m.dev.discoveryPending, m.view.text(MainText::StaticText1)))
                m.view.setTextShown(MainText::StaticText1, !m.view.textShown(MainText::StaticText1));
            break;
        default: break;
    }
    return false;
}

void ApplyDeviceControls(Monitor& m) {
    MainView& view = m.view;
    const DiscoveryTables& t = m.dev.tables;
    const unsigned count = t.deviceCount;

    const int tabBefore = view.activeTab();
    view.setUpDownMax(static_cast<int>(count) - 1);
    view.setUpDownShown(false);
    for (int tab = 0; tab < 4; ++tab) view.setTabShown(tab, false);

    std::string caption;
    if (count != 0) {
        // The poll leaves the selection on the last slot it read; after a pass
        // that found fewer enclosures that slot is gone ("2/1 Device2[]"), and
        // the up-down, now within the new count, says which one is meant.
        if (m.dev.selectedDevice >= count)
            m.dev.selectedDevice =
                static_cast<std::uint8_t>(std::clamp(view.upDownPosition(), 0, static_cast<int>(count) - 1));
        caption = BuildDeviceCaption(m.dev);
        const bool started = (m.state.pendingRequests.load() & request::kStarted) != 0;
        if (!hasPath(m.dev.selectedWord()) || started) {
            view.setButtonEnabled(MainButton::Button10, false);
            setFirmwareButtons(view, false);
        } else {
            view.setButtonEnabled(MainButton::Button10, true);
            // A pass asked for since this one ended keeps them disabled.
            setFirmwareButtons(view, !DiscoveryAhead(m.dev));
            view.setButtonShown(MainButton::Button1, true);
        }
    } else {
        view.setBoxShown(MainBox::CheckBox1, false);
        view.setButtonEnabled(MainButton::Button10, false);
        setFirmwareButtons(view, false);
        caption = kNoDriveFound;
        // The elapsed time freezes for good; the removal line shows its last tick.
        view.stopTimer(MainTimer::Timer3);
        view.setTextShown(MainText::StaticText4, true);
        view.setUpDownShown(false);
    }
    view.setText(MainText::StaticText1, caption);
    view.setTextShown(MainText::StaticText1, true);

    for (int slot = 0; slot < 4; ++slot) {
        if (count > static_cast<unsigned>(slot)) {
            const MainBox box = deviceBox(slot);
            view.setBoxShown(box, true);
            if (slot == 1) view.setUpDownShown(true);
            view.setTabCaption(slot, "Device" + std::to_string(slot + 1));
            view.setBoxTooltip(box, "HD" + std::to_string(driveNumberOf(t.deviceTable[slot])));
            view.setTabShown(slot, true);
        } else if (slot > 0) {
            view.setBoxShown(deviceBox(slot), false);
        }
    }

    if (count != 0) {
        // Hiding the tabs moved the active one; the user stays where they were
        // if that slot is still there.
        if (tabBefore >= 0 && static_cast<unsigned>(tabBefore) < count) view.setActiveTab(tabBefore);
        m.state.redrawPending = true;
        RefreshIdentity(m);
        m.state.pendingRequests.fetch_or(request::kPoll);
    }
}

std::string WindowTitle(const std::string& savedCaption, const DiscoveryTables& t, int activeTab,
                        std::uint8_t selectedDevice) {
    const unsigned shownDrive = driveNumberOf(t.deviceTable[activeTab & 7]);
    const unsigned selectedDrive = driveNumberOf(t.deviceTable[selectedDevice & 7]);
    std::string letters;
    const unsigned records =
        t.logicalDriveCount < kLogicalDriveRecords ? t.logicalDriveCount : kLogicalDriveRecords;
    for (unsigned i = 0; i < records; ++i) {
        const LogicalDrive& d = t.logicalDrives[i];
        if (d.driveType == kDriveFixed && d.diskNumber == selectedDrive) letters += d.letter;
    }
    return savedCaption + " - " + deviceTextUtf8(modelText(t.sectorBuffers[shownDrive])) +
           std::to_string(selectedDevice + 1) + "[" + letters + "]";
}

void RefreshIdentity(Monitor& m) {
    const int tab = m.view.activeTab();
    if (tab < 0 || tab > 3) return;  // no enclosure to read: leave all as it is
    const DiscoveryTables& t = m.dev.tables;
    const std::string revision = firmwareRevisionText(t.sectorBuffers[driveNumberOf(t.deviceTable[tab])]);
    m.view.setText(MainText::StaticText5, "F/W Rev. " + deviceTextUtf8(revision));
    m.state.scanCapable = scanCapable(revision);
    m.view.setBoxShown(MainBox::CheckBox7, m.state.scanCapable);
    m.view.setWindowCaption(WindowTitle(m.state.savedCaption, t, tab, m.dev.selectedDevice));
}

void PageControl1Change(Monitor& m) {
    RefreshIdentity(m);
    // The redraw sets the boxes to the new enclosure's settings; that is not
    // the user asking to change them.
    m.state.settingsEcho = true;
    m.view.setBoxEnabled(MainBox::CheckBox7, true);
    RefreshStatusPanel(m, true);
    m.state.settingsEcho = false;
}

void UpDown1Click(Monitor& m) {
    // A firmware command keeps its enclosure; the control is disabled meanwhile.
    if (m.busy()) return;
    m.dev.selectedDevice = static_cast<std::uint8_t>(m.view.upDownPosition());
    m.view.setText(MainText::StaticText1, BuildDeviceCaption(m.dev));
    setFirmwareButtons(m.view, hasPath(m.dev.selectedWord()) && !DiscoveryAhead(m.dev));
}

void SelectUpDownDevice(Monitor& m) {
    if (m.dev.tables.deviceCount != 0)
        m.dev.selectedDevice = static_cast<std::uint8_t>(m.view.upDownPosition());
}

bool BeginFirmwareCommand(Monitor& m) {
    const bool started = (m.state.pendingRequests.load() & request::kStarted) != 0;
    if (m.busy() || started || m.state.serving || DiscoveryAhead(m.dev)) return false;
    // Nothing that would move the selection or start polls until the end.
    m.state.startEnabledBeforeFirmware = m.view.buttonEnabled(MainButton::Button10);
    m.view.setButtonEnabled(MainButton::Button10, false);
    m.view.setUpDownEnabled(false);
    return true;
}

void EndFirmwareCommand(Monitor& m) {
    m.view.setButtonEnabled(MainButton::Button10, m.state.startEnabledBeforeFirmware);
    m.view.setUpDownEnabled(true);
}

void DeviceBoxClick(Monitor& m, int slot) {
    const int tabBefore = m.view.activeTab();
    m.view.setTabShown(slot, m.view.boxTicked(deviceBox(slot)));
    followTabMove(m, tabBefore);
}

}  // namespace ardenvel
