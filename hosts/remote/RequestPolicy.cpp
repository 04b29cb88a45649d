#include "hosts/remote/RequestPolicy.h"

#include <algorithm>

#include "device/ByteOrder.h"
#include "device/Discovery.h"
#include "device/Transport.h"
#include "device/VuChannel.h"

namespace ardenvel::remote {
namespace {

using Cdb = std::span<const std::uint8_t, 10>;

constexpr std::uint32_t kReadLbas[] = {kIdentifyLba, kRecordLba, kFlashDataLba};
constexpr std::uint8_t kModeCodes[] = {kModeSpiClose, kModeSpiOpen,     kModeUnlock,
                                       kModeLock,     kModeLeaveUpdate, kModeEnterUpdate};
constexpr std::uint8_t kShifts[] = {0, 1};

bool same(Cdb cdb, const std::array<std::uint8_t, 10>& expected) {
    return std::equal(cdb.begin(), cdb.end(), expected.begin());
}

bool commandSectorLba(std::uint32_t lba) {
    return lba == kCommandLba || (lba >= kRandomLbaFirst && lba < kRandomLbaFirst + kRandomLbaCount);
}

bool changesFlash(BridgeKind kind) {
    return kind == BridgeKind::WritePage || kind == BridgeKind::EraseSector;
}

// Where a transfer CDB sent with this shift carries its 24-bit address.
std::uint32_t transferAddress(Cdb cdb, std::uint8_t shift) {
    return readBe24(cdb, 4 - shift);
}

constexpr char kNotBridge[] = "a state-changing request to a disk that has not answered as a bridge";

}  // namespace

const char* RequestPolicy::checkOpenPhysical(unsigned number) const {
    return number < kMaxPhysicalDrives ? nullptr : "a physical drive beyond those discovery probes";
}

const char* RequestPolicy::checkOpenVolume(char letter) const {
    // Drive letters are counted from C, as many as discovery keeps.
    const bool known = letter >= 'C' && letter < static_cast<char>('C' + kMaxDriveLetters);
    return known ? nullptr : "a volume that is not one of the drive letters";
}

const char* RequestPolicy::checkCdb(unsigned drive, Cdb cdb, DataDirection direction,
                                    std::span<const std::uint8_t> data, unsigned timeoutSeconds) const {
    const unsigned timeout = cdb[0] == kInquiryOpcode ? kInquiryTimeoutSeconds : kRequestTimeoutSeconds;
    if (timeoutSeconds != timeout) return "a time-out this tool never sets";
    switch (cdb[0]) {
        case kRead10:
            for (const std::uint32_t lba : kReadLbas) {
                if (same(cdb, sectorCdb(kRead10, lba, 1)))
                    return direction == DataDirection::ToHost && data.size() == kSector
                               ? nullptr
                               : "a READ(10) with the wrong direction or length";
            }
            return "a READ(10) other than one sector of LBA 33, 58 or 60";
        case kWrite10: {
            const std::uint32_t lba = readBe32(cdb, 2);
            if (!same(cdb, sectorCdb(kWrite10, lba, 1))) return "a WRITE(10) of other than one sector";
            if (!commandSectorLba(lba)) return "a WRITE(10) outside the command-sector LBAs";
            if (direction != DataDirection::ToDevice || data.size() != kSector)
                return "a WRITE(10) with the wrong direction or length";
            if (!isSealedCommandSector(data))
                return "a WRITE(10) of a sector without the signature and checksum";
            return answeredAsBridge(drive) ? nullptr : kNotBridge;
        }
        case kInquiryOpcode:
            if (!same(cdb, inquiryCdb())) return "an INQUIRY other than the standard 36 bytes";
            return direction == DataDirection::ToHost && data.size() == kInquiryBytes
                       ? nullptr
                       : "an INQUIRY with the wrong direction or length";
        case kVendorOpcode: return checkVendorCdb(drive, cdb, direction, data.size());
        default: return "an opcode this tool never sends";
    }
}

const char* RequestPolicy::checkVendorCdb(unsigned drive, Cdb cdb, DataDirection direction,
                                          std::size_t bytes) const {
    for (const std::uint8_t shift : kShifts) {
        for (unsigned row = 0; row < std::size(kBridgeQueries); ++row) {
            if (!same(cdb, bridgeQueryCdb(row, shift))) continue;
            if (direction == DataDirection::ToHost && bytes == kBridgeQueries[row].answerBytes)
                return nullptr;
        }
        for (const BridgeKind kind : kBridgeKinds) {
            if (!same(cdb, bridgeTransferCdb(kind, transferAddress(cdb, shift), shift))) continue;
            const BridgeKindRow row = bridgeKindRow(kind);
            if (direction != row.direction || bytes != row.bytes) continue;
            return changesFlash(kind) && !answeredAsBridge(drive) ? kNotBridge : nullptr;
        }
    }
    return "a vendor CDB outside the bridge's query table and flash operations";
}

const char* RequestPolicy::checkAta(unsigned drive, const TaskFile& r, std::size_t dataBytes) const {
    if (r.command == kAtaIdentify)
        return r == kIdentifyRegisters && dataBytes == kSector ? nullptr
                                                               : "an IDENTIFY DEVICE other than discovery's";
    if (r.command != kAtaVendorCommand) return "an ATA command other than IDENTIFY DEVICE and 0x88";
    if (r.device != kAtaDeviceLba || r.sectorCount != 0 || dataBytes != 0)
        return "a vendor ATA command with registers or data this tool never sends";
    const bool readAddress = r.features == kAtaReadAddress;
    const bool mode =
        std::find(std::begin(kModeCodes), std::end(kModeCodes), r.features) != std::end(kModeCodes) &&
        r.lbaLow == 0 && r.lbaMid == 0 && r.lbaHigh == 0;
    if (!readAddress && !mode) return "a vendor ATA sub-command this tool never sends";
    return answeredAsBridge(drive) ? nullptr : kNotBridge;
}

void RequestPolicy::noteOpen(unsigned drive, bool opened) {
    if (!opened && drive < bridges_.size()) bridges_.reset(drive);
}

void RequestPolicy::noteCdb(unsigned drive, Cdb cdb, std::span<const std::uint8_t> data, bool ok) {
    if (!ok || drive >= bridges_.size()) return;
    bool mark =
        data.size() == kSector && same(cdb, sectorCdb(kRead10, kIdentifyLba, 1)) && hasSignature(data.data());
    for (const std::uint8_t shift : kShifts) {
        mark = mark ||
               (data.size() == kSector && same(cdb, bridgeTransferCdb(BridgeKind::SignatureRead, 0, shift)) &&
                hasSignature(data.data()));
        mark = mark || (data.size() >= 2 && same(cdb, bridgeQueryCdb(kIdentityQueryRow, shift)) &&
                        isIdentityQueryAnswer(data.data()));
    }
    if (mark) bridges_.set(drive);
}

void RequestPolicy::noteAta(unsigned drive, const TaskFile& sent, std::span<const std::uint8_t> data,
                            bool ok) {
    if (ok && drive < bridges_.size() && sent == kIdentifyRegisters && data.size() == kSector &&
        hasSignature(data.data()))
        bridges_.set(drive);
}

}  // namespace ardenvel::remote
