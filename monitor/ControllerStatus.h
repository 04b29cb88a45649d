#pragma once
// The bridge's 512-byte status record and the rules that turn its fields into
// numbers and words. The first 256 bytes are the newest ConfigRecord with the
// live status filled in (see firmware/ImageLayout.h for the configuration).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ardenvel {

inline constexpr std::size_t kSectorSize = 512;
using StatusBlock = std::array<std::uint8_t, kSectorSize>;

namespace status {
inline constexpr std::size_t kRaidModeInSpi = 55;
inline constexpr std::size_t kSettingFlags = 56;
inline constexpr std::size_t kRaidModeOfSystem = 57;
inline constexpr std::size_t kP0Serial = 58;
inline constexpr std::size_t kP1Serial = 78;
inline constexpr std::size_t kSerialLength = 20;
inline constexpr std::size_t kConfiguredCapacity = 98;  // u32 sectors
inline constexpr std::size_t kPortState = 104;
inline constexpr std::size_t kActivityFlags = 105;
inline constexpr std::size_t kProgressPercent = 106;
inline constexpr std::size_t kRecordChecksum = 254;
inline constexpr std::size_t kP0Model = 256;
inline constexpr std::size_t kP0Capacity = 296;
inline constexpr std::size_t kP1Model = 302;
inline constexpr std::size_t kP1Capacity = 342;
inline constexpr std::size_t kModelLength = 40;
inline constexpr std::size_t kSataGenerations = 357;
inline constexpr std::size_t kBadSectorCount = 471;
inline constexpr std::size_t kBadSectorRing = 472;
inline constexpr std::size_t kBadSectorRingEntries = 10;
}  // namespace status

// PortState bits, P0 in the low nibble, P1 in the high one.
namespace port {
inline constexpr std::uint8_t kInserted = 0x01;
inline constexpr std::uint8_t kInitialized = 0x02;
inline constexpr std::uint8_t kAbsent = 0x04;
inline constexpr std::uint8_t kFailed = 0x08;
inline constexpr std::uint8_t bits(std::uint8_t portStateBits, int p) {
    return static_cast<std::uint8_t>(portStateBits << (4 * p));
}
}  // namespace port

// ActivityFlags bits.
namespace activity {
inline constexpr std::uint8_t kP0 = 0x01;
inline constexpr std::uint8_t kP1 = 0x02;
inline constexpr std::uint8_t kBadP0 = 0x04;
inline constexpr std::uint8_t kBadP1 = 0x08;
inline constexpr std::uint8_t kScan = 0x80;
}  // namespace activity

enum class PortCondition { Absent, Initialized, Failed, Inserted, None };
enum class VolumeState { Normal, Failure, SingleDisk };
enum class ModeSource { Jumper, Spi, Unstated };
enum class ActivityKind { None, Scan, Rebuild };

// Text stored with the two characters of every 16-bit word swapped.
std::string ataText(std::span<const std::uint8_t> block, std::size_t offset, std::size_t length);
// "Striping", "Mirror", "NRAID", "JBOD", "Bypass" or "Undefine".
const char* modeName(std::uint8_t code);
// Sectors to GB: shifted right by 21 bits.
inline std::uint32_t capacityGb(std::uint32_t sectors) {
    return sectors >> 21;
}

struct StatusView {
    std::span<const std::uint8_t, kSectorSize> b;

    explicit StatusView(std::span<const std::uint8_t, kSectorSize> block) : b(block) {}
    StatusView(const StatusBlock& block) : b(block) {}  // NOLINT: a view of the block

    std::uint8_t raidModeInSpi() const { return b[status::kRaidModeInSpi]; }
    std::uint8_t settingFlags() const { return b[status::kSettingFlags]; }
    std::uint8_t raidModeOfSystem() const { return b[status::kRaidModeOfSystem]; }
    std::uint32_t configuredCapacity() const;
    std::uint8_t portState() const { return b[status::kPortState]; }
    std::uint8_t activityFlags() const { return b[status::kActivityFlags]; }
    std::uint8_t progressPercent() const { return b[status::kProgressPercent]; }
    std::uint8_t sataGenerations() const { return b[status::kSataGenerations]; }
    std::uint8_t badSectorCount() const { return b[status::kBadSectorCount]; }

    std::string serial(int port) const;  // 20 characters, untrimmed
    std::string model(int port) const;   // 40 characters, untrimmed
    std::uint32_t portCapacity(int port) const;
    unsigned sataGeneration(int port) const;
    // Bad sector number n (from 0) of the ring.
    std::uint32_t badSectorLba(unsigned n) const;

    ModeSource modeSource() const;
    bool buzzerSounding() const { return (settingFlags() & 0x01) != 0; }
    bool autoScanOn() const { return (settingFlags() & 0x02) != 0; }

    // Absent, initialized, failed, inserted: the first bit set decides.
    PortCondition portCondition(int port) const;
    VolumeState volumeState() const;
    bool activityRunning() const { return (activityFlags() & (activity::kP0 | activity::kP1)) != 0; }
    // The port the running activity concerns, P0 tested first; -1 when idle.
    int activityPort() const;
    // Bit 0x80 counts only on a scan-capable enclosure.
    ActivityKind activityKind(bool scanCapable) const;
};

// Identity fields from a probe answer in the IDENTIFY DEVICE layout.
std::string firmwareRevisionText(std::span<const std::uint8_t, kSectorSize> identify);
std::string modelText(std::span<const std::uint8_t, kSectorSize> identify);
// A six-digit date of 090619 or later followed by ".".
bool scanCapable(const std::string& firmwareRevision);

// Four copies, one per device slot; overwritten only by that slot's query.
using StatusBuffers = std::array<StatusBlock, 4>;

}  // namespace ardenvel
