#include "tests/vm/gadget/ScsiTarget.h"

#include <algorithm>

namespace ardenvel::vmgadget {
namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kServiceActionIn16 = 0x9E;
constexpr std::uint8_t kReadCapacity16 = 0x10;
constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
constexpr std::uint8_t kVendor = 0xFE;

constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscInvalidField = 0x24;
constexpr std::uint8_t kAscqAtaInformationAvailable = 0x1D;

constexpr std::uint8_t kProtocolNonData = 3;
constexpr std::uint8_t kProtocolPioDataIn = 4;
constexpr std::uint8_t kCkCond = 0x20;
constexpr std::size_t kSector = 512;

void putBe(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

ScsiResult good(std::vector<std::uint8_t> data = {}) {
    return ScsiResult{true, std::move(data)};
}

// The allocation length bounds what goes back, whatever the answer holds.
ScsiResult cut(ScsiResult result, std::size_t allocation) {
    if (result.data.size() > allocation) result.data.resize(allocation);
    return result;
}

std::vector<std::uint8_t> fixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

}  // namespace

std::vector<std::uint8_t> ataReturnSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                         const TaskFile& returned) {
    std::vector<std::uint8_t> s(22, 0);
    s[0] = 0x72;
    s[1] = key;
    s[2] = asc;
    s[3] = ascq;
    s[7] = 14;
    s[8] = 0x09;  // ATA Status Return
    s[9] = 0x0C;
    s[11] = returned.features;  // the error register
    s[13] = returned.sectorCount;
    s[15] = returned.lbaLow;
    s[17] = returned.lbaMid;
    s[19] = returned.lbaHigh;
    s[20] = returned.device;
    s[21] = returned.command;  // the status register
    return s;
}

bool decodeAtaPassThrough(std::span<const std::uint8_t> cdb, TaskFile& r, std::uint8_t& protocol) {
    if (cdb.size() >= 16 && cdb[0] == kAtaPassThrough16) {
        r = TaskFile{cdb[4], cdb[6], cdb[8], cdb[10], cdb[12], cdb[13], cdb[14]};
    } else if (cdb.size() >= 12 && cdb[0] == kAtaPassThrough12) {
        r = TaskFile{cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]};
    } else {
        return false;
    }
    protocol = (cdb[1] >> 1) & 0x0F;
    return true;
}

ScsiTarget::ScsiTarget(Host& bridge, DriveHandle handle, std::uint64_t sectors, bool carriesAta)
    : bridge_(bridge), handle_(handle), sectors_(sectors), carriesAta_(carriesAta) {}

ScsiResult ScsiTarget::check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    sense_ = fixedSense(key, asc, ascq);
    return ScsiResult{false, {}};
}

ScsiResult ScsiTarget::execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length,
                               std::span<const std::uint8_t> dataOut) {
    if (cdb.empty()) return check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
    // Sense belongs to the command just before REQUEST SENSE; any other command drops it.
    if (cdb[0] != kRequestSense) sense_.clear();
    switch (cdb[0]) {
        case kTestUnitReady:
        case kStartStopUnit:
        case kPreventAllowRemoval:
        case kVerify10:
        case kSynchronizeCache10: return good();
        case kRequestSense: return requestSense(cdb);
        case kInquiry: return inquiry(cdb);
        case kReadCapacity10: {
            std::vector<std::uint8_t> d(8, 0);
            putBe(d, 0, std::min<std::uint64_t>(sectors_ - 1, 0xFFFFFFFFu), 4);
            putBe(d, 4, kSector, 4);
            return good(std::move(d));
        }
        case kServiceActionIn16: {
            if (cdb.size() < 14 || (cdb[1] & 0x1F) != kReadCapacity16)
                return check(kSenseIllegalRequest, kAscInvalidField, 0);
            std::vector<std::uint8_t> d(32, 0);
            putBe(d, 0, sectors_ - 1, 8);
            putBe(d, 8, kSector, 4);
            const std::size_t allocation = (std::size_t{cdb[10]} << 24) | (std::size_t{cdb[11]} << 16) |
                                           (std::size_t{cdb[12]} << 8) | cdb[13];
            return cut(good(std::move(d)), allocation);
        }
        // A header alone: not write protected, no block descriptor, no pages.
        case kModeSense6: return cut(good({3, 0, 0, 0}), cdb.size() > 4 ? cdb[4] : 0);
        case kModeSense10:
            return cut(good({0, 6, 0, 0, 0, 0, 0, 0}),
                       cdb.size() > 8 ? (std::size_t{cdb[7]} << 8) | cdb[8] : 0);
        case kRead10:
        case kWrite10:
        case kVendor: return toBridge(cdb, dataIn, length, dataOut);
        case kAtaPassThrough16:
        case kAtaPassThrough12: return ataPassThrough(cdb, dataIn, length);
        default: return check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
    }
}

ScsiResult ScsiTarget::toBridge(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length,
                                std::span<const std::uint8_t> dataOut) {
    if (cdb.size() < 10) return check(kSenseIllegalRequest, kAscInvalidField, 0);
    std::array<std::uint8_t, 10> ten{};
    std::copy_n(cdb.begin(), 10, ten.begin());
    std::vector<std::uint8_t> data(length, 0);
    if (!dataIn) std::copy_n(dataOut.begin(), std::min<std::size_t>(dataOut.size(), length), data.begin());
    const bool ok = bridge_.sendCdb(handle_, ten, dataIn ? DataDirection::ToHost : DataDirection::ToDevice,
                                    data, cdb[0] == kVendor ? 2 : 30);
    if (!ok) return check(kSenseIllegalRequest, kAscInvalidField, 0);
    if (!dataIn) data.clear();
    return good(std::move(data));
}

ScsiResult ScsiTarget::inquiry(std::span<const std::uint8_t> cdb) {
    // Vital product data pages: a bridge of this kind has none.
    if (cdb.size() < 6 || (cdb[1] & 0x01) != 0) return check(kSenseIllegalRequest, kAscInvalidField, 0);
    const std::array<std::uint8_t, 10> standard = {kInquiry, 0, 0, 0, 36, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> data(36, 0);
    if (!bridge_.sendCdb(handle_, standard, DataDirection::ToHost, data, 2))
        return check(kSenseIllegalRequest, kAscInvalidField, 0);
    return cut(good(std::move(data)), (std::size_t{cdb[3]} << 8) | cdb[4]);
}

ScsiResult ScsiTarget::requestSense(std::span<const std::uint8_t> cdb) {
    const std::size_t allocation = cdb.size() > 4 ? cdb[4] : 0;
    std::vector<std::uint8_t> sense = sense_.empty() ? fixedSense(kSenseNoSense, 0, 0) : sense_;
    // Ordinary sense in the form asked for; the ATA return stays descriptor
    // sense either way, as bridges send it.
    const bool wantsDescriptor = cdb.size() > 1 && (cdb[1] & 0x01) != 0;
    if (wantsDescriptor && sense[0] == 0x70) sense = {0x72, sense[2], sense[12], sense[13], 0, 0, 0, 0};
    sense_.clear();
    return cut(good(std::move(sense)), allocation);
}

ScsiResult ScsiTarget::ataPassThrough(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length) {
    if (!carriesAta_) return check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
    TaskFile registers;
    std::uint8_t protocol = 0;
    if (!decodeAtaPassThrough(cdb, registers, protocol))
        return check(kSenseIllegalRequest, kAscInvalidField, 0);
    const bool nonData = protocol == kProtocolNonData && length == 0;
    const bool pioIn = protocol == kProtocolPioDataIn && dataIn && length != 0 && length % kSector == 0;
    if (!nonData && !pioIn) return check(kSenseIllegalRequest, kAscInvalidField, 0);

    std::vector<std::uint8_t> data(length, 0);
    if (!bridge_.sendAta(handle_, registers, data)) {
        // The drive aborted the command: its registers come back with the error.
        sense_ = ataReturnSense(kSenseAbortedCommand, 0, 0, registers);
        return ScsiResult{false, {}};
    }
    if ((cdb[2] & kCkCond) == 0) return good(std::move(data));
    sense_ = ataReturnSense(kSenseRecoveredError, 0, kAscqAtaInformationAvailable, registers);
    return ScsiResult{false, std::move(data)};
}

}  // namespace ardenvel::vmgadget
