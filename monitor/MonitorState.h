#pragma once
// The monitor's process-wide state in one object: the request byte shared
// with TRaidThread, the panel's trackers, the pending scan command and the
// per-slot copies of the status record. The program makes one; each test
// makes its own.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "monitor/ControllerStatus.h"
#include "platform/Clock.h"

namespace ardenvel {

// PendingRequests bits.
namespace request {
inline constexpr std::uint8_t kPoll = 0x01;
inline constexpr std::uint8_t kSettings = 0x02;
inline constexpr std::uint8_t kScan = 0x04;
inline constexpr std::uint8_t kStarted = 0x10;
inline constexpr std::uint8_t kWork = kPoll | kSettings | kScan;
}  // namespace request

// ShownPortState / ShownProgress when nothing has been drawn.
inline constexpr std::uint8_t kNothingShown = 0xFF;
inline constexpr std::uint8_t kCooldownTicks = 4;

struct MonitorState {
    // Written on the window's thread only; TRaidThread reads it.
    std::atomic<std::uint8_t> pendingRequests{0};

    // Until the first panel refresh: the poll forces the refresh, the event
    // log runs its start-up pass and the buzzer/scan controls stay disabled.
    bool firstRefreshPending = true;
    // A pass may have put other enclosures into the slots: the next refresh
    // redraws the panel in full.
    bool redrawPending = false;
    // Set while a tab change redraws the panel, so box changes queue nothing.
    bool settingsEcho = false;
    // Set while ServeRequest runs: a box or a wait of its work lets events
    // run, and they must not start another request or a firmware command.
    bool serving = false;
    // What "Start" was before a firmware command disabled it.
    bool startEnabledBeforeFirmware = false;
    // Of the active tab's enclosure.
    bool scanCapable = false;

    std::uint8_t shownPortState = kNothingShown;
    std::uint8_t shownProgress = kNothingShown;
    std::string p0SerialText;
    std::string p1SerialText;

    // The enclosure a queued command was asked for: its tab, and the table
    // that tab stood for. Unset, the tab active when it is served.
    struct CommandTarget {
        int slot = -1;
        std::uint32_t generation = 0;
    };
    CommandTarget settingsTarget;
    CommandTarget scanTarget;

    // The pending scan command.
    std::uint8_t scanPort = 0;   // 0 = P0, 1 = P1
    std::uint8_t scanStart = 0;  // 1 = start, 0 = stop
    std::uint32_t scanFirstLba = 0;
    std::uint32_t scanLastLba = 0;

    std::array<std::uint8_t, 4> commandCooldown{};
    // The slots whose read failed in the last poll.
    std::uint8_t devicesFailed = 0;

    StatusBuffers statusBuffers{};

    Clock::TimePoint startTime{};
    // The window's caption as created; the title is rebuilt from it.
    std::string savedCaption;
};

}  // namespace ardenvel
