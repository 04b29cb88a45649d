#include "firmware/Upgrade.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

#include "device/ByteOrder.h"
#include "device/DeviceOperation.h"
#include "device/SpiFlash.h"
#include "device/VuChannel.h"
#include "firmware/ImageLayout.h"
#include "firmware/RecordRing.h"
#include "firmware/RingWriter.h"

namespace ardenvel {

namespace {

namespace fs = std::filesystem;
using image::codeEntryOffset;
using Record = std::array<std::uint8_t, kSector>;

const char* const kUpgradeCaption = "Firmware Upgrade Message";
constexpr std::uint64_t kFlashAddressSpace = std::uint64_t{1} << 24;

// Upper-case, zero-filled to `digits`.
std::string hex(std::uint32_t v, int digits) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

void showWarning(Ui& ui, const std::string& text) {
    ui.messageBox(text, kUpgradeCaption, BoxButtons::Ok, BoxIcon::Warning);
}

bool hasImageSignature(std::span<const std::uint8_t> head) {
    return std::equal(std::begin(image::kImageSignature), std::end(image::kImageSignature),
                      head.begin() + image::kSignatureOffset);
}

bool isSlotAligned(std::uint32_t address) {
    return address != 0 && address % image::kCodeSlotSize == 0;
}

// The head's record base as its layout allows it: the ring ends the flash,
// so base + 32 KB is the flash's size, a power of two that 24-bit addresses
// reach; below it lie the boot area and room for at least one code slot.
// SpiSize says nothing here: it only bounds the USB route's record read.
bool isSoundRecordBase(std::uint32_t base) {
    const std::uint64_t flashSize = std::uint64_t{base} + image::kRecordAreaSize;
    return base >= image::kBootAreaEnd + image::kCodeSlotSize && flashSize <= kFlashAddressSpace &&
           (flashSize & (flashSize - 1)) == 0;
}

// On USB the current record comes from the slots the record read scans; a
// ring anywhere else is not the one the records would be appended to, and
// the next upgrade would start from a record that no longer names the code.
bool recordReadReaches(const DeviceState& dev, std::uint32_t base) {
    if (selectedRoute(dev) != VuRoute::Usb) return true;
    return base == kUsbRecordScanStart && base + image::kRecordAreaSize == dev.spiSize;
}

// A slot is in use when any code the record names reaches into it: the
// exempt type may start anywhere and run into the slot after its own.
bool slotInUse(std::span<const std::uint8_t> record, std::uint32_t address) {
    return ring::codeOverlapping(record, address, image::kCodeSlotSize).has_value();
}

std::optional<std::size_t> findEntry(std::span<const std::uint8_t> record, std::uint8_t codeType) {
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k)
        if (record[codeEntryOffset(k) + image::entry::kCodeType] == codeType) return k;
    return std::nullopt;
}

// The record the bridge serves is the ring's newest when the bytes it keeps
// from the flash are the newest slot's own; the others are its live status.
bool servesNewest(std::span<const std::uint8_t> served, const RingWriter& ring) {
    const auto n = ring.newest();
    if (!n) return false;
    const auto rec = ring.record(*n);
    return std::equal(served.begin(), served.begin() + image::record::kRaidModeInSpi, rec.begin()) &&
           std::equal(served.begin() + image::record::kChipOption, served.begin() + image::kRecordSize,
                      rec.begin() + image::record::kChipOption);
}

}  // namespace

void ProgressTimerTick(const DeviceState& dev, FirmwareProgress& progress) {
    progress.setProgressPosition(dev.spiProgress.load());
}

bool isUsableSlot(std::uint32_t address, std::uint32_t recordBase) {
    return isSlotAligned(address) && std::uint64_t{address} + image::kCodeSlotSize <= recordBase;
}

std::optional<std::uint32_t> nextFreeSlot(std::span<const std::uint8_t> record, std::uint32_t freeSlot,
                                          std::uint32_t recordBase) {
    // The walk only ends by coming back to freeSlot, so that must be a slot it visits.
    if (!isUsableSlot(freeSlot, recordBase)) return std::nullopt;
    std::uint32_t c = freeSlot;
    for (;;) {
        c += image::kCodeSlotSize;
        if (!isUsableSlot(c, recordBase)) c = image::kCodeSlotSize;
        if (!slotInUse(record, c)) return c;
        if (c == freeSlot) return std::nullopt;
    }
}

bool DumpRecord(Ui& ui, const fs::path& dir, char tag, std::span<const std::uint8_t> record512) {
    static constexpr char kUniqueness[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string name = "SPIREC00.bin";
    name[6] = tag;
    fs::path path;
    for (std::size_t i = 0;; ++i) {
        name[7] = kUniqueness[i];
        path = dir / name;
        std::error_code ec;
        if (!fs::exists(path, ec)) break;
        if (kUniqueness[i + 1] == '\0') {
            ui.setStatusText(kPanelMessages, "Create File Error" + path.string());
            return false;
        }
        ui.processEvents();
    }
    // The per-user folder the logs fall back to may not exist yet.
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out.is_open()) {
        out.write(reinterpret_cast<const char*>(record512.data()), kSector);
        out.close();
    }
    if (!out) {
        ui.messageBox("Fail to create file", "GetSPIFWInfo:", BoxButtons::Ok, BoxIcon::Error);
        return false;
    }
    ui.setStatusText(kPanelMessages, "Svae File OK :" + path.string());
    return true;
}

bool StartUpgrade(FirmwareState& fw, DeviceState& dev, FirmwareProgress& progress, const fs::path& dumpDir,
                  UpgradeOutcome* outcome, const UpgradeLog& log) {
    if (outcome != nullptr) *outcome = {};
    BusyGuard busy(fw.busy);
    if (!busy.held()) return false;
    Ui& ui = dev.ui;

    const std::vector<std::uint8_t>& bytes = fw.image.bytes;
    // An image always ends with its record area; anything shorter has no template.
    if (bytes.size() < image::kRecordAreaSize) {
        showMessage(ui, "Please Load Firmware File First ");
        return false;
    }
    // One enclosure from the first request to the last, and no other
    // operation, of this process or another, in between.
    DeviceClaim claim(dev);
    if (!claim.held()) return false;
    if (!SendVuMode(dev, kModeEnterUpdate)) return false;
    const auto abort = [&] {
        busy.release();
        SendVuMode(dev, kModeLeaveUpdate);
        return false;
    };

    const std::span<const std::uint8_t> tmpl(bytes.data() + bytes.size() - image::kRecordAreaSize,
                                             image::kRecordSize);
    Record current{};
    // A sequence of 128 or more has no slot in the ring.
    if (!ReadSpiRecord(dev, current.data()) ||
        current[image::record::kSequenceNumber] >= image::kRecordSlots) {
        showMessage(ui, "Get SPI Record fail ");
        return abort();
    }
    std::uint32_t freeSlot = 0;
    const auto freeAddressError = [&] {
        DumpRecord(ui, dumpDir, 'A', current);
        showPlain(ui, "SPI Free address Error!!");
        return abort();
    };
    // The checks on the record, again when it was read again.
    const auto recordRefused = [&](std::optional<std::uint32_t> recordBase) {
        if (tmpl[image::record::kConfigVersion] != current[image::record::kConfigVersion]) {
            showPlain(ui, "SPI Configuration Version Error");
            return abort(), true;
        }
        freeSlot = readLe24(current, image::record::kFreeSlotAddress);
        // A free slot that a code entry names holds code the bridge may boot.
        if (!isSlotAligned(freeSlot) || slotInUse(current, freeSlot) ||
            (recordBase && !isUsableSlot(freeSlot, *recordBase)))
            return freeAddressError(), true;
        return false;
    };
    if (recordRefused(std::nullopt)) return false;

    Record head{};
    if (!SpiRead(dev, 0, kSpiReadStep, head.data())) {
        showMessage(ui, "Get First 128 Data fail ");
        return abort();
    }
    const std::uint32_t recordBase = readLe24(head, image::kRecordAreaAddressOffset);
    if (!hasImageSignature(head) || !isSoundRecordBase(recordBase)) {
        showMessage(ui, "There is a wrong data header from SPI.");
        return abort();
    }
    if (!recordReadReaches(dev, recordBase)) {
        showMessage(ui, "The SPI record area at 0x" + hex(recordBase, 6) +
                            " is out of reach of the record read on the USB route.");
        return abort();
    }
    if (!isUsableSlot(freeSlot, recordBase)) return freeAddressError();

    const auto marked = [&](std::size_t k) {
        const std::size_t at = codeEntryOffset(k);
        return tmpl[at + image::entry::kUpdateMark] == image::kUpdateMark &&
               tmpl[at + image::entry::kCodeType] != image::kEmptyCodeType;
    };
    unsigned total = 0;
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) total += marked(k) ? 1 : 0;

    // Before anything is written, the ring is read and brought back to a shape
    // the appends can extend: what an earlier fault left is repaired.
    RingWriter ring(dev, recordBase);
    if (total != 0) {
        // The record read must be the ring's newest, before anything is
        // repaired (a head read wrong would show a ring elsewhere) and after:
        // one garbled on its way is read again.
        const auto readAgrees = [&](bool readFirst) {
            bool agrees = !readFirst && servesNewest(current, ring);
            for (unsigned i = 0; i < 3 && !agrees; ++i)
                agrees = ReadSpiRecord(dev, current.data()) && servesNewest(current, ring);
            if (!agrees) showMessage(ui, "Get SPI Record fail ");
            return agrees;
        };
        std::string repaired, failure;
        if (!ring.load()) {
            showMessage(ui, "Get SPI Record fail ");
            return abort();
        }
        if (!readAgrees(false)) return abort();
        if (!ring.repair(repaired, failure)) {
            showMessage(ui, failure);
            return abort();
        }
        if (!repaired.empty()) {
            ui.setStatusText(kPanelMessages, repaired);
            if (log) log("D" + std::to_string(dev.selectedDevice + 1) + " " + repaired);
            if (!readAgrees(true)) return abort();
        }
        if (recordRefused(recordBase)) return false;
    }
    Record working = current;
    std::copy_n(tmpl.begin() + image::record::kTemplateBlock, image::record::kTemplateBlockSize,
                working.begin() + image::record::kTemplateBlock);

    progress.setTitle("Firmware Update...");
    progress.setCaption("");
    dev.spiProgress.store(0);
    progress.setProgressMaximum(total * kProgressPerCodeType);
    progress.setProgressPosition(0);
    progress.setPanelVisible(true);
    progress.startTimer();

    std::vector<std::uint8_t> readback(image::kCodeSlotSize);
    unsigned done = 0;
    unsigned n = 0;
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
        ui.processEvents();
        if (!marked(k)) continue;
        const std::size_t entryAt = codeEntryOffset(k);
        const std::uint8_t type = tmpl[entryAt + image::entry::kCodeType];
        const bool exempt = type == image::kExemptCodeType;
        ++n;
        progress.setCaption("Process " + std::to_string(n) + " / " + std::to_string(total));

        // The exempt type may sit anywhere, but never past the end of the image.
        const std::uint32_t source = readLe24(tmpl, entryAt + image::entry::kSlotAddress);
        if ((!exempt && !isSlotAligned(source)) ||
            std::uint64_t{source} + image::kCodeSlotSize > bytes.size()) {
            showPlain(ui, "FileOffset Error of bin file!!");
            continue;
        }
        const std::optional<std::size_t> p = findEntry(working, type);
        if (!p) {
            showPlain(ui, "Firmware Type not found");
            continue;
        }
        const std::size_t slotAt = codeEntryOffset(*p) + image::entry::kSlotAddress;
        const std::uint32_t oldSlot = readLe24(working, slotAt);
        if (!exempt && !isSlotAligned(oldSlot)) {
            DumpRecord(ui, dumpDir, static_cast<char>('0' + *p), current);
            showPlain(ui, "SPI_Offset Error on current firmware!!");
            continue;
        }

        // Erase and program failures are left to the comparison to catch.
        const std::uint8_t* code = bytes.data() + source;
        if (SpiErase(dev, freeSlot, image::kCodeSlotSize)) ui.setStatusText(kPanelMessages, "SPI Erase OK");
        if (SpiWrite(dev, freeSlot, image::kCodeSlotSize, code))
            ui.setStatusText(kPanelMessages, "SPI Page Program OK");
        const bool readOk = SpiRead(dev, freeSlot, image::kCodeSlotSize, readback.data());
        if (!readOk || !std::equal(readback.begin(), readback.end(), code)) {
            const std::string text = "CodeType 0x" + hex(type, 2) + " Verify Fail";
            ui.setStatusText(kPanelMessages, text);
            showWarning(ui, text);
            continue;
        }
        ui.setStatusText(kPanelMessages, "CodeType 0x" + hex(type, 2) + " Verify OK.");
        writeLe24(working, slotAt, freeSlot);

        const std::optional<std::uint32_t> next = nextFreeSlot(working, freeSlot, recordBase);
        if (!next) {
            showWarning(ui, "No Free Sapce in SPI");
            break;
        }
        freeSlot = *next;
        writeLe24(working, image::record::kFreeSlotAddress, freeSlot);
        // The ring's reads and checks are not among the 204 units a code type
        // shows: the bar stands still meanwhile.
        progress.stopTimer();
        const std::uint32_t progressBefore = dev.spiProgress.load();
        RingRecord record{};
        std::copy_n(working.begin(), image::kRecordSize, record.begin());
        const RingWriter::Append appended = ring.append(record);
        dev.spiProgress.store(progressBefore);
        progress.startTimer();
        if (appended == RingWriter::Append::NotWritten) {
            ui.setStatusText(kPanelMessages, "SPI Record Write Fail");
            break;
        }
        std::copy_n(ring.record(*ring.newest()).begin(), image::kRecordSize, working.begin());
        ++done;
        // It stands, but no record may follow while the sector behind it is unerased.
        if (appended == RingWriter::Append::ErasePending) {
            ui.setStatusText(kPanelMessages, "SPI Record Erase Fail");
            break;
        }
    }

    progress.stopTimer();
    progress.setPanelVisible(false);
    showWarning(ui, "Firmware Upgrade " + std::to_string(done) + "/" + std::to_string(total) +
                        "completed!\n" + "\nPlease power off this device or the system," +
                        "\nand power on it to enable the new firmware!");
    SendVuMode(dev, kModeLeaveUpdate);
    busy.release();
    if (outcome != nullptr) *outcome = {true, done, total};
    return done == total;
}

}  // namespace ardenvel
