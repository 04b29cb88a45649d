#include "hosts/linux/PassThrough.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace ardenvel::linuxhost {
namespace {

constexpr std::uint8_t kCkCond = 0x20;
constexpr std::uint8_t kTDirFromDevice = 0x08;
constexpr std::uint8_t kBytBlok = 0x04;
constexpr std::uint8_t kTLengthInSectorCount = 0x02;

constexpr std::uint8_t kAtaStatusReturnDescriptor = 0x09;
constexpr std::uint8_t kAtaStatusReturnLength = 0x0C;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kNoSense = 0x00;
constexpr std::uint8_t kRecoveredError = 0x01;
constexpr std::uint8_t kAscAtaInformation = 0x00;
constexpr std::uint8_t kAscqAtaInformation = 0x1D;

constexpr std::uint16_t kDidTimeOut = 0x03;
constexpr std::uint16_t kDriverCodeMask = 0x0F;
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::uint16_t kDriverTimeout = 0x06;

bool isDescriptorSense(std::span<const std::uint8_t> sense) {
    return !sense.empty() && ((sense[0] & 0x7F) == 0x72 || (sense[0] & 0x7F) == 0x73);
}
bool isFixedSense(std::span<const std::uint8_t> sense) {
    return !sense.empty() && ((sense[0] & 0x7F) == 0x70 || (sense[0] & 0x7F) == 0x71);
}

// The ATA Status Return descriptor of descriptor sense, whole, or an empty span.
std::span<const std::uint8_t> ataStatusReturn(std::span<const std::uint8_t> sense) {
    if (!isDescriptorSense(sense) || sense.size() < 8) return {};
    const std::size_t end = std::min<std::size_t>(sense.size(), 8u + sense[7]);
    std::size_t at = 8;
    while (at + 2 <= end) {
        if (sense[at] == kAtaStatusReturnDescriptor) {
            if (sense[at + 1] < kAtaStatusReturnLength || at + 14 > end) return {};
            return sense.subspan(at, 14);
        }
        at += 2u + sense[at + 1];
    }
    return {};
}

std::optional<TaskFile> fromDescriptorSense(std::span<const std::uint8_t> sense) {
    const auto d = ataStatusReturn(sense);
    if (d.empty()) return std::nullopt;
    // Low bytes only: the requests carried here are all 28-bit.
    return TaskFile{d[3], d[5], d[7], d[9], d[11], d[12], d[13]};
}

}  // namespace

std::optional<std::array<std::uint8_t, 16>> buildAtaPassThrough16(const TaskFile& registers,
                                                                  std::size_t dataInBytes) {
    if (dataInBytes % kAtaSector != 0 || dataInBytes > 256 * kAtaSector) return std::nullopt;
    const std::size_t sectors = dataInBytes / kAtaSector;
    std::array<std::uint8_t, 16> cdb{};
    cdb[0] = kAtaPassThrough16;
    if (sectors == 0) {
        cdb[1] = kProtocolNonData << 1;
        cdb[2] = kCkCond;
        cdb[6] = registers.sectorCount;
    } else {
        // No CK_COND with data: libata (Debian 12's 6.1) answers it with
        // ABORTED COMMAND and the status of the data phase (0x58), though the
        // data came; asked without it, it reports GOOD.
        cdb[1] = kProtocolPioDataIn << 1;
        cdb[2] = kTDirFromDevice | kBytBlok | kTLengthInSectorCount;
        cdb[6] = static_cast<std::uint8_t>(sectors);  // 256 wraps to 0, as ATA counts it
    }
    cdb[4] = registers.features;
    cdb[8] = registers.lbaLow;
    cdb[10] = registers.lbaMid;
    cdb[12] = registers.lbaHigh;
    cdb[13] = registers.device;
    cdb[14] = registers.command;
    return cdb;
}

std::optional<TaskFile> ataRegistersFromSense(std::span<const std::uint8_t> sense) {
    // Fixed format has no one layout: SAT puts the registers at bytes 3-6,
    // libata up to 6.1 at bytes 8-11. Only the descriptor says what it holds.
    if (isDescriptorSense(sense)) return fromDescriptorSense(sense);
    return std::nullopt;
}

SgOutcome classify(const SgCompletion& completion) {
    if (completion.ioctlResult < 0) return SgOutcome::IoctlFailed;
    if (completion.hostStatus == kDidTimeOut) return SgOutcome::TimedOut;
    if (completion.hostStatus != 0) return SgOutcome::TransportError;
    // The upper nibble holds only suggestions; DRIVER_SENSE just says sense
    // data came with a CHECK CONDITION, which still counts as completed.
    const std::uint16_t driverCode = completion.driverStatus & kDriverCodeMask;
    if (driverCode == kDriverTimeout) return SgOutcome::TimedOut;
    if (driverCode != 0 && driverCode != kDriverSense) return SgOutcome::TransportError;
    return SgOutcome::Completed;
}

bool carriesAtaReturn(std::span<const std::uint8_t> sense) {
    // Key, ASC and ASCQ sit at bytes 1-3 in descriptor format, 2, 12, 13 in fixed.
    std::uint8_t key = 0xFF, asc = 0, ascq = 0;
    if (isDescriptorSense(sense) && sense.size() >= 4) {
        key = sense[1] & 0x0F;
        asc = sense[2];
        ascq = sense[3];
    } else if (isFixedSense(sense) && sense.size() >= 14) {
        key = sense[2] & 0x0F;
        asc = sense[12];
        ascq = sense[13];
    }
    // A command the drive aborted comes back with its registers too, under
    // ABORTED COMMAND: that is a refusal, not a return.
    if (key != kNoSense && key != kRecoveredError) return false;
    return !ataStatusReturn(sense).empty() || (asc == kAscAtaInformation && ascq == kAscqAtaInformation);
}

bool ataPassThroughSucceeded(const SgCompletion& completion, std::span<const std::uint8_t> sense) {
    if (classify(completion) != SgOutcome::Completed) return false;
    if (completion.scsiStatus == kStatusGood) return true;
    return completion.scsiStatus == kStatusCheckCondition && carriesAtaReturn(sense);
}

bool completeAtaPassThrough(const SgCompletion& completion, std::span<const std::uint8_t> sense,
                            std::span<const std::uint8_t> received, TaskFile& registers,
                            std::span<std::uint8_t> dataIn) {
    // The drive's registers whenever the descriptor brings them, a refusal's
    // included; without it the task file stays as sent, as the IDE request's
    // buffer would.
    const auto returned = ataRegistersFromSense(sense);
    if (returned) registers = *returned;
    if (!ataPassThroughSucceeded(completion, sense) || received.size() != dataIn.size()) return false;
    // A success without them (a data-in command asked without CK_COND) still
    // says this much: the drive ended without ERR or DF, or the kernel would
    // have answered with a refusal. The command sent must not be read as a
    // status.
    if (!returned) {
        registers.command = kAtaStatusReady;
        registers.features = 0;
    }
    std::copy(received.begin(), received.end(), dataIn.begin());
    return true;
}

bool isPrivilegeError(int errorNumber) {
    return errorNumber == EACCES || errorNumber == EPERM;
}

unsigned timeoutMsFromSeconds(unsigned seconds) {
    constexpr auto kMax = std::numeric_limits<unsigned>::max();
    return seconds > kMax / 1000 ? kMax : seconds * 1000;
}

SgCompletion sendSgIo(int fd, const SgRequest& request, std::span<std::uint8_t, kSenseBytes> sense,
                      std::size_t& senseLength, int& errorNumber) {
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.cmd_len = static_cast<unsigned char>(request.cdb.size());
    hdr.cmdp = const_cast<unsigned char*>(request.cdb.data());
    hdr.mx_sb_len = static_cast<unsigned char>(sense.size());
    hdr.sbp = sense.data();
    hdr.timeout = request.timeoutMs;
    if (request.direction == SgDirection::None || request.data.empty()) {
        hdr.dxfer_direction = SG_DXFER_NONE;
    } else {
        hdr.dxfer_direction =
            request.direction == SgDirection::ToDevice ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        hdr.dxfer_len = static_cast<unsigned>(request.data.size());
        hdr.dxferp = request.data.data();
    }

    SgCompletion completion;
    completion.ioctlResult = ::ioctl(fd, SG_IO, &hdr);
    errorNumber = completion.ioctlResult < 0 ? errno : 0;
    senseLength = completion.ioctlResult < 0 ? 0 : std::min<std::size_t>(hdr.sb_len_wr, sense.size());
    completion.scsiStatus = hdr.status;
    completion.hostStatus = hdr.host_status;
    completion.driverStatus = hdr.driver_status;
    completion.residue = hdr.resid;
    return completion;
}

}  // namespace ardenvel::linuxhost
