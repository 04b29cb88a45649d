#include "hosts/virtual/BridgeModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"
#include "firmware/RecordRing.h"
#include "hosts/virtual/DirectoryFiles.h"
#include "monitor/ControllerStatus.h"

namespace ardenvel::virt {
namespace {

constexpr std::uint8_t kSig0 = 0x33;
constexpr std::uint8_t kSig1 = 0x58;
constexpr std::size_t kSigAt = 258;

constexpr std::uint32_t kCommandLba = 20;
constexpr std::uint32_t kRecordLba = 33;
constexpr std::uint32_t kIdentifyLba = 58;
constexpr std::uint32_t kFlashDataLba = 60;
constexpr std::uint32_t kRandomFirst = 3;
constexpr std::uint32_t kRandomLast = 130;

constexpr std::uint8_t kStatusOk = 0x50;     // DRDY | DSC
constexpr std::uint8_t kStatusError = 0x51;  // ... | ERR
constexpr std::uint8_t kAbort = 0x04;

bool hasRouteLba(Route r) {
    return r == Route::Lba || r == Route::LbaAta;
}
bool hasRouteAta(Route r) {
    return r == Route::Ata || r == Route::LbaAta;
}

std::string hex2(std::uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}
std::string hex6(std::uint32_t v) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%06X", v);
    return text;
}

std::uint16_t commandChecksum(std::span<const std::uint8_t> s) {
    std::uint32_t sum = 0;
    for (std::size_t i = 7; i <= 509; ++i) sum += s[i];
    return static_cast<std::uint16_t>(sum);
}

// The ring of a freshly generated flash, whose only record is in slot 0.
void shapeRing(std::vector<std::uint8_t>& flash, RingState state) {
    const std::uint32_t base = readLe24(flash, image::kRecordAreaAddressOffset);
    const auto slot = [&](unsigned k) {
        return std::span<std::uint8_t>(flash).subspan(base + k * image::kRecordSize, image::kRecordSize);
    };
    switch (state) {
        case RingState::Written: break;
        case RingState::Empty: std::fill_n(flash.begin() + base, image::kRecordAreaSize, 0xFF); break;
        case RingState::GarbledNewest: {
            // The same junk every time; never a record the upgrade would take.
            std::uint32_t x = 0x2545F491;
            for (std::uint8_t& b : slot(0).subspan(1)) {
                x = x * 1103515245u + 12345u;
                b = static_cast<std::uint8_t>(x >> 24);
            }
            slot(0)[image::record::kConfigVersion] = static_cast<std::uint8_t>(~image::kConfigVersion);
            break;
        }
        case RingState::OutOfTurn: {
            const auto next = slot(1);
            std::copy_n(slot(0).begin(), image::kRecordSize, next.begin());
            next[image::record::kSequenceNumber] = static_cast<std::uint8_t>(slot(0)[0] + 2);
            writeLe16(next, image::record::kChecksum, image::recordChecksum(next));
            break;
        }
    }
}

}  // namespace

void putAtaText(std::span<std::uint8_t> b, std::size_t at, std::size_t length, const std::string& text) {
    std::string padded = text.substr(0, length);
    padded.resize(length, ' ');
    for (std::size_t i = 0; i < length; ++i) b[at + i] = static_cast<std::uint8_t>(padded[i ^ 1]);
}

bool isUsb(Route r) {
    return r == Route::UsbShift || r == Route::UsbNoShift || r == Route::UsbQuery;
}

const char* routeName(Route r) {
    switch (r) {
        case Route::UsbShift: return "usb-shift";
        case Route::UsbNoShift: return "usb-noshift";
        case Route::UsbQuery: return "usb-query";
        case Route::Lba: return "lba";
        case Route::Ata: return "ata";
        case Route::LbaAta: return "lba+ata";
    }
    return "?";
}

bool parseRoute(const std::string& name, Route& route) {
    for (Route r :
         {Route::UsbShift, Route::UsbNoShift, Route::UsbQuery, Route::Lba, Route::Ata, Route::LbaAta}) {
        if (name == routeName(r)) {
            route = r;
            return true;
        }
    }
    return false;
}

VirtualEnclosure::Impl::Impl(EnclosureConfig c) : config(std::move(c)), settingFlags(config.settingFlags) {}

// ---- flash ----------------------------------------------------------------

void VirtualEnclosure::Impl::readFlash(std::uint32_t address, std::span<std::uint8_t> out) const {
    // The flash wraps at its end, as an SPI flash read does.
    const std::size_t size = flash.size();
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = size ? flash[(address + i) % size] : 0xFF;
}

void VirtualEnclosure::Impl::answer(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), lastAnswer.size());
    if (readFault == ReadFault::Stale) {
        // The bridge's buffer still holds the read before.
        std::copy_n(lastAnswer.begin(), n, out.begin());
    } else {
        if (readFault == ReadFault::Garbled)
            for (std::size_t i = 0; i < out.size(); i += 5)
                out[i] ^= static_cast<std::uint8_t>(1u << ((i / 5 + faultRequests) % 8));
        std::copy_n(out.begin(), n, lastAnswer.begin());
    }
    readFault = ReadFault::None;
}

template <class Change>
void VirtualEnclosure::Impl::checkedChange(std::uint32_t address, std::uint32_t length, Change change) {
    const std::span<const std::uint8_t> ring = ringBytes();
    const std::uint32_t base = recordBase();
    const bool inRing = !ring.empty() && address < base + image::kRecordAreaSize && address + length > base;
    std::string before;
    if (inRing) {
        before = ring::ringFault(ring, base);
    } else if (!ring.empty()) {
        // Code the bridge boots from must not change under it.
        if (const auto n = ring::newestSlot(ring); n && ring::recordFlaw(ring, *n).empty())
            if (const auto c = ring::codeOverlapping(ring::slotBytes(ring, *n), address, length)) {
                ++counters.ringBreaks;
                if (ringBreak.empty())
                    ringBreak = "a change at " + hex6(address) + " hit code type " + hex2(c->type) + " at " +
                                hex6(c->address) + ", which the newest record names";
            }
    }
    change();
    if (!inRing || !before.empty()) return;
    if (std::string after = ring::ringFault(ring, base); !after.empty()) {
        ++counters.ringBreaks;
        if (ringBreak.empty())
            ringBreak = "a change at " + hex6(address) + " broke the record ring: " + after;
    }
}

void VirtualEnclosure::Impl::eraseSector(std::uint32_t address) {
    if (dropWrites) {
        ++counters.droppedWrites;
        return;
    }
    const std::uint32_t start = address & ~(image::kFlashSectorSize - 1);
    if (start >= flash.size()) return;
    const std::size_t end = std::min<std::size_t>(start + image::kFlashSectorSize, flash.size());
    checkedChange(start, image::kFlashSectorSize, [&] {
        if (!tearing) {
            std::fill(flash.begin() + start, flash.begin() + end, 0xFF);
            return;
        }
        // Cut part-way: the first pages blank, the next half erased (an
        // erase only sets bits), the rest as they were.
        const std::size_t blank = std::size_t{*tearing} * image::kFlashSectorSize / 256 / image::kPageSize;
        const std::size_t mixed = start + blank * image::kPageSize;
        std::fill(flash.begin() + start, flash.begin() + std::min(mixed, end), 0xFF);
        std::uint32_t x = address ^ (std::uint32_t{*tearing} << 24) ^ 0x9E3779B9u;
        for (std::size_t a = mixed; a < std::min(mixed + image::kPageSize, end); ++a) {
            x = x * 1103515245u + 12345u;
            flash[a] |= static_cast<std::uint8_t>(x >> 24);
        }
    });
    ++counters.sectorErases;
    dirty = true;
    flushIfBacked();
}

void VirtualEnclosure::Impl::programPage(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (dropWrites) {
        ++counters.droppedWrites;
        return;
    }
    // NOR: programming only clears bits, and wraps within the 256-byte page.
    // A flash built by hand may end inside its last page; nothing lies beyond.
    // Cut part-way, only the first bytes of the program land.
    const std::uint32_t page = address & ~(image::kPageSize - 1);
    const std::size_t count = std::min<std::size_t>(bytes.size(), image::kPageSize);
    const std::size_t landed = tearing ? std::min<std::size_t>(*tearing, count) : count;
    checkedChange(page, image::kPageSize, [&] {
        for (std::size_t i = 0; i < landed; ++i) {
            const std::uint32_t a = page + ((address + i) & (image::kPageSize - 1));
            if (a < flash.size()) flash[a] &= bytes[i];
        }
    });
    ++counters.pagePrograms;
    dirty = true;
    if (address >= recordBase()) flushIfBacked();
}

std::string VirtualEnclosure::Impl::flashRefusal(std::uint32_t address, bool changes) const {
    if (!isUsb(config.route) && !spiOpen) return "SPI access is closed";
    if (!changes) return {};
    if (address >= flash.size()) return "address " + hex6(address) + " is beyond the flash";
    if (isUsb(config.route)) return {};
    if (!updateMode) return "not in update mode";
    if (address < image::kBootAreaEnd && !unlocked) return "the flash below 0xC000 is locked";
    return {};
}

bool VirtualEnclosure::Impl::reject(std::string why) {
    if (rejection.empty()) rejection = std::move(why);
    // What the bridge had been asked to answer next is gone.
    answerValid = false;
    return false;
}

std::uint32_t VirtualEnclosure::Impl::recordBase() const {
    const std::uint32_t fallback = flash.size() >= image::kRecordAreaSize
                                       ? static_cast<std::uint32_t>(flash.size() - image::kRecordAreaSize)
                                       : 0;
    if (flash.size() < image::kRecordAreaAddressOffset + 3) return fallback;
    const std::uint32_t base = readLe24(flash, image::kRecordAreaAddressOffset);
    if (base % image::kRecordSize != 0 || std::size_t{base} + image::kRecordAreaSize > flash.size())
        return fallback;
    return base;
}

std::span<const std::uint8_t> VirtualEnclosure::Impl::ringBytes() const {
    if (flash.size() < image::kRecordAreaSize) return {};
    return std::span<const std::uint8_t>(flash).subspan(recordBase(), image::kRecordAreaSize);
}

std::optional<std::uint32_t> VirtualEnclosure::Impl::newestRecord() const {
    const auto ring = ringBytes();
    if (ring.empty()) return std::nullopt;
    // The bridge's own rule, the one its record read follows: the last used
    // slot of the first run of used slots, whatever the slot holds.
    const auto slot = ring::newestSlot(ring);
    if (!slot) return std::nullopt;
    return recordBase() + *slot * image::kRecordSize;
}

// ---- the record -----------------------------------------------------------

SectorData VirtualEnclosure::Impl::liveRecord() const {
    SectorData r{};
    std::fill(r.begin(), r.begin() + image::kRecordSize, 0xFF);
    if (const auto at = newestRecord()) readFlash(*at, std::span(r).first(image::kRecordSize));
    std::fill(r.begin() + image::kRecordSize, r.end(), 0);

    const BridgeStatus& st = config.status;
    r[status::kRaidModeInSpi] = config.raidModeInSpi;
    r[status::kSettingFlags] = settingFlags;
    r[status::kRaidModeOfSystem] = st.raidModeOfSystem;
    std::fill(r.begin() + status::kP0Serial, r.begin() + status::kP1Serial + status::kSerialLength, 0);
    std::fill(r.begin() + status::kP0Model, r.begin() + status::kP0Model + status::kModelLength, 0);
    std::fill(r.begin() + status::kP1Model, r.begin() + status::kP1Model + status::kModelLength, 0);
    const std::size_t serialAt[2] = {status::kP0Serial, status::kP1Serial};
    const std::size_t modelAt[2] = {status::kP0Model, status::kP1Model};
    const std::size_t capacityAt[2] = {status::kP0Capacity, status::kP1Capacity};
    std::uint8_t generations = 0;
    for (int p = 0; p < 2; ++p) {
        if (!st.disks[p]) {
            writeLe32(r, capacityAt[p], 0);
            continue;
        }
        putAtaText(r, serialAt[p], status::kSerialLength, st.disks[p]->serial);
        putAtaText(r, modelAt[p], status::kModelLength, st.disks[p]->model);
        writeLe32(r, capacityAt[p], st.disks[p]->capacity);
        generations |= static_cast<std::uint8_t>((st.disks[p]->sataGeneration & 0x0F) << (4 * p));
    }
    writeLe32(r, status::kConfiguredCapacity, st.configuredCapacity);
    r[102] = r[103] = 0;
    r[status::kPortState] = st.portState;
    r[status::kActivityFlags] = st.activityFlags;
    r[status::kProgressPercent] = st.progressPercent;
    r[status::kSataGenerations] = generations;
    r[status::kBadSectorCount] = st.badSectorCount;
    for (std::size_t i = 0; i < status::kBadSectorRingEntries; ++i)
        writeLe32(r, status::kBadSectorRing + 4 * i, st.badSectorRing[i]);
    return r;
}

SectorData VirtualEnclosure::Impl::serveStatus() {
    const SectorData r = liveRecord();
    ++counters.statusReads;
    ++ticks;
    advance();
    return r;
}

void VirtualEnclosure::Impl::probedWhileUnplugged() {
    ++ticks;
    advance();
}

void VirtualEnclosure::Impl::advance() {
    BridgeStatus& st = config.status;
    const std::uint8_t running = st.activityFlags & (activity::kP0 | activity::kP1);
    if (config.activityPercentPerRead != 0 && running) {
        if (st.progressPercent >= 99) {
            // A finished rebuild leaves the rebuilt disk part of the volume.
            if (!(st.activityFlags & activity::kScan)) {
                const int p = (running & activity::kP0) ? 0 : 1;
                st.portState = static_cast<std::uint8_t>((st.portState & (p ? 0x0F : 0xF0)) |
                                                         port::bits(port::kInitialized, p));
            }
            st.activityFlags &= static_cast<std::uint8_t>(~(activity::kP0 | activity::kP1 | activity::kScan));
            st.progressPercent = 0;
        } else {
            st.progressPercent =
                static_cast<std::uint8_t>(std::min(99, st.progressPercent + config.activityPercentPerRead));
        }
    }
    // Events stay in the order given; each fires once its read count is reached.
    std::vector<TimelineEvent> later;
    for (const TimelineEvent& e : timeline) {
        if (e.afterReads <= ticks)
            apply(e);
        else
            later.push_back(e);
    }
    timeline = std::move(later);
}

void VirtualEnclosure::Impl::apply(const TimelineEvent& e) {
    BridgeStatus& st = config.status;
    const int p = e.port == 1 ? 1 : 0;
    auto setPort = [&](std::uint8_t bits) {
        st.portState = static_cast<std::uint8_t>((st.portState & (p ? 0x0F : 0xF0)) | port::bits(bits, p));
    };
    using K = TimelineEvent::Kind;
    switch (e.kind) {
        case K::InsertDisk:
            st.disks[p] = e.disk;
            setPort(port::kInserted);
            break;
        case K::Initialize: setPort(port::kInitialized); break;
        case K::FailDisk: setPort(port::kFailed); break;
        case K::RemoveDisk:
            st.disks[p].reset();
            setPort(port::kAbsent);
            break;
        case K::SetActivity:
            st.activityFlags =
                static_cast<std::uint8_t>((st.activityFlags & (activity::kBadP0 | activity::kBadP1)) |
                                          (e.value & ~(activity::kBadP0 | activity::kBadP1)));
            st.progressPercent = e.percent;
            break;
        case K::EndActivity:
            st.activityFlags &= static_cast<std::uint8_t>(~(activity::kP0 | activity::kP1 | activity::kScan));
            st.progressPercent = 0;
            break;
        case K::BadSector:
            st.badSectorRing[st.badSectorCount % status::kBadSectorRingEntries] = e.lba;
            if (st.badSectorCount < 255) ++st.badSectorCount;
            st.activityFlags |= p ? activity::kBadP1 : activity::kBadP0;
            break;
        case K::SetBadSectorCount: st.badSectorCount = e.value; break;
        case K::SetPortState: st.portState = e.value; break;
        case K::Unplug:
            if (isPlugged) ++pendingNotices;
            isPlugged = false;
            break;
        case K::Plug:
            if (!isPlugged) ++pendingNotices;
            isPlugged = true;
            break;
    }
}

SectorData VirtualEnclosure::Impl::identification(bool withSignature) const {
    SectorData s{};
    s[0] = 0x40;  // fixed device
    putAtaText(s, 20, 20, config.serial);
    putAtaText(s, 46, 8, config.firmwareRevision);
    putAtaText(s, 54, 40, config.model);
    writeLe16(s, 98, 0x0200);  // LBA supported
    writeLe32(s, 120, config.status.configuredCapacity);
    if (withSignature) {
        s[kSigAt] = kSig0;
        s[kSigAt + 1] = kSig1;
    }
    return s;
}

// ---- requests -------------------------------------------------------------

bool VirtualEnclosure::Impl::cdb(std::span<const std::uint8_t, 10> c, DataDirection direction,
                                 std::span<std::uint8_t> data) {
    std::lock_guard lock(mutex);
    return settle(cdbRequest(c, direction, data));
}

bool VirtualEnclosure::Impl::ata(TaskFile& r, std::span<std::uint8_t> dataIn) {
    std::lock_guard lock(mutex);
    return settle(ataRequest(r, dataIn));
}

bool VirtualEnclosure::Impl::settle(bool ok) {
    readFault = ReadFault::None;
    if (!tearing) return ok;
    tearing.reset();
    // The power went in the middle of the request.
    powerCut = true;
    failedWhileCut = 0;
    flushIfBacked();
    return reject("the power went during the request");
}

bool VirtualEnclosure::Impl::cdbRequest(std::span<const std::uint8_t, 10> c, DataDirection direction,
                                        std::span<std::uint8_t> data) {
    switch (c[0]) {
        case 0x28:
        case 0x2A: {
            const std::uint32_t lba =
                (std::uint32_t{c[2]} << 24) | (std::uint32_t{c[3]} << 16) | (std::uint32_t{c[4]} << 8) | c[5];
            const std::uint32_t count = (std::uint32_t{c[7]} << 8) | c[8];
            if (data.size() != std::size_t{count} * 512)
                return reject("transfer length is not the sector count");
            if (c[0] == 0x28) {
                if (direction != DataDirection::ToHost) return reject("READ(10) sent as data out");
                return read10(lba, count, data);
            }
            if (direction != DataDirection::ToDevice) return reject("WRITE(10) sent as data in");
            return write10(lba, count, data);
        }
        case 0x12:
            if (direction != DataDirection::ToHost) return reject("INQUIRY sent as data out");
            return inquiry(data);
        case 0xFE: return vendor(c, direction, data);
        default: return reject("opcode " + hex2(c[0]) + " is not supported");
    }
}

bool VirtualEnclosure::Impl::read10(std::uint32_t lba, std::uint32_t count, std::span<std::uint8_t> data) {
    for (std::uint32_t i = 0; i < count; ++i) readSector(lba + i, data.subspan(std::size_t{i} * 512, 512));
    return true;
}

void VirtualEnclosure::Impl::readSector(std::uint32_t lba, std::span<std::uint8_t> out) {
    if (!isUsb(config.route)) {
        if (lba == kRecordLba) {
            const SectorData r = serveStatus();
            std::copy(r.begin(), r.end(), out.begin());
            answer(out);
            return;
        }
        // Without a flash read set up and SPI access open there is no answer:
        // the read reaches the disk like any other.
        if (lba == kFlashDataLba && answerValid && spiOpen) {
            readFlash(readAddress, out);
            answer(out);
            return;
        }
        if (lba == kIdentifyLba && hasRouteLba(config.route)) {
            const SectorData id = identification(true);
            std::copy(id.begin(), id.end(), out.begin());
            return;
        }
    }
    const auto it = plainSectors.find(lba);
    if (it == plainSectors.end())
        std::fill(out.begin(), out.end(), 0);
    else
        std::copy(it->second.begin(), it->second.end(), out.begin());
}

bool VirtualEnclosure::Impl::write10(std::uint32_t lba, std::uint32_t count,
                                     std::span<const std::uint8_t> data) {
    for (std::uint32_t i = 0; i < count; ++i)
        if (!writeSector(lba + i, data.subspan(std::size_t{i} * 512, 512))) return false;
    return true;
}

bool VirtualEnclosure::Impl::writeSector(std::uint32_t lba, std::span<const std::uint8_t> in) {
    // LBA 20 belongs to the bridge on every route. The other reserved LBAs only
    // take a sector that looks like a command.
    const bool signed_ = in[0] == kSig0 && in[1] == kSig1;
    if (lba == kCommandLba ||
        (!isUsb(config.route) && lba >= kRandomFirst && lba <= kRandomLast && signed_)) {
        switch (commandSector(lba, in)) {
            case Verdict::Accepted: ++counters.commandSectors; return true;
            case Verdict::Refused: ++counters.blockedFlashCommands; return false;
            case Verdict::Malformed:
                // Not a command to the bridge: it passes the write on to the disk.
                ++counters.badCommandSectors;
                break;
        }
    }
    if (dropWrites) {
        ++counters.droppedWrites;
        return true;
    }
    SectorData s;
    std::copy(in.begin(), in.end(), s.begin());
    plainSectors[lba] = s;
    return true;
}

VirtualEnclosure::Impl::Verdict VirtualEnclosure::Impl::commandSector(std::uint32_t lba,
                                                                      std::span<const std::uint8_t> s) {
    const std::uint8_t code = s[2];
    const std::uint8_t arg = s[3];
    const std::uint32_t address = readBe24(s, 4);
    const std::string what = "command sector " + hex2(code) + " at LBA " + std::to_string(lba) + ": ";
    const auto malformed = [&](const std::string& why) {
        reject(what + why + "; written to the disk as data");
        return Verdict::Malformed;
    };
    const auto refused = [&](const std::string& why) {
        reject(what + "refused, " + why);
        return Verdict::Refused;
    };
    if (s[0] != kSig0 || s[1] != kSig1) return malformed("no 3X signature");
    if (readLe16(s, 510) != commandChecksum(s)) return malformed("checksum does not match bytes 7-509");
    const bool atCommandLba = lba == kCommandLba;
    const bool atRandomLba = lba >= kRandomFirst && lba <= kRandomLast;
    const bool modeOrAddress = code == 0x00 || code == 0x03 || code == 0x04 || code == 0x10;
    // A USB bridge takes its flash work as vendor CDBs, an ATA-only bridge its
    // mode and address commands as ATA command 0x88.
    if (isUsb(config.route) && code != 0x20 && code != 0x24)
        return malformed("a USB bridge takes no such sector");
    if (config.route == Route::Ata && modeOrAddress)
        return malformed("this bridge takes it as ATA command 0x88 only");
    if (modeOrAddress && !atRandomLba) return malformed("belongs to LBAs 3 to 130");
    if (!modeOrAddress && !atCommandLba) return malformed("belongs to LBA 20");
    switch (code) {
        case 0x00: {  // flash read address for LBA 60
            if (arg != 0x03) return malformed("argument must be 3");
            if (const auto why = flashRefusal(address, false); !why.empty()) return refused(why);
            readAddress = address;
            answerValid = true;
            break;
        }
        case 0x01: {  // erase the 4 KB sector
            if (arg != 0x20) return malformed("argument must be 0x20");
            if (const auto why = flashRefusal(address, true); !why.empty()) return refused(why);
            eraseSector(address);
            break;
        }
        case 0x02: {  // program a page from bytes 7..262
            if (arg != 0x02) return malformed("argument must be 2");
            if (s[509] != 0x55) return malformed("no 0x55 marker at byte 509");
            if (const auto why = flashRefusal(address, true); !why.empty()) return refused(why);
            programPage(address, s.subspan(7, image::kPageSize));
            break;
        }
        case 0x03:
        case 0x04:
        case 0x10:
            if (arg > 1) return malformed("argument must be 0 or 1");
            if (code == 0x03) {
                spiOpen = arg == 1;
                if (!spiOpen) flushIfBacked();
            } else if (code == 0x04) {
                unlocked = arg == 1;
            } else {
                updateMode = arg == 1;
                if (!updateMode) flushIfBacked();
            }
            break;
        case 0x20:
            if (arg > 1 || s[4] > 1) return malformed("bytes 3 and 4 must be 0 or 1");
            settingFlags = static_cast<std::uint8_t>((settingFlags & 0xFC) | arg | (s[4] << 1));
            break;
        case 0x24: {
            if (arg > 1 || s[4] > 1) return malformed("bytes 3 and 4 must be 0 or 1");
            // Two 48-bit LBAs, little-endian: a first no later than the last, inside the volume.
            const std::uint32_t first = readLe32(s, 7), last = readLe32(s, 13);
            if (s[11] != 0 || s[12] != 0 || s[17] != 0 || s[18] != 0)
                return malformed("LBA beyond 32 bits (bytes 11-12, 17-18)");
            if (first > last || last >= config.status.configuredCapacity)
                return malformed("LBAs " + std::to_string(first) + " to " + std::to_string(last) +
                                 " are no range of the volume");
            scanCommand(arg == 0, s[4], first, last);
            break;
        }
        default: return malformed("unknown command code");
    }
    return Verdict::Accepted;
}

void VirtualEnclosure::Impl::scanCommand(bool start, int p, std::uint32_t first, std::uint32_t last) {
    BridgeStatus& st = config.status;
    const std::uint8_t portBit = p ? activity::kP1 : activity::kP0;
    const bool running = (st.activityFlags & (activity::kP0 | activity::kP1)) != 0;
    if (start) {
        // A scan needs a disk that is part of the volume and an idle bridge.
        const bool ready = st.disks[p].has_value() && (st.portState & port::bits(port::kInitialized, p));
        if (ready && !running) {
            st.activityFlags = static_cast<std::uint8_t>(
                (st.activityFlags & (activity::kBadP0 | activity::kBadP1)) | activity::kScan | portBit);
            st.progressPercent = 0;
            scanFirstLba = first;
            scanLastLba = last;
        }
    } else if (running && (st.activityFlags & activity::kScan) && (st.activityFlags & portBit)) {
        st.activityFlags &= static_cast<std::uint8_t>(~(activity::kP0 | activity::kP1 | activity::kScan));
        st.progressPercent = 0;
    }
}

bool VirtualEnclosure::Impl::inquiry(std::span<std::uint8_t> data) const {
    std::array<std::uint8_t, 36> a{};
    a[0] = 0x00;  // direct-access block device
    a[2] = 0x04;
    a[3] = 0x02;
    a[4] = config.inquiryAdditionalLength;
    const std::string vendor = "ARDVBRDG";
    std::string product = config.model.substr(0, 16);
    product.resize(16, ' ');
    std::string rev = config.firmwareRevision.substr(0, 4);
    rev.resize(4, ' ');
    std::memcpy(a.data() + 8, vendor.data(), 8);
    std::memcpy(a.data() + 16, product.data(), 16);
    std::memcpy(a.data() + 32, rev.data(), 4);
    std::copy_n(a.begin(), std::min(a.size(), data.size()), data.begin());
    return true;
}

bool VirtualEnclosure::Impl::vendor(std::span<const std::uint8_t, 10> c, DataDirection direction,
                                    std::span<std::uint8_t> data) {
    if (!isUsb(config.route)) return reject("vendor CDBs are not taken on this route");
    // Two encodings: FE FE op 00 a2 a1 a0 00 flag 00 (byte 2) and
    // FE op 00 a2 a1 a0 00 flag 00 00 (byte 1). A bridge knows only one.
    const bool byte2Form = c[1] == 0xFE;
    const bool wantsByte1 =
        config.route == Route::UsbShift || (config.route == Route::UsbQuery && config.queryCdbShift == 1);
    if (byte2Form == wantsByte1) return reject("vendor opcode at the byte this bridge does not read");
    const std::size_t o = byte2Form ? 2 : 1;
    const std::uint8_t op = c[o];
    if (c[o + 1] != 0 || c[o + 5] != 0 || c[o + 7] != 0 || (o == 1 && c[9] != 0))
        return reject("vendor CDB with bytes set that must be zero");
    const std::uint32_t address = (std::uint32_t{c[o + 2]} << 16) | (std::uint32_t{c[o + 3]} << 8) | c[o + 4];
    const std::uint8_t flag = c[o + 6];
    const bool toHost = direction == DataDirection::ToHost;
    const auto shape = [&](bool in, std::size_t bytes, std::uint8_t maxFlag) {
        return in == toHost && data.size() == bytes && flag <= maxFlag;
    };
    const std::string what = "vendor " + hex2(op) + ": ";

    switch (op) {
        case 0x78: {  // identification query
            if (!shape(true, 20, 0) || address != 0) return reject(what + "not as the query is asked");
            std::fill(data.begin(), data.end(), 0);
            data[0] = 0x50;
            data[1] = 0x8B;
            for (std::size_t i = 0; i < 8 && i < config.firmwareRevision.size(); ++i)
                data[4 + i] = static_cast<std::uint8_t>(config.firmwareRevision[i]);
            return true;
        }
        case 0x8B: {
            if (config.route == Route::UsbQuery) return reject(what + "not known to this bridge");
            if (!shape(true, 512, 0)) return reject(what + "length, direction or flag wrong");
            const SectorData id = identification(true);
            std::copy(id.begin(), id.end(), data.begin());
            return true;
        }
        case 0x85: {  // ReadPage (flag 0) and ScanRead (flag 1)
            if (!shape(true, 512, 1)) return reject(what + "length, direction or flag wrong");
            // The reader finds the newest slot by scanning, then reads it: that
            // slot answers with the live record, as LBA 33 does on the other routes.
            const auto newest = newestRecord();
            if (newest && *newest == address) {
                const SectorData r = flag == 0 ? serveStatus() : liveRecord();
                std::copy(r.begin(), r.end(), data.begin());
            } else {
                readFlash(address, data);
            }
            answer(data);
            return true;
        }
        case 0x89:
            if (!shape(false, image::kPageSize, 0)) return reject(what + "length, direction or flag wrong");
            if (const auto why = flashRefusal(address, true); !why.empty()) {
                ++counters.blockedFlashCommands;
                return reject(what + why);
            }
            programPage(address, data);
            return true;
        case 0x81:
            if (!shape(true, 8, 0)) return reject(what + "length, direction or flag wrong");
            if (const auto why = flashRefusal(address, true); !why.empty()) {
                ++counters.blockedFlashCommands;
                return reject(what + why);
            }
            eraseSector(address);
            std::fill(data.begin(), data.end(), 0);
            data[1] = static_cast<std::uint8_t>(address >> 16);
            data[2] = static_cast<std::uint8_t>(address >> 8);
            data[3] = static_cast<std::uint8_t>(address);
            return true;
        default: return reject(what + "unknown opcode");
    }
}

bool VirtualEnclosure::Impl::ataRequest(TaskFile& r, std::span<std::uint8_t> dataIn) {
    if (!hasRouteAta(config.route)) return reject("no ATA pass-through behind this bridge");
    auto fail = [&](const std::string& why) {
        r.features = kAbort;
        r.command = kStatusError;
        return reject("ATA " + hex2(r.command) + "/" + hex2(r.features) + ": " + why);
    };
    if (r.command == 0xEC) {
        if (dataIn.size() != 512) return fail("IDENTIFY moves one sector");
        const SectorData id = identification(true);
        std::copy(id.begin(), id.end(), dataIn.begin());
        r.features = 0;
        r.command = kStatusOk;
        return true;
    }
    if (r.command != 0x88) return fail("not the vendor command");
    if (!dataIn.empty()) return fail("moves no data");
    // The registers the bridge does not read must still be as it expects them.
    if (r.device != 0xE0 || r.sectorCount != 0) return fail("device/head must be 0xE0 and sector count 0");
    switch (r.features) {
        case 0x01: {
            const std::uint32_t address =
                (std::uint32_t{r.lbaHigh} << 16) | (std::uint32_t{r.lbaMid} << 8) | r.lbaLow;
            if (const auto why = flashRefusal(address, false); !why.empty()) {
                ++counters.blockedFlashCommands;
                return fail(why);
            }
            readAddress = address;
            answerValid = true;
            break;
        }
        case 0x02:
            spiOpen = false;
            flushIfBacked();
            break;
        case 0x03: spiOpen = true; break;
        case 0x04: unlocked = true; break;
        case 0x05: unlocked = false; break;
        case 0x10:
            updateMode = false;
            flushIfBacked();
            break;
        case 0x11: updateMode = true; break;
        default: return fail("unknown sub-command");
    }
    ++counters.commandSectors;
    r.features = 0;
    r.command = kStatusOk;
    return true;
}

bool VirtualEnclosure::Impl::admit(bool& drop) {
    std::lock_guard lock(mutex);
    const EnclosureFaults& f = config.faults;
    const unsigned n = ++faultRequests;
    tearing.reset();
    readFault = ReadFault::None;
    if (f.cutPowerAfter && n == *f.cutPowerAfter + 1) {
        powerCut = true;
        flushIfBacked();
    }
    if (powerCut) {
        if (f.powerOnAfter == 0 || failedWhileCut < f.powerOnAfter) {
            ++failedWhileCut;
            return false;
        }
        powerCut = false;
        restart();
    }
    if ((f.dropWritesFrom && n >= *f.dropWritesFrom) || f.droppedWrite == n) drop = true;
    if (f.tornRequest == n) tearing = std::clamp<std::uint8_t>(f.tornFraction, 1, 255);
    if (f.staleRead == n) readFault = ReadFault::Stale;
    if (f.garbledRead == n) readFault = ReadFault::Garbled;
    return std::find(f.failRequests.begin(), f.failRequests.end(), n) == f.failRequests.end();
}

void VirtualEnclosure::Impl::restart() {
    std::lock_guard lock(mutex);
    flushIfBacked();
    spiOpen = false;
    unlocked = false;
    updateMode = false;
    readAddress = 0;
    answerValid = false;
}

// ---- backing file ---------------------------------------------------------

bool VirtualEnclosure::Impl::flush() {
    if (backingFile.empty()) return true;
    if (!replaceDirectoryFile(backingFile.parent_path(), backingFile.filename().string(), flash, lastError))
        return false;
    dirty = false;
    return true;
}

void VirtualEnclosure::Impl::flushIfBacked() {
    if (dirty && !backingFile.empty()) flush();
}

// ---- VirtualEnclosure -----------------------------------------------------

VirtualEnclosure::VirtualEnclosure(EnclosureConfig config)
    : impl_(std::make_unique<Impl>(std::move(config))) {
    formatFlash();
}

VirtualEnclosure::~VirtualEnclosure() {
    std::lock_guard lock(impl_->mutex);
    impl_->flushIfBacked();
}

const EnclosureConfig& VirtualEnclosure::config() const {
    return impl_->config;
}
Route VirtualEnclosure::route() const {
    return impl_->config.route;
}
std::vector<std::uint8_t>& VirtualEnclosure::flash() {
    return impl_->flash;
}
const std::vector<std::uint8_t>& VirtualEnclosure::flash() const {
    return impl_->flash;
}

std::uint32_t VirtualEnclosure::recordAreaAddress() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->recordBase();
}

std::optional<std::uint32_t> VirtualEnclosure::newestRecordAddress() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->newestRecord();
}

std::array<std::uint8_t, 512> VirtualEnclosure::currentRecord() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->liveRecord();
}

BridgeStatus& VirtualEnclosure::status() {
    return impl_->config.status;
}

std::uint8_t VirtualEnclosure::settingFlags() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->settingFlags;
}

std::array<std::uint8_t, 512> VirtualEnclosure::identification(bool withSignature) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->identification(withSignature);
}

bool VirtualEnclosure::spiAccessOpen() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->spiOpen;
}
bool VirtualEnclosure::lowAreaUnlocked() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->unlocked;
}
bool VirtualEnclosure::updateMode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->updateMode;
}
std::uint32_t VirtualEnclosure::flashReadAddress() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->readAddress;
}
BridgeCounters VirtualEnclosure::counters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counters;
}
bool VirtualEnclosure::plugged() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->isPlugged;
}
std::string VirtualEnclosure::ringBreak() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ringBreak;
}

void VirtualEnclosure::setFaults(EnclosureFaults f) {
    std::lock_guard lock(impl_->mutex);
    const unsigned now = impl_->faultRequests;
    for (unsigned& n : f.failRequests) n += now;
    for (std::optional<unsigned>* n :
         {&f.cutPowerAfter, &f.dropWritesFrom, &f.tornRequest, &f.staleRead, &f.garbledRead, &f.droppedWrite})
        if (*n) **n += now;
    impl_->config.faults = std::move(f);
    if (impl_->powerCut) {
        impl_->powerCut = false;
        impl_->failedWhileCut = 0;
        impl_->restart();
    }
}

void VirtualEnclosure::addTimeline(TimelineEvent event) {
    std::lock_guard lock(impl_->mutex);
    if (event.afterReads <= impl_->ticks)
        impl_->apply(event);
    else
        impl_->timeline.push_back(event);
}

std::size_t VirtualEnclosure::pendingTimelineEvents() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->timeline.size();
}

bool VirtualEnclosure::formatFlash() {
    std::lock_guard lock(impl_->mutex);
    const EnclosureConfig& c = impl_->config;
    image::ImageSpec plan;
    plan.size = c.flashSize;
    plan.codes = c.flashCodes;
    plan.versionTag = c.flashVersionTag;
    plan.raidModeInSpi = c.raidModeInSpi;
    plan.settingFlags = c.settingFlags;
    plan.raidModeOfSystem = c.status.raidModeOfSystem;
    std::vector<std::uint8_t> bytes;
    if (!image::generateImage(plan, bytes, impl_->lastError)) {
        // A size the layout cannot hold still gets an erased flash of that size.
        impl_->flash.assign(c.flashSize, 0xFF);
        return false;
    }
    shapeRing(bytes, c.flashRing);
    impl_->flash = std::move(bytes);
    impl_->dirty = true;
    impl_->flushIfBacked();
    return true;
}

bool VirtualEnclosure::setBackingFile(std::filesystem::path flashFile) {
    std::lock_guard lock(impl_->mutex);
    impl_->backingFile = std::move(flashFile);
    std::error_code ec;
    if (!std::filesystem::exists(impl_->backingFile, ec)) impl_->dirty = true;
    if (impl_->dirty) return impl_->flush();
    return true;
}

bool VirtualEnclosure::flush() {
    std::lock_guard lock(impl_->mutex);
    return impl_->flush();
}

std::string VirtualEnclosure::lastError() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastError;
}

VirtualEnclosure::Impl& VirtualEnclosure::impl() {
    return *impl_;
}

}  // namespace ardenvel::virt
