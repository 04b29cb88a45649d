#pragma once
// Settling of device-change notices, the first thing the window's 500 ms
// timer does: a burst of notices leads to one recount a couple of seconds
// after the last, and to a discovery request only when a count changed. A
// finished pass is applied on the next tick, settling or not, and, on a host
// whose closes raise notices, the echoes of a recount's own opens start no
// further recount.

#include <cstdint>
#include <string_view>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr std::uint8_t kCountdownStart = 16;
inline constexpr std::uint8_t kCountdownRecount = 20;
inline constexpr char kDriveDetecting[] = "Drive detecting";

// Any thread: a device came or went.
void OnDeviceChange(DeviceState& dev);

enum class TickOutcome {
    Settling,       // countdown running; the tick ends
    Deferred,       // settled, or a result ready, but held back while a firmware command runs
    Recounted,      // recounted, nothing changed; the tick ends
    RequestedPass,  // a count changed: a pass is requested; the tick ends
    ResultReady,    // DiscoveryDone was set and is now cleared: apply the result (also while settling)
    Blink,          // a pass is wanted or running: the caption may blink
    Idle,
};

// One Timer4 tick's discovery part, on the window's thread. With deferPass
// the countdown waits at its end, and a finished result (DiscoveryDone stays
// set) waits, until it is called without.
TickOutcome DeviceChangeTick(DeviceState& dev, bool deferPass);

// Whether the selector caption should toggle its visibility this tick.
bool ShouldBlinkCaption(bool discoveryPending, std::string_view caption);

}  // namespace ardenvel
