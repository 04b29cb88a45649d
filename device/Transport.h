#pragma once
// The pass-through transport: single SCSI and ATA requests to one disk. Every
// request answers only whether the host completed it.

#include <cstdint>
#include <span>
#include <stop_token>

#include "device/DeviceState.h"

namespace ardenvel {

// A code of 0x42 or less is a physical drive number, above it a letter. The
// handle lands in the current-device slot as well.
DriveHandle OpenDrive(DeviceState& dev, std::uint8_t code);
void CloseDrive(DeviceState& dev);

bool ReadSectors(DeviceState& dev, DriveHandle h, std::uint32_t lba, std::uint8_t* buffer,
                 std::uint8_t count);
bool WriteSectors(DeviceState& dev, DriveHandle h, std::uint32_t lba, const std::uint8_t* buffer,
                  std::uint8_t count);
bool InquiryDevice(DeviceState& dev, DriveHandle h, std::uint8_t* buffer36);

struct BridgeQueryRow {
    std::uint8_t opcode;
    std::uint8_t answerBytes;
};
inline constexpr BridgeQueryRow kBridgeQueries[9] = {
    {0x5A, 8}, {0x23, 8}, {0x10, 8}, {0x78, 20}, {0x52, 8}, {0x5C, 8}, {0xFE, 8}, {0x30, 8}, {0x32, 8},
};
// Sends row `row` on the current handle; the answer lands in BridgeBuffer.
bool BridgeQuery(DeviceState& dev, unsigned row);

enum class BridgeKind { ReadPage, WritePage, EraseSector, ScanRead, SignatureRead };
struct BridgeKindRow {
    std::uint8_t opcode;
    DataDirection direction;
    std::uint16_t bytes;
    std::uint8_t flag;
};
BridgeKindRow bridgeKindRow(BridgeKind kind);
// The CDB a bridge transfer sends with the given CdbShift.
std::array<std::uint8_t, 10> bridgeTransferCdb(BridgeKind kind, std::uint32_t address, std::uint8_t cdbShift);
bool BridgeTransfer(DeviceState& dev, BridgeKind kind, std::uint8_t* buffer, std::uint32_t address);

inline constexpr std::uint8_t kAtaIdentify = 0xEC;
// Registers are copied back whatever the result; data only on success. A
// stop request cuts the pause before IDENTIFY short and sends nothing.
bool AtaCommand(DeviceState& dev, DriveHandle h, TaskFile& registers, std::uint8_t* buffer, unsigned count,
                std::stop_token stop = {});

}  // namespace ardenvel
