#include "device/DeviceChange.h"

#include "device/Discovery.h"

namespace ardenvel {

void OnDeviceChange(DeviceState& dev) {
    // Where closing a drive raises a notice of its own (a host that passes
    // udev's watch on), a recount's opens would start the next recount, and
    // that one the next, for ever. Elsewhere every notice is news.
    if (dev.recountEchoes) return;
    dev.deviceChangeCountdown = kCountdownStart;
}

TickOutcome DeviceChangeTick(DeviceState& dev, bool deferPass) {
    // The last recount's echoes have had a tick to arrive: notices are news again.
    dev.recountEchoes = false;
    std::uint8_t countdown = dev.deviceChangeCountdown.load();
    if (countdown != 0) {
        // Compare-exchange so that a notice arriving meanwhile restarts the
        // countdown instead of being overwritten.
        if (countdown < kCountdownRecount) {
            dev.deviceChangeCountdown.compare_exchange_strong(countdown,
                                                              static_cast<std::uint8_t>(countdown + 1));
            // A finished pass is applied while notices settle: a steady stream
            // of them (each probe's close echoing) must not hold it back. A
            // firmware command still keeps its table until it ends.
            if (deferPass) return TickOutcome::Settling;
            return dev.discoveryDone.exchange(false) ? TickOutcome::ResultReady : TickOutcome::Settling;
        }
        if (deferPass) return TickOutcome::Deferred;
        if (!dev.deviceChangeCountdown.compare_exchange_strong(countdown, 0)) return TickOutcome::Settling;
        dev.recountEchoes = dev.host.closesRaiseNotices();
        // A disk swapped for another leaves both counts as they were.
        const bool stale = dev.tableStale.exchange(false);
        if (!RecountDrives(dev) && !stale) return TickOutcome::Recounted;
        RequestDiscovery(dev);
        return TickOutcome::RequestedPass;
    }
    // A firmware command keeps the table it began with: a finished pass waits for its end.
    if (deferPass && dev.discoveryDone) return TickOutcome::Deferred;
    if (dev.discoveryDone.exchange(false)) return TickOutcome::ResultReady;
    if (dev.discoveryPending) return TickOutcome::Blink;
    return TickOutcome::Idle;
}

bool ShouldBlinkCaption(bool discoveryPending, std::string_view caption) {
    return discoveryPending && caption == kDriveDetecting;
}

}  // namespace ardenvel
