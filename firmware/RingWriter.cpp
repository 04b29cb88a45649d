#include "firmware/RingWriter.h"

#include <algorithm>

#include "device/ByteOrder.h"
#include "device/SpiFlash.h"
#include "firmware/RecordRing.h"

namespace ardenvel {
namespace {

constexpr unsigned kTries = 3;
// Reads start this far before the slot they are for.
constexpr std::uint32_t kReadLead = image::kRecordSize / 2;

RingRecord erased() {
    RingRecord r;
    r.fill(0xFF);
    return r;
}

std::string count(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

RingWriter::RingWriter(DeviceState& dev, std::uint32_t recordBase)
    : dev_(dev), base_(recordBase), ring_(image::kRecordAreaSize, 0xFF) {}

std::uint32_t RingWriter::slotAddress(unsigned slot) const {
    return base_ + slot * image::kRecordSize;
}

std::optional<unsigned> RingWriter::newest() const {
    return newest_;
}

std::span<const std::uint8_t> RingWriter::record(unsigned slot) const {
    return ring::slotBytes(ring_, slot);
}

bool RingWriter::load() {
    // Two reads in a row that agree, so that one bad answer is not taken for the ring.
    const std::uint32_t length = image::kRecordAreaSize + kSpiReadStep;
    std::vector<std::uint8_t> a(length), b(length);
    bool haveA = SpiRead(dev_, base_ - kReadLead, length, a.data());
    for (unsigned i = 0; i < kTries; ++i) {
        const bool haveB = SpiRead(dev_, base_ - kReadLead, length, b.data());
        if (haveA && haveB && a == b) {
            std::copy_n(a.begin() + kReadLead, image::kRecordAreaSize, ring_.begin());
            newest_ = ring::newestSlot(ring_);
            return true;
        }
        std::swap(a, b);
        haveA = haveB;
    }
    return false;
}

bool RingWriter::readSlot(unsigned slot, RingRecord& out) {
    std::array<std::uint8_t, kSpiReadStep> buffer{};
    if (!SpiRead(dev_, slotAddress(slot) - kReadLead, kSpiReadStep, buffer.data())) return false;
    std::copy_n(buffer.begin() + kReadLead, image::kRecordSize, out.begin());
    return true;
}

template <class Landed>
bool RingWriter::programUntil(unsigned slot, const RingRecord& page, Landed landed) {
    for (unsigned i = 0; i < kTries; ++i) {
        // Its own result says little: the read decides.
        SpiWrite(dev_, slotAddress(slot), image::kRecordSize, page.data());
        RingRecord back{};
        if (readSlot(slot, back) && landed(back)) {
            std::copy(back.begin(), back.end(), ring_.begin() + slot * image::kRecordSize);
            newest_ = ring::newestSlot(ring_);
            return true;
        }
    }
    return false;
}

bool RingWriter::writeWhole(unsigned slot, RingRecord record) {
    record[image::record::kSequenceNumber] = static_cast<std::uint8_t>(slot);
    writeLe16(record, image::record::kChecksum, image::recordChecksum(record));
    // Everything but the first byte, which alone makes the slot count as
    // used: until it is programmed, no cut leaves a torn record to boot.
    RingRecord body = record;
    body[image::record::kSequenceNumber] = 0xFF;
    RingRecord mark = erased();
    mark[image::record::kSequenceNumber] = record[image::record::kSequenceNumber];
    return programUntil(slot, body, [&](const RingRecord& got) { return got == body; }) &&
           programUntil(slot, mark, [&](const RingRecord& got) { return got == record; });
}

bool RingWriter::markUsed(unsigned slot) {
    RingRecord mark = erased();
    mark[image::record::kSequenceNumber] = static_cast<std::uint8_t>(slot);
    return programUntil(slot, mark, [&](const RingRecord& got) {
        return got[image::record::kSequenceNumber] == static_cast<std::uint8_t>(slot);
    });
}

bool RingWriter::eraseSector(unsigned sector) {
    const std::uint32_t at = base_ + sector * image::kFlashSectorSize;
    std::vector<std::uint8_t> back(image::kFlashSectorSize + kSpiReadStep);
    for (unsigned i = 0; i < kTries; ++i) {
        SpiErase(dev_, at, image::kFlashSectorSize);
        if (SpiRead(dev_, at - kReadLead, static_cast<std::uint32_t>(back.size()), back.data()) &&
            std::all_of(back.begin() + kReadLead, back.begin() + kReadLead + image::kFlashSectorSize,
                        [](std::uint8_t b) { return b == 0xFF; })) {
            std::fill_n(ring_.begin() + sector * image::kFlashSectorSize, image::kFlashSectorSize, 0xFF);
            newest_ = ring::newestSlot(ring_);
            return true;
        }
    }
    return false;
}

bool RingWriter::repair(std::string& done, std::string& failure) {
    done.clear();
    failure.clear();
    if (!newest_) {
        failure = "SPI record area repair failed: there is no record in it.";
        return false;
    }
    const unsigned n = *newest_;
    const unsigned sector = ring::sectorOf(n);
    std::vector<std::string> changes;

    // What the bridge is to boot: its newest record, or when that is torn the
    // last whole record of the run before it. A newest record out of turn is
    // written again in turn.
    const bool newestWhole = ring::recordFlaw(ring_, n).empty();
    std::optional<unsigned> source;
    for (unsigned s = n, k = 0; k < ring::kSlots && ring::isUsed(ring_, s); s = ring::previousSlot(s), ++k)
        if (ring::contentWhole(record(s))) {
            source = s;
            break;
        }
    if (!source) {
        failure = "SPI record area repair failed: the newest record is torn and no whole record precedes it.";
        return false;
    }
    if (*source != n)
        changes.push_back("the torn record in slot " + std::to_string(n) +
                          " is followed by the record of slot " + std::to_string(*source));
    else if (!newestWhole)
        changes.push_back("the record in slot " + std::to_string(n) +
                          ", out of turn, is written again in turn");
    RingRecord copy{};
    std::copy_n(record(*source).begin(), image::kRecordSize, copy.begin());

    // After the newest, up to the first slot of the next sector: an append
    // left half done ends in a whole record, or a new one goes after it.
    std::optional<unsigned> last;
    for (unsigned t = ring::nextSlot(n); ring::sectorOf(t) == sector && t != n; t = ring::nextSlot(t))
        if (!ring::isBlank(ring_, t)) last = t;
    const unsigned nextFirst = ring::firstSlotOf(sector + 1);
    const auto whole = [&](unsigned s) {
        return ring::isUsed(ring_, s) && ring::recordFlaw(ring_, s).empty();
    };
    std::optional<unsigned> target;
    bool fresh = false;
    if (last) {
        if (ring::nextSlot(*last) == nextFirst && whole(nextFirst))
            target = nextFirst;
        else if (whole(*last))
            target = *last;
        else
            target = ring::nextSlot(*last), fresh = true;
    } else if (!newestWhole) {
        target = ring::nextSlot(n), fresh = true;
    }

    if (target) {
        const unsigned j = *target;
        const unsigned targetSector = ring::sectorOf(j);
        if (fresh) {
            if (targetSector != sector && !ring::isSectorBlank(ring_, targetSector) &&
                !eraseSector(targetSector)) {
                failure = "SPI record area repair failed: a sector would not erase.";
                return false;
            }
            if (!writeWhole(j, copy)) {
                failure = "SPI record area repair failed: a record would not write.";
                return false;
            }
        }
        // Joined to the run from the top down, so that only a whole record is
        // ever the newest. Past the ring's end the new record is first in the
        // read's order and the newest at once; the old run goes with its sector.
        std::size_t passed = 0;
        if (j != 0)
            for (unsigned g = ring::previousSlot(j); g != n; g = ring::previousSlot(g)) {
                if (ring::isUsed(ring_, g)) continue;
                const bool ok = ring::isBlank(ring_, g) ? writeWhole(g, copy) : markUsed(g);
                if (!ok) {
                    failure = "SPI record area repair failed: a record would not write.";
                    return false;
                }
                ++passed;
            }
        if (passed != 0)
            changes.push_back(count(passed, "unfinished record slot", "unfinished record slots") +
                              " after slot " + std::to_string(n) + " passed over");
    }

    // Then every sector but the newest record's: what is left there is older
    // than the run, or was never finished.
    const unsigned keep = ring::sectorOf(newest_.value_or(n));
    std::size_t erasedSectors = 0;
    for (unsigned s = 0; s < ring::kSectors; ++s) {
        if (s == keep || ring::isSectorBlank(ring_, s)) continue;
        if (!eraseSector(s)) {
            failure = "SPI record area repair failed: a sector would not erase.";
            return false;
        }
        ++erasedSectors;
    }
    if (erasedSectors != 0)
        changes.push_back(count(erasedSectors, "sector", "sectors") + " of older records erased");

    for (std::size_t i = 0; i < changes.size(); ++i) done += (i == 0 ? "" : "; ") + changes[i];
    if (!done.empty()) done = "SPI record area repaired: " + done;
    return true;
}

RingWriter::Append RingWriter::append(RingRecord record) {
    const unsigned slot = newest_ ? ring::nextSlot(*newest_) : 0;
    if (!writeWhole(slot, record)) return Append::NotWritten;
    // Written first, then the sector behind erased, so the newest record can
    // always be found.
    if (ring::opensSector(slot) && !eraseSector(ring::sectorOf(ring::previousSlot(slot))))
        return Append::ErasePending;
    return Append::Written;
}

}  // namespace ardenvel
