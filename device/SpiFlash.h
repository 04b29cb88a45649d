#pragma once
// The four operations on the bridge's SPI flash. Each is a whole device
// operation: it opens the selected device, brackets its transfers with the
// mode commands, steps through the range, counts SpiProgress and closes.

#include <cstdint>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr std::uint32_t kSpiReadStep = 512;
inline constexpr std::uint32_t kSpiProgramStep = 256;
inline constexpr std::uint32_t kSpiEraseStep = 4096;
inline constexpr std::uint32_t kProtectedLowArea = 0xC000;
// On the USB route the record read scans the slots from here to SpiSize.
inline constexpr std::uint32_t kUsbRecordScanStart = 0x78000;

bool SpiRead(DeviceState& dev, std::uint32_t start, std::uint32_t length, std::uint8_t* destination);
bool SpiWrite(DeviceState& dev, std::uint32_t start, std::uint32_t length, const std::uint8_t* source);
bool SpiErase(DeviceState& dev, std::uint32_t start, std::uint32_t length);
// The bridge's current 512-byte record.
bool ReadSpiRecord(DeviceState& dev, std::uint8_t* destination512);

}  // namespace ardenvel
