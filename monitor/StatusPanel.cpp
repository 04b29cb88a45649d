#include "monitor/StatusPanel.h"

#include "monitor/DeviceText.h"

namespace ardenvel {

namespace {

struct PortLabels {
    PanelLabel state;
    PanelLabel disk;
    const char* absentText;
    const char* insertedText;
};

constexpr PortLabels kPorts[2] = {
    {PanelLabel::Label19, PanelLabel::Label25, " P0 is absent ", " P0 is inserted "},
    {PanelLabel::Label24, PanelLabel::Label26, " P1 is absent ", " P1 was inserted "},
};

std::string diskText(const StatusView& s, int p) {
    return "\nCapacity: " + std::to_string(capacityGb(s.portCapacity(p))) + " GB\n" +
           deviceTextUtf8(s.model(p));
}

void decidePort(const StatusView& s, int p, PanelDecision& d) {
    const PortLabels& l = kPorts[p];
    LabelChange& state = d.label(l.state);
    LabelChange& disk = d.label(l.disk);
    const std::string name = p == 0 ? "P0" : "P1";
    switch (s.portCondition(p)) {
        case PortCondition::Absent:
            // Greyed out; the disk label keeps what it showed last.
            state.text = l.absentText;
            state.enabled = false;
            disk.enabled = false;
            break;
        case PortCondition::Initialized: {
            const std::string serial = s.serial(p);
            (p == 0 ? d.p0SerialText : d.p1SerialText) = serial;
            state.colour = Colour::Black;
            disk.colour = Colour::Navy;
            state.text = name + " is initialized(SATA" + std::to_string(s.sataGeneration(p)) +
                         ")\nSerial# :" + deviceTextUtf8(serial);
            disk.text = diskText(s, p);
            state.enabled = true;
            disk.enabled = true;
            break;
        }
        case PortCondition::Failed: {
            const std::string serial = s.serial(p);
            (p == 0 ? d.p0SerialText : d.p1SerialText) = serial;
            state.colour = Colour::Red;
            disk.colour = Colour::Red;
            state.text = name + " is failed, Capacity too small.\nSerial# :" + deviceTextUtf8(serial);
            disk.text = diskText(s, p);
            state.enabled = true;
            disk.enabled = true;
            break;
        }
        case PortCondition::Inserted: state.text = l.insertedText; break;
        case PortCondition::None:
            state.text = "";
            disk.text = "";
            break;
    }
}

const char* volumeText(VolumeState v) {
    switch (v) {
        case VolumeState::Normal: return "Normal";
        case VolumeState::Failure: return "Failure";
        case VolumeState::SingleDisk: return "Single HDD\nPresent";
    }
    return "";
}

}  // namespace

PanelDecision DecidePanel(const StatusBlock& block, PanelTrackers shown, bool force, bool isScanCapable) {
    const StatusView s(block);
    PanelDecision d;
    d.trackers = shown;

    d.muteTicked = !s.buzzerSounding();
    d.autoScanTicked = s.autoScanOn();

    d.label(PanelLabel::Label17).text = modeName(s.raidModeOfSystem());
    d.label(PanelLabel::StaticText7).text = (s.activityFlags() & activity::kBadP1) ? kBadSector : "";
    d.label(PanelLabel::StaticText6).text = (s.activityFlags() & activity::kBadP0) ? kBadSector : "";

    if (force || s.portState() != shown.shownPortState) {
        d.trackers.shownPortState = s.portState();
        decidePort(s, 0, d);
        decidePort(s, 1, d);
        d.label(PanelLabel::Label27).text =
            " Capacity: " + std::to_string(capacityGb(s.configuredCapacity())) + " GB";
    }

    const ActivityKind kind = s.activityKind(isScanCapable);
    if (kind == ActivityKind::None) {
        d.button3.shown = false;
        d.button4.shown = false;
        d.label(PanelLabel::Label18).text = volumeText(s.volumeState());
        d.trackers.shownProgress = kNothingShown;
        return d;
    }

    const std::uint8_t percent = s.progressPercent();
    const bool redraw = shown.shownProgress == kNothingShown || shown.shownProgress != percent;
    const bool onP0 = s.activityPort() == 0;
    const std::string pct = std::to_string(percent);
    if (kind == ActivityKind::Scan) {
        if (redraw) {
            d.label(PanelLabel::Label18).text = (onP0 ? "P0 Scan\n" : "P1 Scan\n") + pct + "%";
            ButtonChange& mine = onP0 ? d.button3 : d.button4;
            ButtonChange& other = onP0 ? d.button4 : d.button3;
            mine.caption = onP0 ? "Stop P0 Scan" : "Stop P1 Scan";
            mine.shown = true;
            other.shown = false;
            d.trackers.shownProgress = percent;
        }
    } else {
        if (redraw) {
            d.label(PanelLabel::Label18).text =
                onP0 ? "Rebuild\n<- " + pct + "% <-" : "Rebuild\n-> " + pct + "% ->";
            d.trackers.shownProgress = percent;
        }
        d.button3.shown = false;
        d.button4.shown = false;
    }
    d.button1.shown = true;
    return d;
}

}  // namespace ardenvel
