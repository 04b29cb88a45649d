#pragma once
// The pass-through transport: single SCSI and ATA requests to one disk. Every
// request answers only whether the host completed it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2A;
inline constexpr std::uint8_t kInquiryOpcode = 0x12;
inline constexpr std::uint8_t kVendorOpcode = 0xFE;
inline constexpr std::size_t kInquiryBytes = 36;
inline constexpr unsigned kRequestTimeoutSeconds = 2;
inline constexpr unsigned kInquiryTimeoutSeconds = 200;

// The CDBs the requests below send.
std::array<std::uint8_t, 10> sectorCdb(std::uint8_t opcode, std::uint32_t lba, std::uint8_t count);
std::array<std::uint8_t, 10> inquiryCdb();

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
// The CDB of query row `row` (which must exist) with the given CdbShift.
std::array<std::uint8_t, 10> bridgeQueryCdb(unsigned row, std::uint8_t cdbShift);
// Sends row `row` on the current handle; the answer lands in BridgeBuffer.
bool BridgeQuery(DeviceState& dev, unsigned row);

enum class BridgeKind { ReadPage, WritePage, EraseSector, ScanRead, SignatureRead };
inline constexpr BridgeKind kBridgeKinds[] = {BridgeKind::ReadPage, BridgeKind::WritePage,
                                              BridgeKind::EraseSector, BridgeKind::ScanRead,
                                              BridgeKind::SignatureRead};
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
// IDENTIFY DEVICE as discovery sends it: LBA mode, device 0.
inline constexpr TaskFile kIdentifyRegisters{.device = 0xE0, .command = kAtaIdentify};
// Registers are copied back whatever the result; data only on success. A
// returned status with ERR or DF is a failure. A stop request cuts the pause
// before IDENTIFY short and sends nothing.
bool AtaCommand(DeviceState& dev, DriveHandle h, TaskFile& registers, std::uint8_t* buffer, unsigned count,
                std::stop_token stop = {});

}  // namespace ardenvel
