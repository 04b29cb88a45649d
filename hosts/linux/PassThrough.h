#pragma once
// SG_IO plumbing kept free of state: the ATA PASS-THROUGH(16) CDB, the task
// file a drive hands back in sense data, and the verdict on one request. A
// CDB succeeds when it reached the device and came back, whatever the SCSI
// status, as the Windows pass-through call reports it. An ATA PASS-THROUGH
// succeeds only when the task file came back: a bridge that does not carry
// the command answers CHECK CONDITION too, with ILLEGAL REQUEST.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/Host.h"

namespace ardenvel::linuxhost {

inline constexpr std::size_t kSenseBytes = 32;
inline constexpr std::size_t kAtaSector = 512;
inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;
inline constexpr std::uint8_t kProtocolNonData = 3;
inline constexpr std::uint8_t kProtocolPioDataIn = 4;

// A 28-bit ATA command in ATA PASS-THROUGH(16). Without data CK_COND is set,
// so that the device returns its registers. With data the sector count field
// carries the transfer length in sectors (T_LENGTH = 2), replacing the
// caller's count register; nullopt when the data is not 1 to 256 whole
// sectors.
std::optional<std::array<std::uint8_t, 16>> buildAtaPassThrough16(const TaskFile& registers,
                                                                  std::size_t dataInBytes);

// The returned task file in the Windows IDE layout (features holds the error
// register, command the status register), from descriptor sense (0x72/0x73)
// with an ATA Status Return descriptor. nullopt otherwise: fixed sense has
// held the registers at different bytes in different kernels.
std::optional<TaskFile> ataRegistersFromSense(std::span<const std::uint8_t> sense);

// What came back from one SG_IO ioctl.
struct SgCompletion {
    int ioctlResult = 0;  // -1 when the ioctl itself failed
    std::uint8_t scsiStatus = 0;
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
    std::int32_t residue = 0;  // bytes asked for that did not move
};

enum class SgOutcome {
    Completed,       // reached the device and came back; any SCSI status
    IoctlFailed,     // the kernel refused or could not issue the request
    TransportError,  // host adapter or driver reported a failure
    TimedOut,
};

SgOutcome classify(const SgCompletion& completion);

// Whether sense data is the return of an ATA pass-through that was carried
// out: NO SENSE or RECOVERED ERROR, with ASC/ASCQ 00/1D (ATA PASS-THROUGH
// INFORMATION AVAILABLE, fixed or descriptor format) or the ATA Status Return
// descriptor (0x09). ABORTED COMMAND with registers is the drive's refusal.
bool carriesAtaReturn(std::span<const std::uint8_t> sense);

// The verdict on an ATA PASS-THROUGH: completed, and either GOOD status or
// CHECK CONDITION with the ATA return in its sense data.
bool ataPassThroughSucceeded(const SgCompletion& completion, std::span<const std::uint8_t> sense);

// Hands an ATA PASS-THROUGH's outcome to the caller: the registers when the
// sense has the descriptor, the data `received` only when it succeeded, so
// that a refused request leaves dataIn as it was. Returns the verdict.
bool completeAtaPassThrough(const SgCompletion& completion, std::span<const std::uint8_t> sense,
                            std::span<const std::uint8_t> received, TaskFile& registers,
                            std::span<std::uint8_t> dataIn);

// errno values that mean "not allowed" rather than "not there".
bool isPrivilegeError(int errorNumber);

enum class SgDirection { None, ToDevice, FromDevice };

struct SgRequest {
    std::span<const std::uint8_t> cdb;
    SgDirection direction = SgDirection::None;
    std::span<std::uint8_t> data;
    unsigned timeoutMs = 0;
};

// Issues one request. errorNumber is the ioctl's errno when it failed, else
// 0; sense receives what the device returned, senseLength how much of it.
SgCompletion sendSgIo(int fd, const SgRequest& request, std::span<std::uint8_t, kSenseBytes> sense,
                      std::size_t& senseLength, int& errorNumber);

unsigned timeoutMsFromSeconds(unsigned seconds);

}  // namespace ardenvel::linuxhost
