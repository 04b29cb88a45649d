#include "firmware/RecordRing.h"

#include <algorithm>
#include <cstdio>

#include "device/ByteOrder.h"

namespace ardenvel::ring {
namespace {

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
}

std::string slotText(Bytes ring, unsigned slot) {
    return "slot " + std::to_string(slot) + " (sequence " + std::to_string(slotBytes(ring, slot)[0]) + ")";
}

}  // namespace

std::span<const std::uint8_t> slotBytes(Bytes ring, unsigned slot) {
    return ring.subspan(std::size_t{slot % kSlots} * image::kRecordSize, image::kRecordSize);
}

bool isUsed(Bytes ring, unsigned slot) {
    return slotBytes(ring, slot)[0] != 0xFF;
}

bool isBlank(Bytes ring, unsigned slot) {
    const auto s = slotBytes(ring, slot);
    return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0xFF; });
}

bool isSectorBlank(Bytes ring, unsigned sector) {
    for (unsigned s = firstSlotOf(sector); s < firstSlotOf(sector) + kSlotsPerSector; ++s)
        if (!isBlank(ring, s)) return false;
    return true;
}

std::optional<unsigned> newestSlot(Bytes ring) {
    unsigned slot = 0;
    while (slot < kSlots && !isUsed(ring, slot)) ++slot;
    if (slot == kSlots) return std::nullopt;
    while (slot + 1 < kSlots && isUsed(ring, slot + 1)) ++slot;
    return slot;
}

std::string recordFlaw(Bytes ring, unsigned slot) {
    const auto r = slotBytes(ring, slot);
    if (r[image::record::kSequenceNumber] != slot)
        return "sequence " + std::to_string(r[image::record::kSequenceNumber]) + " in slot " +
               std::to_string(slot);
    if (r[image::record::kConfigVersion] != image::kConfigVersion)
        return "layout version " + hex(r[image::record::kConfigVersion]);
    if (!contentWhole(r)) return "checksum does not match";
    return {};
}

bool contentWhole(std::span<const std::uint8_t> record) {
    return record[image::record::kConfigVersion] == image::kConfigVersion &&
           readLe16(record, image::record::kChecksum) == image::recordChecksum(record);
}

std::vector<NamedCode> namedCodes(std::span<const std::uint8_t> record) {
    std::vector<NamedCode> out;
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
        const std::size_t at = image::codeEntryOffset(k);
        if (record[at + image::entry::kCodeType] == image::kEmptyCodeType) continue;
        out.push_back(
            {record[at + image::entry::kCodeType], readLe24(record, at + image::entry::kSlotAddress)});
    }
    return out;
}

std::optional<NamedCode> codeOverlapping(std::span<const std::uint8_t> record, std::uint32_t address,
                                         std::uint32_t length) {
    for (const NamedCode& c : namedCodes(record))
        if (std::uint64_t{c.address} + image::kCodeSlotSize > address &&
            c.address < std::uint64_t{address} + length)
            return c;
    return std::nullopt;
}

std::string ringFault(Bytes ring, std::uint32_t recordBase, const CodeCheck& codes) {
    const std::optional<unsigned> newest = newestSlot(ring);
    if (!newest) return "no record in the ring";
    const unsigned n = *newest;
    if (const std::string flaw = recordFlaw(ring, n); !flaw.empty())
        return "the newest record, in slot " + std::to_string(n) + ", is torn: " + flaw;

    // The next upgrade erases and programs the free slot.
    const auto rec = slotBytes(ring, n);
    const std::uint32_t freeSlot = readLe24(rec, image::record::kFreeSlotAddress);
    if (freeSlot == 0 || freeSlot % image::kCodeSlotSize != 0 ||
        std::uint64_t{freeSlot} + image::kCodeSlotSize > recordBase)
        return "the newest record's free slot " + hex(freeSlot) + " is no code slot";
    if (const auto c = codeOverlapping(rec, freeSlot, image::kCodeSlotSize))
        return "the newest record's free slot " + hex(freeSlot) + " overlaps code type " + hex(c->type) +
               " at " + hex(c->address);
    if (codes)
        for (const NamedCode& c : namedCodes(rec))
            if (!codes(c.type, c.address))
                return "code type " + hex(c.type) + " at " + hex(c.address) + " is not whole";

    std::vector<bool> accounted(kSlots, false);
    const unsigned sector = sectorOf(n);
    const unsigned behind = (sector + kSectors - 1) % kSectors;
    // The run back from the newest. Only its end is booted, so what the
    // records before it hold does not matter; where they lie does.
    for (unsigned s = n, steps = 0;; s = previousSlot(s)) {
        accounted[s] = true;
        if (sectorOf(s) != sector && (!opensSector(n) || sectorOf(s) != behind)) {
            return "the run of the newest record, in slot " + std::to_string(n) + ", reaches back to " +
                   slotText(ring, s);
        }
        if (!isUsed(ring, previousSlot(s)) || ++steps == kSlots - 1) break;
    }

    // An append under way: programmed slots not yet marked used, then marked
    // ones ending in a whole record, up to the first slot of the next sector.
    std::vector<unsigned> after;
    for (unsigned t = nextSlot(n); sectorOf(t) == sector && t != n; t = nextSlot(t)) after.push_back(t);
    after.push_back(firstSlotOf(sector + 1));
    std::size_t i = 0;
    while (i < after.size() && !isUsed(ring, after[i]) && !isBlank(ring, after[i])) ++i;
    std::optional<unsigned> lastMarked;
    for (; i < after.size() && isUsed(ring, after[i]); ++i) {
        const unsigned t = after[i];
        if (slotBytes(ring, t)[image::record::kSequenceNumber] != t)
            return slotText(ring, t) + " is out of turn";
        accounted[t] = true;
        lastMarked = t;
    }
    if (lastMarked)
        if (const std::string flaw = recordFlaw(ring, *lastMarked); !flaw.empty())
            return "the append after the newest record ends in a torn record: " + flaw;

    for (unsigned t = 0; t < kSlots; ++t)
        if (isUsed(ring, t) && !accounted[t])
            return "stale record in " + slotText(ring, t) + " beside the newest, in slot " +
                   std::to_string(n);
    return {};
}

}  // namespace ardenvel::ring
