#include "device/DeviceChange.h"

#include "device/Discovery.h"

namespace ardenvel {

void OnDeviceChange(DeviceState& dev) {
    dev.deviceChangeCountdown = kCountdownStart;
}

TickOutcome DeviceChangeTick(DeviceState& dev, bool deferPass) {
    std::uint8_t countdown = dev.deviceChangeCountdown.load();
    if (countdown != 0) {
        // Compare-exchange so that a notice arriving meanwhile restarts the
        // countdown instead of being overwritten.
        if (countdown < kCountdownRecount) {
            dev.deviceChangeCountdown.compare_exchange_strong(countdown,
                                                              static_cast<std::uint8_t>(countdown + 1));
            return TickOutcome::Settling;
        }
        if (deferPass) return TickOutcome::Deferred;
        if (!dev.deviceChangeCountdown.compare_exchange_strong(countdown, 0)) return TickOutcome::Settling;
        if (!RecountDrives(dev)) return TickOutcome::Recounted;
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
