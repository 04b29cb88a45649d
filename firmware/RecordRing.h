#pragma once
// The bridge's record ring: 128 slots of 256 bytes at the top of the flash,
// in eight 4 KB erase sectors. A record's sequence number is its slot. The
// bridge boots the record its record read finds, the last used slot of the
// first run of used slots (a slot is used when its first byte is not 0xFF);
// it looks at nothing else, neither the sequence nor the checksum.
//
// That rule is safe only while the ring keeps one invariant, which the
// upgrade keeps and its tests, the fuzz target and the emulated bridge check:
// - the newest record is whole (in its own slot, of this layout, its checksum
//   right) and names whole codes, none of which its free slot overlaps;
// - the run that ends in it lies in its own sector; it reaches into the
//   sector before only while the newest opens its sector, as the erase of
//   the sector behind is then still to come (or half done);
// - after it, up to the first slot of the next sector, at most an append is
//   under way: slots programmed but not yet marked used, then marked ones
//   that end in a whole record;
// - no other slot is used.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/ImageLayout.h"

namespace ardenvel::ring {

inline constexpr unsigned kSlots = image::kRecordSlots;
inline constexpr unsigned kSlotsPerSector = image::kFlashSectorSize / image::kRecordSize;
inline constexpr unsigned kSectors = kSlots / kSlotsPerSector;

// The ring's bytes, image::kRecordAreaSize of them.
using Bytes = std::span<const std::uint8_t>;

constexpr unsigned nextSlot(unsigned slot) {
    return (slot + 1) % kSlots;
}
constexpr unsigned previousSlot(unsigned slot) {
    return (slot + kSlots - 1) % kSlots;
}
constexpr unsigned sectorOf(unsigned slot) {
    return slot / kSlotsPerSector;
}
constexpr unsigned firstSlotOf(unsigned sector) {
    return (sector % kSectors) * kSlotsPerSector;
}
constexpr bool opensSector(unsigned slot) {
    return slot % kSlotsPerSector == 0;
}

std::span<const std::uint8_t> slotBytes(Bytes ring, unsigned slot);
bool isUsed(Bytes ring, unsigned slot);
bool isBlank(Bytes ring, unsigned slot);
bool isSectorBlank(Bytes ring, unsigned sector);

// The slot the bridge boots from; nothing when no slot is used.
std::optional<unsigned> newestSlot(Bytes ring);

// Why the record in `slot` could not stand as the newest; empty when whole.
std::string recordFlaw(Bytes ring, unsigned slot);
// Whether a record's bytes are as written: its layout and checksum right,
// whatever slot it stands in.
bool contentWhole(std::span<const std::uint8_t> record);

// A code a record names.
struct NamedCode {
    std::uint8_t type = 0;
    std::uint32_t address = 0;
};
std::vector<NamedCode> namedCodes(std::span<const std::uint8_t> record);
// The first code `record` names that overlaps [address, address + length).
std::optional<NamedCode> codeOverlapping(std::span<const std::uint8_t> record, std::uint32_t address,
                                         std::uint32_t length);

// Whether the code of `type` at `address` is whole, for a check that knows
// what the codes hold.
using CodeCheck = std::function<bool(std::uint8_t type, std::uint32_t address)>;

// What breaks the invariant, empty when it holds. The record base bounds the
// free slot; `codes`, when given, judges each code the newest record names.
std::string ringFault(Bytes ring, std::uint32_t recordBase, const CodeCheck& codes = {});

}  // namespace ardenvel::ring
