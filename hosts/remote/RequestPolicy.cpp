#include "hosts/remote/RequestPolicy.h"

#include <algorithm>

#include "device/ByteOrder.h"
#include "device/DeviceState.h"
#include "device/Discovery.h"
#include "device/SpiFlash.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "firmware/ImageLayout.h"
#include "firmware/Upgrade.h"

namespace ardenvel::remote {
namespace {

using Cdb = RequestPolicy::Cdb;

constexpr std::uint8_t kShifts[] = {0, 1};
// Bytes of a command sector no command writes: zero since the sector was
// made. Byte 509 holds the page-program mark once a page has been written.
constexpr std::size_t kUnownedFirst = kVuPayloadAt + kSpiProgramStep;  // 263
constexpr std::size_t kUnownedEnd = kVuProgramMarkAt;                  // 509
// The scan command's LBAs are 48-bit fields filled from 32-bit values.
constexpr std::size_t kScanHighBytes[] = {11, 12, 17, 18};
constexpr std::uint64_t kFlashAddressSpace = std::uint64_t{1} << 24;

bool same(Cdb cdb, const std::array<std::uint8_t, 10>& expected) {
    return std::equal(cdb.begin(), cdb.end(), expected.begin());
}

bool randomLba(std::uint32_t lba) {
    return lba >= kRandomLbaFirst && lba < kRandomLbaFirst + kRandomLbaCount;
}

// Where a transfer CDB sent with this shift carries its 24-bit address.
std::uint32_t transferAddress(Cdb cdb, std::uint8_t shift) {
    return readBe24(cdb, 4 - shift);
}

// A ring where the flash head may put it: the top 32 KB of a flash whose
// size is a power of two within 24-bit addresses, with the boot area and a
// code slot below.
bool soundRecordBase(std::uint32_t base) {
    const std::uint64_t size = std::uint64_t{base} + image::kRecordAreaSize;
    return base >= image::kBootAreaEnd + image::kCodeSlotSize && size <= kFlashAddressSpace &&
           (size & (size - 1)) == 0;
}

bool binary(std::uint8_t b) {
    return b <= 1;
}

constexpr char kNoStanding[] = "a request for a bridge to a disk that has not answered as one on that route";

}  // namespace

RequestPolicy::Key RequestPolicy::keyOf(const Disk& d) {
    return {d.drive, d.identity.sequence, d.identity.device, d.identity.name};
}

const RequestPolicy::State* RequestPolicy::find(const Disk& d) const {
    const auto it = disks_.find(keyOf(d));
    return it == disks_.end() ? nullptr : &it->second;
}

bool RequestPolicy::hasStanding(const Disk& d) const {
    const State* s = find(d);
    return s != nullptr && (s->lba58 || s->identify || s->usb);
}

const char* RequestPolicy::checkOpenPhysical(unsigned number) const {
    return number < kMaxPhysicalDrives ? nullptr : "a physical drive beyond those discovery probes";
}

const char* RequestPolicy::checkOpenVolume(char letter) const {
    // Drive letters are counted from C, as many as discovery keeps.
    const bool known = letter >= 'C' && letter < static_cast<char>('C' + kMaxDriveLetters);
    return known ? nullptr : "a volume that is not one of the drive letters";
}

const char* RequestPolicy::checkCdb(const Disk& disk, Cdb cdb, DataDirection direction,
                                    std::span<const std::uint8_t> data, unsigned timeoutSeconds) const {
    const unsigned timeout = cdb[0] == kInquiryOpcode ? kInquiryTimeoutSeconds : kRequestTimeoutSeconds;
    if (timeoutSeconds != timeout) return "a time-out this tool never sets";
    const State* s = find(disk);
    switch (cdb[0]) {
        case kRead10: {
            const std::uint32_t lba = readBe32(cdb, 2);
            if (!same(cdb, sectorCdb(kRead10, lba, 1)) ||
                (lba != kIdentifyLba && lba != kRecordLba && lba != kFlashDataLba))
                return "a READ(10) other than one sector of LBA 33, 58 or 60";
            if (direction != DataDirection::ToHost || data.size() != kSector)
                return "a READ(10) with the wrong direction or length";
            // Discovery reads LBA 58 of every disk; the others hold a bridge's record and flash.
            if (lba == kIdentifyLba) return nullptr;
            return s != nullptr && (s->lba58 || s->identify) ? nullptr : kNoStanding;
        }
        case kWrite10: {
            const std::uint32_t lba = readBe32(cdb, 2);
            if (!same(cdb, sectorCdb(kWrite10, lba, 1))) return "a WRITE(10) of other than one sector";
            if (lba != kCommandLba && !randomLba(lba)) return "a WRITE(10) outside the command-sector LBAs";
            if (direction != DataDirection::ToDevice || data.size() != kSector)
                return "a WRITE(10) with the wrong direction or length";
            if (!isSealedCommandSector(data))
                return "a WRITE(10) of a sector without the signature and checksum";
            return checkCommandSector(s, lba, data);
        }
        case kInquiryOpcode:
            if (!same(cdb, inquiryCdb())) return "an INQUIRY other than the standard 36 bytes";
            return direction == DataDirection::ToHost && data.size() == kInquiryBytes
                       ? nullptr
                       : "an INQUIRY with the wrong direction or length";
        case kVendorOpcode: return checkVendorCdb(s, cdb, direction, data.size());
        default: return "an opcode this tool never sends";
    }
}

const char* RequestPolicy::checkCommandSector(const State* s, std::uint32_t lba,
                                              std::span<const std::uint8_t> c) const {
    if (!std::all_of(c.begin() + kUnownedFirst, c.begin() + kUnownedEnd,
                     [](std::uint8_t b) { return b == 0; }) ||
        (c[kVuProgramMarkAt] != 0 && c[kVuProgramMarkAt] != kVuProgramMark))
        return "a command sector padded as this tool never pads one";
    const std::uint8_t code = c[kVuCodeAt], argument = c[kVuArgumentAt];
    const bool atCommandLba = lba == kCommandLba;
    const bool lbaRoute = s != nullptr && s->lba58;
    const bool lbaOrAta = s != nullptr && (s->lba58 || s->identify);
    const bool any = lbaOrAta || (s != nullptr && s->usb);
    // The mode commands and the read address, at a random LBA, on the reserved-LBA route only.
    const auto mode = [&](bool argumentSent) -> const char* {
        // A random LBA may well be 20.
        if (!randomLba(lba) || !argumentSent) return "a command code, argument and LBA this tool never pairs";
        return lbaRoute ? nullptr : kNoStanding;
    };
    switch (code) {
        case kVuSetReadAddress: return mode(argument == 0x03);
        case kVuSpiAccess:
        case kVuUpdateMode: return mode(binary(argument));
        case kVuProtection:
            if (argument == 1) return "an unlock of the boot area, which this tool never writes";
            return mode(argument == 0);
        case kVuBuzzerAutoScan:
            if (!atCommandLba || !binary(argument) || !binary(c[kVuAddressAt]))
                return "a command code, argument and LBA this tool never pairs";
            return any ? nullptr : kNoStanding;
        case kVuScanControl:
            if (!atCommandLba || !binary(argument) || !binary(c[kVuAddressAt]) ||
                std::any_of(std::begin(kScanHighBytes), std::end(kScanHighBytes),
                            [&](std::size_t i) { return c[i] != 0; }))
                return "a command code, argument and LBA this tool never pairs";
            return any ? nullptr : kNoStanding;
        case kVuErase:
        case kVuProgram: {
            const bool erase = code == kVuErase;
            if (!atCommandLba || argument != (erase ? 0x20 : 0x02) ||
                (!erase && c[kVuProgramMarkAt] != kVuProgramMark))
                return "a command code, argument and LBA this tool never pairs";
            if (!lbaOrAta) return kNoStanding;
            if (!s->updateMode) return "a flash change outside update mode";
            return checkFlashChange(s, readBe24(c, kVuAddressAt), erase ? kSpiEraseStep : kSpiProgramStep);
        }
        default: return "a command code this tool never sends";
    }
}

const char* RequestPolicy::checkFlashChange(const State* s, std::uint32_t address, std::uint32_t length) {
    if (address % length != 0) return "a flash change not aligned to its sector or page";
    if (address < image::kBootAreaEnd) return "a flash change in the boot area";
    if (!s->recordBase) return "a flash change before the flash head was read";
    const std::uint32_t base = *s->recordBase;
    if (address >= base && std::uint64_t{address} + length <= std::uint64_t{base} + image::kRecordAreaSize)
        return nullptr;
    const std::uint32_t slot = address / image::kCodeSlotSize * image::kCodeSlotSize;
    if (isUsableSlot(slot, base)) return nullptr;
    return "a flash change outside the code slots and the record ring";
}

const char* RequestPolicy::checkVendorCdb(const State* s, Cdb cdb, DataDirection direction,
                                          std::size_t bytes) const {
    const bool usb = s != nullptr && s->usb;
    for (const std::uint8_t shift : kShifts) {
        // Discovery sends query 0x78 alone of the bridge's queries.
        if (same(cdb, bridgeQueryCdb(kIdentityQueryRow, shift)))
            return direction == DataDirection::ToHost &&
                           bytes == kBridgeQueries[kIdentityQueryRow].answerBytes
                       ? nullptr
                       : "a bridge query with the wrong direction or length";
        const std::uint32_t address = transferAddress(cdb, shift);
        for (const BridgeKind kind : kBridgeKinds) {
            if (!same(cdb, bridgeTransferCdb(kind, address, shift))) continue;
            const BridgeKindRow row = bridgeKindRow(kind);
            if (direction != row.direction || bytes != row.bytes) continue;
            switch (kind) {
                case BridgeKind::SignatureRead:
                    return address == 0 ? nullptr : "a signature read at an address this tool never asks";
                case BridgeKind::ReadPage:
                case BridgeKind::ScanRead: return usb ? nullptr : kNoStanding;
                case BridgeKind::WritePage:
                case BridgeKind::EraseSector:
                    if (!usb) return kNoStanding;
                    return checkFlashChange(s, address,
                                            kind == BridgeKind::WritePage ? kSpiProgramStep : kSpiEraseStep);
            }
        }
    }
    return "a vendor CDB outside the bridge's query and flash operations";
}

const char* RequestPolicy::checkAta(const Disk& disk, const TaskFile& r, std::size_t dataBytes) const {
    if (r.command == kAtaIdentify)
        return r == kIdentifyRegisters && dataBytes == kSector ? nullptr
                                                               : "an IDENTIFY DEVICE other than discovery's";
    if (r.command != kAtaVendorCommand) return "an ATA command other than IDENTIFY DEVICE and 0x88";
    if (r.device != kAtaDeviceLba || r.sectorCount != 0 || dataBytes != 0)
        return "a vendor ATA command with registers or data this tool never sends";
    const bool readAddress = r.features == kAtaReadAddress;
    if (r.features == kModeUnlock) return "an unlock of the boot area, which this tool never writes";
    constexpr std::uint8_t kModes[] = {kModeSpiClose, kModeSpiOpen, kModeLock, kModeLeaveUpdate,
                                       kModeEnterUpdate};
    const bool mode = std::find(std::begin(kModes), std::end(kModes), r.features) != std::end(kModes) &&
                      r.lbaLow == 0 && r.lbaMid == 0 && r.lbaHigh == 0;
    if (!readAddress && !mode) return "a vendor ATA sub-command this tool never sends";
    const State* s = find(disk);
    return s != nullptr && s->identify ? nullptr : kNoStanding;
}

void RequestPolicy::noteOpen(unsigned drive, bool opened) {
    if (opened) return;
    // An identity that may come back with another disk keeps nothing past its disk.
    std::erase_if(disks_,
                  [&](const auto& e) { return std::get<0>(e.first) == drive && std::get<1>(e.first) == 0; });
}

void RequestPolicy::noteDeviceChange() {
    std::erase_if(disks_, [](const auto& e) { return std::get<1>(e.first) == 0; });
}

void RequestPolicy::noteFlashRead(State& s, std::uint32_t address, std::span<const std::uint8_t> data) {
    if (address != 0 || data.size() < kSector ||
        !std::equal(std::begin(image::kImageSignature), std::end(image::kImageSignature), data.begin()))
        return;
    const std::uint32_t base = readLe24(data, image::kRecordAreaAddressOffset);
    if (soundRecordBase(base)) s.recordBase = base;
}

void RequestPolicy::noteCdb(const Disk& disk, Cdb cdb, std::span<const std::uint8_t> sent,
                            std::span<const std::uint8_t> returned, bool ok, const CdbStatus& status) {
    const auto at = disks_.find(keyOf(disk));
    State* s = at == disks_.end() ? nullptr : &at->second;
    // Leaving update mode counts whatever came back.
    if (s != nullptr && cdb[0] == kWrite10 && sent.size() == kSector && sent[kVuCodeAt] == kVuUpdateMode &&
        sent[kVuArgumentAt] == 0)
        s->updateMode = false;
    // Anything else only when the disk took it whole, and said so.
    if (!ok || !status.good()) return;
    const auto grant = [&](bool State::*route) {
        if (s == nullptr) s = &disks_[keyOf(disk)];
        s->*route = true;
    };
    if (cdb[0] == kWrite10 && s != nullptr && sent.size() == kSector) {
        if (sent[kVuCodeAt] == kVuSetReadAddress) s->readAddress = readBe24(sent, kVuAddressAt);
        if (sent[kVuCodeAt] == kVuUpdateMode) s->updateMode = sent[kVuArgumentAt] == 1;
        return;
    }
    if (returned.size() == kSector && same(cdb, sectorCdb(kRead10, kIdentifyLba, 1)) &&
        hasSignature(returned.data()))
        grant(&State::lba58);
    if (s != nullptr && s->readAddress && same(cdb, sectorCdb(kRead10, kFlashDataLba, 1)))
        noteFlashRead(*s, *s->readAddress, returned);
    for (const std::uint8_t shift : kShifts) {
        if (returned.size() == kSector && same(cdb, bridgeTransferCdb(BridgeKind::SignatureRead, 0, shift)) &&
            hasSignature(returned.data()))
            grant(&State::usb);
        if (returned.size() >= 2 && same(cdb, bridgeQueryCdb(kIdentityQueryRow, shift)) &&
            isIdentityQueryAnswer(returned.data()))
            grant(&State::usb);
        if (s != nullptr && same(cdb, bridgeTransferCdb(BridgeKind::ReadPage, 0, shift)))
            noteFlashRead(*s, 0, returned);
    }
}

void RequestPolicy::noteAta(const Disk& disk, const TaskFile& sent, const TaskFile& returned,
                            std::span<const std::uint8_t> data, bool ok) {
    const auto at = disks_.find(keyOf(disk));
    // Leaving update mode counts whatever came back.
    if (at != disks_.end() && sent.command == kAtaVendorCommand && sent.features == kModeLeaveUpdate)
        at->second.updateMode = false;
    if (!ok || ataReturnFailed(returned)) return;
    if (sent == kIdentifyRegisters && data.size() == kSector && hasSignature(data.data())) {
        disks_[keyOf(disk)].identify = true;
        return;
    }
    if (at == disks_.end() || sent.command != kAtaVendorCommand) return;
    if (sent.features == kModeEnterUpdate) at->second.updateMode = true;
    if (sent.features == kAtaReadAddress)
        at->second.readAddress =
            std::uint32_t{sent.lbaHigh} << 16 | std::uint32_t{sent.lbaMid} << 8 | sent.lbaLow;
}

}  // namespace ardenvel::remote
