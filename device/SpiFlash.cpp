#include "device/SpiFlash.h"

#include <cstring>
#include <string>

#include "device/ByteOrder.h"
#include "device/DeviceOperation.h"
#include "device/Transport.h"
#include "device/VuChannel.h"

namespace ardenvel {
namespace {

constexpr char kReadUsbError[] = "Read SPI Error USB";
constexpr char kWriteUsbError[] = "Write SPI Error USB";
constexpr char kEraseUsbError[] = "Erase SPI Error USB";
constexpr char kReadAddressError[] = "VU command 0x88 FEA 0x01 Read Error";
constexpr char kReadLba60Error[] = "Read Error for LBA = 60 and sector count = 1";
constexpr char kRecordUsbError[] = "Read Error for USB";
constexpr char kRecordLba33Error[] = "Read Error for LBA = 33 and sector count = 1";

void report(DeviceState& dev, const std::string& text) {
    dev.ui.setStatusText(kPanelMessages, text);
}

// Discovery leaves CdbShift at whatever it tried last, so every vendor
// transfer sets it from the device word first.
bool usbTransfer(DeviceState& dev, BridgeKind kind, std::uint8_t* buffer, std::uint32_t address) {
    dev.cdbShift = (dev.selectedWord() & kShiftPath) ? 1 : 0;
    return BridgeTransfer(dev, kind, buffer, address);
}

void prepareSector(DeviceState& dev, std::uint8_t code, std::uint8_t argument) {
    Sector& s = dev.vuCommandSector;
    stampSignature(s);
    sealCommandSector(s);
    s[kVuCodeAt] = code;
    s[kVuArgumentAt] = argument;
}

void setAddress(DeviceState& dev, std::uint32_t address) {
    writeBe24(dev.vuCommandSector, kVuAddressAt, address);
}

// Opens SPI access and, for a range that starts in the protected low area,
// unlocks it; on return `unlocked` says whether the lock must follow.
bool openForChange(DeviceState& dev, std::uint32_t start, bool& unlocked) {
    unlocked = false;
    if (!SendVuMode(dev, kModeSpiOpen)) return false;
    if (start >= kProtectedLowArea) return true;
    if (!SendVuMode(dev, kModeUnlock)) {
        SendVuMode(dev, kModeSpiClose);
        return false;
    }
    unlocked = true;
    return true;
}

// The closing commands go out even after a failed step.
bool closeAfterChange(DeviceState& dev, bool unlocked) {
    bool ok = true;
    if (unlocked && !SendVuMode(dev, kModeLock)) ok = false;
    if (!SendVuMode(dev, kModeSpiClose)) ok = false;
    return ok;
}

bool readStep(DeviceState& dev, VuRoute route, std::uint32_t address, std::uint8_t* destination) {
    if (route == VuRoute::Usb) {
        if (usbTransfer(dev, BridgeKind::ReadPage, destination, address)) return true;
        report(dev, kReadUsbError);
        return false;
    }
    if (route == VuRoute::ReservedLba) {
        const std::uint32_t lba = DrawRandomLba(dev);
        if (!WriteSectors(dev, dev.handle, lba, dev.vuCommandSector.data(), 1)) {
            report(dev, kTextWriteErrorRandomLba + std::to_string(lba));
            return false;
        }
    } else {
        TaskFile regs;
        regs.features = kAtaReadAddress;
        regs.lbaLow = static_cast<std::uint8_t>(address);
        regs.lbaMid = static_cast<std::uint8_t>(address >> 8);
        regs.lbaHigh = static_cast<std::uint8_t>(address >> 16);
        regs.device = kAtaDeviceLba;
        regs.command = kAtaVendorCommand;
        if (!AtaCommand(dev, dev.handle, regs, nullptr, 0)) {
            report(dev, kReadAddressError);
            return false;
        }
    }
    if (ReadSectors(dev, dev.handle, kFlashDataLba, destination, 1)) return true;
    report(dev, kReadLba60Error);
    return false;
}

bool programStep(DeviceState& dev, VuRoute route, std::uint32_t address, const std::uint8_t* page) {
    if (route == VuRoute::Usb) {
        // The host only reads a to-device buffer.
        if (usbTransfer(dev, BridgeKind::WritePage, const_cast<std::uint8_t*>(page), address)) return true;
        report(dev, kWriteUsbError);
        return false;
    }
    Sector& s = dev.vuCommandSector;
    std::memcpy(s.data() + kVuPayloadAt, page, kSpiProgramStep);
    sealCommandSector(s);
    if (WriteSectors(dev, dev.handle, kCommandLba, s.data(), 1)) return true;
    report(dev, kTextWriteErrorLba20);
    return false;
}

bool eraseStep(DeviceState& dev, VuRoute route, std::uint32_t address) {
    if (route == VuRoute::Usb) {
        // The eight answer bytes say nothing we use.
        if (usbTransfer(dev, BridgeKind::EraseSector, dev.bridgeBuffer.data(), address)) return true;
        report(dev, kEraseUsbError);
        return false;
    }
    if (WriteSectors(dev, dev.handle, kCommandLba, dev.vuCommandSector.data(), 1)) return true;
    report(dev, kTextWriteErrorLba20);
    return false;
}

}  // namespace

bool SpiRead(DeviceState& dev, std::uint32_t start, std::uint32_t length, std::uint8_t* destination) {
    DeviceOperation op(dev);
    if (!op.begin()) return false;
    if (!SendVuMode(dev, kModeSpiOpen)) return false;

    const VuRoute route = selectedRoute(dev);
    prepareSector(dev, kVuSetReadAddress, 0x03);
    bool ok = true;
    for (std::uint32_t offset = 0, address = start; offset < length;
         offset += kSpiReadStep, address += kSpiReadStep) {
        setAddress(dev, address);
        dev.ui.processEvents();
        if (!readStep(dev, route, address, destination + offset)) {
            ok = false;
            break;
        }
        ++dev.spiProgress;
    }
    if (!SendVuMode(dev, kModeSpiClose)) ok = false;
    return ok;
}

bool SpiWrite(DeviceState& dev, std::uint32_t start, std::uint32_t length, const std::uint8_t* source) {
    DeviceOperation op(dev);
    if (!op.begin()) return false;
    bool unlocked = false;
    if (!openForChange(dev, start, unlocked)) return false;

    const VuRoute route = selectedRoute(dev);
    dev.vuCommandSector[kVuProgramMarkAt] = kVuProgramMark;
    prepareSector(dev, kVuProgram, 0x02);
    bool ok = true;
    for (std::uint32_t offset = 0, address = start; offset < length;
         offset += kSpiProgramStep, address += kSpiProgramStep) {
        setAddress(dev, address);
        dev.ui.processEvents();
        if (!programStep(dev, route, address, source + offset)) {
            ok = false;
            break;
        }
        // One unit per 512 bytes: every second page.
        if (offset % kSpiReadStep == kSpiProgramStep) ++dev.spiProgress;
    }
    if (!closeAfterChange(dev, unlocked)) ok = false;
    return ok;
}

bool SpiErase(DeviceState& dev, std::uint32_t start, std::uint32_t length) {
    DeviceOperation op(dev);
    if (!op.begin()) return false;
    bool unlocked = false;
    if (!openForChange(dev, start, unlocked)) return false;

    const VuRoute route = selectedRoute(dev);
    prepareSector(dev, kVuErase, 0x20);
    bool ok = true;
    for (std::uint32_t offset = 0, address = start; offset < length;
         offset += kSpiEraseStep, address += kSpiEraseStep) {
        setAddress(dev, address);
        dev.ui.processEvents();
        if (!eraseStep(dev, route, address)) {
            ok = false;
            break;
        }
        ++dev.spiProgress;
    }
    if (!closeAfterChange(dev, unlocked)) ok = false;
    return ok;
}

bool ReadSpiRecord(DeviceState& dev, std::uint8_t* destination) {
    DeviceOperation op(dev);
    if (!op.begin()) return false;

    if (selectedRoute(dev) != VuRoute::Usb) {
        if (ReadSectors(dev, dev.handle, kRecordLba, destination, 1)) return true;
        report(dev, kRecordLba33Error);
        return false;
    }

    // The newest record is the last used slot of the first run of used slots.
    // Only the first byte the scan reads leave is looked at, not their result.
    constexpr std::uint32_t kSlot = 256;
    const std::uint32_t lastSlot = dev.spiSize - kSlot;
    std::uint32_t address = kUsbRecordScanStart;
    for (; address <= lastSlot; address += kSlot) {
        usbTransfer(dev, BridgeKind::ScanRead, destination, address);
        if (destination[0] != 0xFF) break;
    }
    for (; address <= lastSlot; address += kSlot) {
        usbTransfer(dev, BridgeKind::ScanRead, destination, address);
        if (destination[0] == 0xFF) break;
    }
    address -= kSlot;
    if (usbTransfer(dev, BridgeKind::ReadPage, destination, address)) return true;
    report(dev, kRecordUsbError);
    return false;
}

}  // namespace ardenvel
