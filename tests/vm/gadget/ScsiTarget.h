#pragma once
// The SCSI side of an emulated USB bridge, as usb-storage reaches it through
// Bulk-Only Transport. READ(10), WRITE(10), INQUIRY, the vendor CDBs and ATA
// PASS-THROUGH go to the emulated bridge behind a Host; the kernel's own
// probing (TEST UNIT READY, READ CAPACITY, MODE SENSE, REQUEST SENSE and the
// like) is answered here. A refusal is CHECK CONDITION with sense data, kept
// for the REQUEST SENSE that usb-storage sends after it.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/Host.h"

namespace ardenvel::vmgadget {

inline constexpr std::uint8_t kSenseNoSense = 0x00;
inline constexpr std::uint8_t kSenseRecoveredError = 0x01;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x05;
inline constexpr std::uint8_t kSenseAbortedCommand = 0x0B;

struct ScsiResult {
    bool good = true;                // GOOD status, else CHECK CONDITION
    std::vector<std::uint8_t> data;  // to the host; it may be shorter than asked
};

class ScsiTarget {
public:
    // `bridge` serves `handle`; `sectors` is the volume's size; `carriesAta`
    // says whether the bridge takes ATA PASS-THROUGH at all (a bridge that
    // does not refuses the opcode).
    ScsiTarget(Host& bridge, DriveHandle handle, std::uint64_t sectors, bool carriesAta);

    // One command. `length` is what the host's wrapper announced, `dataOut`
    // the bytes it sent for a command to the device.
    ScsiResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length,
                       std::span<const std::uint8_t> dataOut);

    // The sense data a REQUEST SENSE would now return (empty: none pending).
    const std::vector<std::uint8_t>& pendingSense() const { return sense_; }

private:
    ScsiResult toBridge(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length,
                        std::span<const std::uint8_t> dataOut);
    ScsiResult ataPassThrough(std::span<const std::uint8_t> cdb, bool dataIn, std::uint32_t length);
    ScsiResult inquiry(std::span<const std::uint8_t> cdb);
    ScsiResult requestSense(std::span<const std::uint8_t> cdb);
    ScsiResult check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

    Host& bridge_;
    DriveHandle handle_;
    std::uint64_t sectors_;
    bool carriesAta_;
    std::vector<std::uint8_t> sense_;
};

// Descriptor-format sense carrying the ATA Status Return descriptor of a
// 28-bit task file (error in `features`, status in `command`).
std::vector<std::uint8_t> ataReturnSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                         const TaskFile& returned);

// A 28-bit task file from ATA PASS-THROUGH(16) (0x85) or (12) (0xA1), with
// its protocol field; false for another opcode or a short CDB.
bool decodeAtaPassThrough(std::span<const std::uint8_t> cdb, TaskFile& registers, std::uint8_t& protocol);

}  // namespace ardenvel::vmgadget
