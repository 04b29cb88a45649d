#include "device/VuChannel.h"

#include <cstdio>
#include <optional>
#include <string>

#include "device/ByteOrder.h"
#include "device/DeviceOperation.h"
#include "device/Transport.h"

namespace ardenvel {
namespace {

struct ModeCommand {
    std::uint8_t code;
    std::uint8_t argument;
};

std::optional<ModeCommand> modeCommand(std::uint8_t mode) {
    switch (mode) {
        case kModeSpiClose: return ModeCommand{kVuSpiAccess, 0};
        case kModeSpiOpen: return ModeCommand{kVuSpiAccess, 1};
        case kModeUnlock: return ModeCommand{kVuProtection, 1};
        case kModeLock: return ModeCommand{kVuProtection, 0};
        case kModeLeaveUpdate: return ModeCommand{kVuUpdateMode, 0};
        case kModeEnterUpdate: return ModeCommand{kVuUpdateMode, 1};
        default: return std::nullopt;
    }
}

bool sendModeOnLbaRoute(DeviceState& dev, std::uint8_t mode) {
    const auto command = modeCommand(mode);
    if (!command) return false;
    Sector& s = dev.vuCommandSector;
    stampSignature(s);
    sealCommandSector(s);
    s[kVuCodeAt] = command->code;
    s[kVuArgumentAt] = command->argument;
    const std::uint32_t lba = DrawRandomLba(dev);
    if (WriteSectors(dev, dev.handle, lba, s.data(), 1)) return true;
    dev.ui.setStatusText(kPanelMessages, kTextWriteErrorRandomLba + std::to_string(lba));
    return false;
}

bool sendModeOnAtaRoute(DeviceState& dev, std::uint8_t mode) {
    TaskFile regs;
    regs.features = mode;
    regs.device = kAtaDeviceLba;
    regs.command = kAtaVendorCommand;
    if (AtaCommand(dev, dev.handle, regs, nullptr, 0)) return true;
    char text[40];
    std::snprintf(text, sizeof text, "VU command 0x88 FEA %02X Error", mode);
    dev.ui.setStatusText(kPanelMessages, text);
    return false;
}

bool sendMode(DeviceState& dev, std::uint8_t mode) {
    return selectedRoute(dev) == VuRoute::ReservedLba ? sendModeOnLbaRoute(dev, mode)
                                                      : sendModeOnAtaRoute(dev, mode);
}

// The slot of the active tab page becomes the selected device; with no page
// active the selection stays as it was.
void selectActivePage(DeviceOperation& op, int activePage) {
    if (activePage >= 0 && activePage < 4) op.select(static_cast<std::uint8_t>(activePage));
}

bool writeCommandLba(DeviceState& dev) {
    if (WriteSectors(dev, dev.handle, kCommandLba, dev.vuCommandSector.data(), 1)) return true;
    dev.ui.setStatusText(kPanelMessages, kTextWriteErrorLba20);
    return false;
}

void startCooldown(DeviceState& dev, const PanelCommandEffects& fx) {
    if (dev.selectedDevice < fx.commandCooldown.size())
        fx.commandCooldown[dev.selectedDevice] = kCommandCooldownTicks;
}

void disableBoxes(const PanelCommandEffects& fx) {
    if (fx.disableBoxes) fx.disableBoxes();
}

}  // namespace

std::string diskChangedText(unsigned drive) {
    return "The disk at drive " + std::to_string(drive) +
           " is not the one this work began on, so nothing more was sent to it.";
}

void stampSignature(Sector& sector) {
    sector[0] = kVuSignature0;
    sector[1] = kVuSignature1;
}

VuRoute routeOf(std::uint32_t word) {
    if (word & kUsbPath) return VuRoute::Usb;
    if (word & kLbaPath) return VuRoute::ReservedLba;
    return VuRoute::Ata;
}

void SeedRandomLba(DeviceState& dev) {
    const auto ticks = static_cast<std::uint64_t>(dev.clock.now().time_since_epoch().count());
    dev.random.seed(static_cast<std::uint32_t>(ticks ^ (ticks >> 32)));
}

std::uint32_t DrawRandomLba(DeviceState& dev) {
    dev.lastRandomLba = static_cast<std::uint32_t>(dev.random() % kRandomLbaCount) + kRandomLbaFirst;
    return dev.lastRandomLba;
}

bool SendVuMode(DeviceState& dev, std::uint8_t code) {
    if (selectedRoute(dev) == VuRoute::Usb) return true;
    if (code != kModeLeaveUpdate && code != kModeEnterUpdate) return sendMode(dev, code);
    DeviceOperation op(dev);
    if (!op.begin()) return false;
    return sendMode(dev, code);
}

bool SetBuzzerAutoScan(DeviceState& dev, const PanelCommandInput& in, const PanelCommandEffects& fx) {
    DeviceOperation op(dev);
    if (!op.deviceKnown()) return false;
    selectActivePage(op, in.activePage);
    if (!op.open()) return false;
    disableBoxes(fx);

    Sector& s = dev.vuCommandSector;
    stampSignature(s);
    sealCommandSector(s);
    s[kVuCodeAt] = kVuBuzzerAutoScan;
    s[kVuArgumentAt] = in.buzzerMuteTicked ? 0 : 1;  // the wire says "sounding"
    s[kVuAddressAt] = in.autoScanTicked ? 1 : 0;
    const bool ok = writeCommandLba(dev);

    op.close();
    startCooldown(dev, fx);
    return ok;
}

bool SendScanControl(DeviceState& dev, const PanelCommandInput& in, const PanelCommandEffects& fx) {
    DeviceOperation op(dev);
    if (!op.deviceKnown()) return false;
    selectActivePage(op, in.activePage);
    if (!op.open()) return false;
    disableBoxes(fx);

    const bool stop = in.scanStart == 0;
    Sector& s = dev.vuCommandSector;
    stampSignature(s);
    s[kVuCodeAt] = kVuScanControl;
    s[kVuArgumentAt] = stop ? 1 : 0;
    s[kVuAddressAt] = in.scanPort;
    // Two 48-bit fields filled from 32-bit values.
    writeLe32(s, 7, in.scanFirstLba);
    writeLe16(s, 11, 0);
    writeLe32(s, 13, in.scanLastLba);
    writeLe16(s, 17, 0);
    sealCommandSector(s);
    const bool ok = writeCommandLba(dev);

    op.close();
    startCooldown(dev, fx);
    if (stop && dev.selectedDevice < fx.userAbort.size()) fx.userAbort[dev.selectedDevice] = 1;
    return ok;
}

}  // namespace ardenvel
