#pragma once
// What one status panel refresh changes, decided from the record alone. The
// decision names every write the refresh makes; a field left empty means the
// control is left exactly as it is.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "monitor/ControllerStatus.h"
#include "monitor/MainView.h"
#include "monitor/MonitorState.h"

namespace ardenvel {

inline constexpr char kBadSector[] = "Bad Sector";

struct LabelChange {
    std::optional<std::string> text;
    std::optional<Colour> colour;
    std::optional<bool> enabled;

    bool touched() const { return text || colour || enabled; }
};

struct ButtonChange {
    std::optional<bool> shown;
    std::optional<std::string> caption;
};

struct PanelTrackers {
    std::uint8_t shownPortState = kNothingShown;
    std::uint8_t shownProgress = kNothingShown;
};

struct PanelDecision {
    // The boxes are set on every refresh; only a change runs their handler.
    bool muteTicked = false;
    bool autoScanTicked = false;

    std::array<LabelChange, kPanelLabelCount> labels{};
    ButtonChange button1;  // "Log"
    ButtonChange button3;  // P0 scan
    ButtonChange button4;  // P1 scan

    // Serials decoded by this refresh; empty when kept.
    std::optional<std::string> p0SerialText;
    std::optional<std::string> p1SerialText;

    PanelTrackers trackers;  // after the refresh

    const LabelChange& label(PanelLabel l) const { return labels[static_cast<int>(l)]; }
    LabelChange& label(PanelLabel l) { return labels[static_cast<int>(l)]; }
};

PanelDecision DecidePanel(const StatusBlock& block, PanelTrackers shown, bool force, bool scanCapable);

}  // namespace ardenvel
