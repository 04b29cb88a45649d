// The ring invariant over the shapes a ring takes: the ones faults may leave
// and the ones that let a stale or torn record be booted.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "device/ByteOrder.h"
#include "firmware/RecordRing.h"

namespace ardenvel::test {
namespace {

constexpr std::uint32_t kBase = image::kRecordArea4Mbit;
constexpr std::uint32_t kSlot = image::kCodeSlotSize;

struct Ring {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(image::kRecordAreaSize, 0xFF);

    std::span<std::uint8_t> at(unsigned slot) {
        return std::span(bytes).subspan(slot * image::kRecordSize, image::kRecordSize);
    }
    // A whole record naming 0x31 in slot 1, 0x32 in slot 2, the free slot 3.
    Ring& put(unsigned slot, std::uint8_t sequence) {
        auto r = at(slot);
        std::fill(r.begin(), r.end(), 0x00);
        r[image::record::kSequenceNumber] = sequence;
        r[image::record::kConfigVersion] = image::kConfigVersion;
        for (std::size_t k = 0; k < image::record::kCodeEntries; ++k)
            r[image::codeEntryOffset(k)] = image::kEmptyCodeType;
        r[image::codeEntryOffset(0)] = 0x31;
        writeLe24(r, image::codeEntryOffset(0) + 1, kSlot);
        r[image::codeEntryOffset(1)] = 0x32;
        writeLe24(r, image::codeEntryOffset(1) + 1, 2 * kSlot);
        writeLe24(r, image::record::kFreeSlotAddress, 3 * kSlot);
        writeLe16(r, image::record::kChecksum, image::recordChecksum(r));
        return *this;
    }
    Ring& run(unsigned first, unsigned last) {
        for (unsigned s = first; s <= last; ++s) put(s, static_cast<std::uint8_t>(s));
        return *this;
    }
    // Programmed (its first `keep` bytes) with its first byte left erased: not yet used.
    Ring& unmarked(unsigned slot, std::size_t keep = image::kRecordSize) {
        torn(slot, keep);
        at(slot)[0] = 0xFF;
        return *this;
    }
    // Only the first `keep` bytes landed.
    Ring& torn(unsigned slot, std::size_t keep) {
        put(slot, static_cast<std::uint8_t>(slot));
        std::fill(at(slot).begin() + keep, at(slot).end(), 0xFF);
        return *this;
    }
    Ring& erase(unsigned sector) {
        std::fill_n(bytes.begin() + sector * image::kFlashSectorSize, image::kFlashSectorSize, 0xFF);
        return *this;
    }
    template <class F>
    Ring& edit(unsigned slot, F f) {
        f(at(slot));
        writeLe16(at(slot), image::record::kChecksum, image::recordChecksum(at(slot)));
        return *this;
    }
};

TEST(RecordRing, InvariantHoldsForWhatFaultsLeaveAndFailsForWhatBootsStaleOrTorn) {
    struct Case {
        const char* name;
        Ring ring;
        const char* fault;  // a piece of the reason, or nullptr when it holds
        ring::CodeCheck codes = {};
    };
    const std::vector<Case> cases = {
        {"fresh flash", Ring().put(0, 0), nullptr},
        {"run inside its sector", Ring().run(16, 20), nullptr},
        {"the erase behind a sector's first record still to come", Ring().run(0, 16), nullptr},
        {"the erase behind it cut part-way", Ring().run(7, 16).edit(7, [](auto r) { r[0] = 0x3F; }), nullptr},
        {"across the wrap, the last sector not yet erased", Ring().run(112, 127).put(0, 0), nullptr},
        {"an append cut before its first byte", Ring().run(16, 20).unmarked(21), nullptr},
        {"an append torn before its first byte", Ring().run(16, 20).unmarked(21, 90), nullptr},
        {"a repair's append under way", Ring().run(16, 20).unmarked(21).put(22, 22), nullptr},
        {"a repair's append into the next sector", Ring().run(16, 30).unmarked(31).put(32, 32), nullptr},

        {"empty", Ring(), "no record"},
        {"the sector behind left unerased", Ring().run(0, 20), "reaches back to slot 15"},
        {"a stale sector first in the ring", Ring().run(0, 15).run(32, 40), "stale record in slot 32"},
        {"a stray after a gap", Ring().run(16, 20).put(23, 23), "stale record in slot 23"},
        {"torn newest", Ring().run(16, 20).torn(21, 60), "is torn: checksum"},
        {"newest out of turn", Ring().run(16, 19).put(20, 22), "is torn: sequence 22 in slot 20"},
        {"an append under way ending in a torn record", Ring().run(16, 20).unmarked(21).torn(22, 100),
         "ends in a torn record"},
        {"free slot holding named code",
         Ring().put(0, 0).edit(0, [](auto r) { writeLe24(r, image::record::kFreeSlotAddress, 2 * kSlot); }),
         "overlaps code type 0x32"},
        {"free slot in the ring",
         Ring().put(0, 0).edit(0, [](auto r) { writeLe24(r, image::record::kFreeSlotAddress, kBase); }),
         "is no code slot"},
        {"named code not whole", Ring().put(0, 0), "code type 0x32 at 0x18000 is not whole",
         [](std::uint8_t type, std::uint32_t) { return type != 0x32; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fault = ring::ringFault(c.ring.bytes, kBase, c.codes);
        if (c.fault == nullptr)
            EXPECT_EQ(fault, "");
        else
            EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
    }
}

}  // namespace
}  // namespace ardenvel::test
