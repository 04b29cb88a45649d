#pragma once
// The upgrade's hand on the record ring of the selected enclosure. It reads
// the ring until two reads agree, brings it back to a shape the ring's
// invariant allows before anything else is written, and appends records so
// that the bridge never finds a torn one: a record's bytes are programmed and
// read back with its first byte left erased, and only then is that byte,
// which makes the slot count as used, programmed. Every erase is read back
// as blank and tried again before it is given up.
//
// Reads start half a slot off the slots' own addresses: a USB bridge answers
// a read that starts at its newest slot with the live record instead.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/DeviceState.h"
#include "firmware/ImageLayout.h"

namespace ardenvel {

using RingRecord = std::array<std::uint8_t, image::kRecordSize>;

class RingWriter {
public:
    RingWriter(DeviceState& dev, std::uint32_t recordBase);

    // Reads the whole ring; false when no two reads in a row agreed.
    bool load();
    std::span<const std::uint8_t> bytes() const { return ring_; }
    std::optional<unsigned> newest() const;
    std::span<const std::uint8_t> record(unsigned slot) const;

    // Makes the ring one the appends can extend: a torn newest record is
    // covered by the last whole one, an append left half done is passed
    // over, and every sector but the newest record's is erased. `done` says
    // what changed, empty when nothing did; false with `failure` when the
    // ring cannot be brought back, after which nothing more may be written.
    bool repair(std::string& done, std::string& failure);

    enum class Append {
        Written,       // the record is the newest
        ErasePending,  // it is the newest, but the sector behind it would not erase
        NotWritten,    // it is not known to be in the flash
    };
    // Appends `record` after the newest; its sequence and checksum are set here.
    Append append(RingRecord record);

private:
    std::uint32_t slotAddress(unsigned slot) const;
    bool readSlot(unsigned slot, RingRecord& out);
    // Programs `page` into the slot until a read shows `landed`; programming
    // the same bits again changes nothing, so a lost answer costs only time.
    template <class Landed>
    bool programUntil(unsigned slot, const RingRecord& page, Landed landed);
    bool writeWhole(unsigned slot, RingRecord record);
    bool markUsed(unsigned slot);
    bool eraseSector(unsigned sector);

    DeviceState& dev_;
    std::uint32_t base_;
    std::vector<std::uint8_t> ring_;
    std::optional<unsigned> newest_;
};

}  // namespace ardenvel
