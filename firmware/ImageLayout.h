#pragma once
// The flash layout that firmware images mirror byte for byte, and the
// bridge's 256-byte configuration record. One definition for the loader, the
// upgrade, the image generator and the emulated bridge.

#include <cstddef>
#include <cstdint>
#include <span>

namespace ardenvel::image {

inline constexpr std::uint8_t kImageSignature[4] = {'F', 'I', 'P', 'S'};
inline constexpr std::size_t kSignatureOffset = 0;
inline constexpr std::size_t kRecordAreaAddressOffset = 16;  // 24-bit LE
inline constexpr std::uint32_t kBootAreaEnd = 0xC000;        // protected low area
inline constexpr std::uint32_t kCodeSlotSize = 0xC000;
inline constexpr std::uint32_t kRecordAreaSize = 0x8000;
inline constexpr std::uint32_t kRecordSize = 256;
inline constexpr std::uint32_t kRecordSlots = 128;
inline constexpr std::uint32_t kFlashSectorSize = 0x1000;
inline constexpr std::uint32_t kPageSize = 256;
inline constexpr std::uint32_t kFlashSize4Mbit = 0x80000;
inline constexpr std::uint32_t kRecordArea4Mbit = kFlashSize4Mbit - kRecordAreaSize;  // 0x78000
// The loader checks ConfigVersion of a 4 Mbit image at this offset.
inline constexpr std::size_t kConfigVersionCheckOffset = kRecordArea4Mbit + 1;  // 0x78001

inline constexpr std::uint8_t kExemptCodeType = 0x35;
inline constexpr std::uint8_t kEmptyCodeType = 0xFF;
inline constexpr std::uint8_t kUpdateMark = 0x5A;
inline constexpr std::uint8_t kConfigVersion = 0xA0;
inline constexpr std::uint8_t kBrandSignature[6] = {'K', 'O', 'R', 'V', 'A', 'N'};

// ConfigRecord offsets.
namespace record {
inline constexpr std::size_t kSequenceNumber = 0;
inline constexpr std::size_t kConfigVersion = 1;
inline constexpr std::size_t kCodeTable = 2;
inline constexpr std::size_t kCodeEntries = 10;
inline constexpr std::size_t kCodeEntrySize = 5;
inline constexpr std::size_t kFreeSlotAddress = 52;  // 24-bit LE
inline constexpr std::size_t kRaidModeInSpi = 55;
inline constexpr std::size_t kSettingFlags = 56;
inline constexpr std::size_t kRaidModeOfSystem = 57;
inline constexpr std::size_t kChipOption = 107;
inline constexpr std::size_t kSensorSupport = 108;
inline constexpr std::size_t kFanAlarmLimit = 109;  // 16-bit LE
inline constexpr std::size_t kThermalAlarmLimit = 111;
inline constexpr std::size_t kFeatureFlags = 113;
inline constexpr std::size_t kBrandSignature = 114;
inline constexpr std::size_t kTemplateBlock = 149;
inline constexpr std::size_t kTemplateBlockSize = 37;  // 149..185
inline constexpr std::size_t kChecksum = 254;          // 16-bit LE sum of 0..253
}  // namespace record

// CodeEntry offsets, relative to the entry.
namespace entry {
inline constexpr std::size_t kCodeType = 0;
inline constexpr std::size_t kSlotAddress = 1;  // 24-bit LE
inline constexpr std::size_t kUpdateMark = 4;
}  // namespace entry

inline constexpr std::size_t codeEntryOffset(std::size_t k) {
    return record::kCodeTable + record::kCodeEntrySize * k;
}

// 16-bit sum of bytes 0..253 of a record.
inline std::uint16_t recordChecksum(std::span<const std::uint8_t> rec) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < record::kChecksum; ++i) sum += rec[i];
    return static_cast<std::uint16_t>(sum);
}

}  // namespace ardenvel::image
