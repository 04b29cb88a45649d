#pragma once
// The vendor command channel: the one command sector, its signature and
// checksum, the reserved LBAs, the ATA form, and the frame every device
// operation runs in.

#include <cstdint>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr std::uint8_t kVuSignature0 = 0x33;  // '3'
inline constexpr std::uint8_t kVuSignature1 = 0x58;  // 'X'
inline constexpr std::size_t kSignatureAt = 258;     // in identification answers

// Command codes (byte 2).
inline constexpr std::uint8_t kVuSetReadAddress = 0x00;
inline constexpr std::uint8_t kVuErase = 0x01;
inline constexpr std::uint8_t kVuProgram = 0x02;
inline constexpr std::uint8_t kVuSpiAccess = 0x03;
inline constexpr std::uint8_t kVuProtection = 0x04;
inline constexpr std::uint8_t kVuUpdateMode = 0x10;
inline constexpr std::uint8_t kVuBuzzerAutoScan = 0x20;
inline constexpr std::uint8_t kVuScanControl = 0x24;

// Reserved LBAs.
inline constexpr std::uint32_t kCommandLba = 20;
inline constexpr std::uint32_t kRecordLba = 33;
inline constexpr std::uint32_t kIdentifyLba = 58;
inline constexpr std::uint32_t kFlashDataLba = 60;
inline constexpr std::uint32_t kRandomLbaFirst = 3;   // to 130
inline constexpr std::uint32_t kRandomLbaCount = 128;

inline constexpr std::uint8_t kAtaVendorCommand = 0x88;
inline constexpr std::uint8_t kAtaReadAddress = 0x01;  // sub-command in features

// SendVuMode codes.
inline constexpr std::uint8_t kModeSpiClose = 2;
inline constexpr std::uint8_t kModeSpiOpen = 3;
inline constexpr std::uint8_t kModeUnlock = 4;
inline constexpr std::uint8_t kModeLock = 5;
inline constexpr std::uint8_t kModeLeaveUpdate = 16;
inline constexpr std::uint8_t kModeEnterUpdate = 17;

bool hasSignature(const std::uint8_t* answer512);
// Sum of bytes 7..509 into 510-511, low byte first; the carry out of bit 15 is dropped.
void sealCommandSector(Sector& sector);

bool SendVuMode(DeviceState& dev, std::uint8_t code);

}  // namespace ardenvel
