// libFuzzer target over image loading and the upgrade against the emulated
// enclosure. The input picks a route and a fault, patches the image's
// template record, the flash record and the flash head, or is taken as a
// firmware file. Whatever it does, the upgrade may change only code slots
// below the head's record base and outside the bridge's own record ring, and
// that ring, never the boot area; and a record ring that was sound stays
// sound at every change the bridge makes.

#include <cstdio>
#include <cstring>
#include <memory>

#include "device/ByteOrder.h"
#include "firmware/FirmwareLoad.h"
#include "firmware/ImageLayout.h"
#include "firmware/RecordRing.h"
#include "firmware/Upgrade.h"
#include "fuzz/FuzzInput.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A file whose bytes repeat the input, with its length chosen by the input.
class PatternFile : public FirmwareFile {
public:
    PatternFile(const std::uint8_t* data, std::size_t size, std::uint64_t length, unsigned failAt)
        : data_(data), size_(size), length_(length), failAt_(failAt) {}
    std::uint64_t size() override { return length_; }
    bool readByte(std::uint64_t index, std::uint8_t& out) override {
        if (index == failAt_ && failures_ < 2) return ++failures_, false;
        out = byteAt(index);
        return true;
    }
    std::uint8_t byteAt(std::uint64_t i) const { return size_ ? data_[i % size_] : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t length_;
    unsigned failAt_;
    unsigned failures_ = 0;
};

class PatternOpener : public FirmwareFileOpener {
public:
    std::unique_ptr<FirmwareFile> open(const std::string&) override { return std::move(file); }
    std::unique_ptr<FirmwareFile> file;
};

struct World {
    World() : dev(host, ui, clock) {
        host.setTraceEnabled(false);
        for (virt::Route r : {virt::Route::Lba, virt::Route::UsbShift, virt::Route::Ata}) {
            virt::EnclosureConfig c;
            c.route = r;
            enclosures.push_back(&host.addEnclosure(static_cast<unsigned>(enclosures.size()), c));
        }
        fresh = enclosures[0]->flash();
        image::ImageSpec layout;
        layout.versionTag = "v2";
        layout.codes = {{0x31, 0xC000, true}, {0x32, 0x18000, false}, {0x35, 0x24000, false}};
        std::string error;
        FUZZ_CHECK(image::generateImage(layout, baseImage, error));
        dev.tables.deviceCount = 3;
        dev.tables.deviceTable[0] = 0 | kLbaPath;
        dev.tables.deviceTable[1] = 1 | kUsbPath | kShiftPath;
        dev.tables.deviceTable[2] = 2 | kAtaPath;
    }

    virt::VirtualHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev;
    std::vector<virt::VirtualEnclosure*> enclosures;
    Bytes fresh, baseImage;
    FirmwareState fw;
    QuietProgress progress;
};

World& world() {
    static World w;
    return w;
}

void fuzzLoad(World& w, Input in) {
    const std::uint8_t shape = in.byte();
    FirmwareState fw;
    PatternOpener opener;
    std::uint64_t length = in.n;
    // Now and then a file long enough to pass; reading one is slow.
    if ((shape & 0x7F) == 0x01) length = image::kConfigVersionCheckOffset + 1 + in.word();
    if ((shape & 0x7F) == 0x02) length = kMaxFirmwareFileSize + 1 + in.byte();
    const unsigned failAt = (shape & 0x80) ? in.byte() : ~0u;
    auto file = std::make_unique<PatternFile>(in.p, in.n, length, failAt);
    const PatternFile& view = *file;
    opener.file = std::move(file);

    w.ui.boxes.clear();
    const bool accepted = LoadFirmwareFile(fw, w.ui, "fuzz.bin", opener);
    if (!accepted) {
        FUZZ_CHECK(!fw.image.loaded());
        return;
    }
    FUZZ_CHECK(length <= kMaxFirmwareFileSize);
    FUZZ_CHECK(fw.image.length() == length);
    FUZZ_CHECK(isAcceptableImage(fw.image.bytes.data(), length));
    Bytes expected(length);
    std::uint32_t sum = 0;
    for (std::uint64_t i = 0; i < length; ++i) sum += expected[i] = view.byteAt(i);
    FUZZ_CHECK(std::memcmp(expected.data(), fw.image.bytes.data(), length) == 0);
    char text[20];
    std::snprintf(text, sizeof text, "Chksum:%08X", sum);
    FUZZ_CHECK(w.ui.panel(kPanelChecksum) == text);
}

void patchRecord(Input& in, std::span<std::uint8_t> rec, unsigned count, bool fixChecksum) {
    for (unsigned i = 0; i < count; ++i) {
        const std::uint8_t at = in.byte();
        rec[at] = in.byte();
    }
    if (fixChecksum) writeLe16(rec, image::record::kChecksum, image::recordChecksum(rec));
}

void fuzzUpgrade(World& w, Input in) {
    const std::uint8_t control = in.byte();
    const std::uint8_t counts = in.byte();
    const std::uint16_t faultAt = in.word();
    const unsigned routeIndex = (control & 0x03) % 3;
    virt::VirtualEnclosure& enc = *w.enclosures[routeIndex];
    w.dev.selectedDevice = static_cast<std::uint8_t>(routeIndex);

    Bytes& flash = enc.flash();
    flash = w.fresh;
    w.fw.image.bytes = w.baseImage;
    const std::uint32_t imageBase = static_cast<std::uint32_t>(w.baseImage.size() - image::kRecordAreaSize);
    patchRecord(in, std::span(w.fw.image.bytes).subspan(imageBase, image::kRecordSize), counts & 0x07, false);
    std::span<std::uint8_t> flashRecord(flash.data() + 0x78000, image::kRecordSize);
    patchRecord(in, flashRecord, (counts >> 3) & 0x07, (control & 0x04) == 0);
    if (control & 0x08) {
        // Sequence: where the record sits in the ring.
        const std::uint8_t seq = in.byte() & 0x7F;
        Bytes rec(flashRecord.begin(), flashRecord.end());
        std::fill(flashRecord.begin(), flashRecord.end(), 0xFF);
        rec[0] = seq;
        writeLe16(rec, image::record::kChecksum, image::recordChecksum(rec));
        std::copy(rec.begin(), rec.end(), flash.begin() + 0x78000 + seq * image::kRecordSize);
    }
    if (control & 0x10) {
        // The head: signature and record base.
        for (unsigned i = 0, m = (counts >> 6) + 1; i < m; ++i) {
            const std::uint8_t at = in.byte() % 20;
            flash[at] = in.byte();
        }
    }

    const unsigned at = faultAt % 1400 + 1;
    virt::EnclosureFaults own;
    switch (((control >> 5) & 0x03) | ((control & 0x80) ? 4 : 0)) {
        case 1: w.host.failRequest(at); break;
        case 2: w.host.cutPowerAfter(at - 1); break;
        case 3: w.host.dropWritesFrom(at); break;
        case 4:
            own.tornRequest = at;
            own.tornFraction = static_cast<std::uint8_t>(in.byte() | 1);
            break;
        case 5: own.staleRead = at; break;
        case 6: own.garbledRead = at; break;
        case 7: own.droppedWrite = at; break;
        default: break;
    }
    enc.setFaults(own);
    const Bytes before = flash;
    const std::uint32_t ring = enc.recordAreaAddress();
    const auto ringBytes = [&] {
        return std::span<const std::uint8_t>(flash).subspan(ring, image::kRecordAreaSize);
    };
    const bool soundBefore = ring::ringFault(ringBytes(), ring).empty();
    const unsigned breaksBefore = enc.counters().ringBreaks;
    w.ui.boxes.clear();
    w.ui.panelHistory.clear();
    StartUpgrade(w.fw, w.dev, w.progress, "/nonexistent-ardenvel-dump-dir");
    w.host.clearFaults();
    w.host.powerOn();
    enc.setFaults({});

    // The bridge checked its ring at every change; a sound ring stays sound.
    if (enc.counters().ringBreaks != breaksBefore) std::fprintf(stderr, "%s\n", enc.ringBreak().c_str());
    FUZZ_CHECK(enc.counters().ringBreaks == breaksBefore);
    if (soundBefore) {
        const std::string fault = ring::ringFault(ringBytes(), ring);
        if (!fault.empty()) std::fprintf(stderr, "%s\n", fault.c_str());
        FUZZ_CHECK(fault.empty());
    }

    FUZZ_CHECK(!w.fw.busy.load());
    FUZZ_CHECK(!enc.updateMode() && !enc.spiAccessOpen() && !enc.lowAreaUnlocked());
    FUZZ_CHECK(flash.size() == before.size());
    FUZZ_CHECK(std::memcmp(before.data(), flash.data(), image::kBootAreaEnd) == 0);
    // The head's base is taken at its word (on the sector routes the host
    // cannot learn the flash's size), so it bounds the code slots; the ring
    // the bridge itself keeps is what must never take code.
    const std::uint32_t base = readLe24(before, image::kRecordAreaAddressOffset);
    const auto inRing = [&](std::size_t a) { return a >= ring && a < ring + image::kRecordAreaSize; };
    const bool headSigned = std::memcmp(before.data(), image::kImageSignature, 4) == 0;
    // Compared in 256-byte pieces: a byte loop here would cost more than the upgrade.
    for (std::size_t a = image::kBootAreaEnd; a < flash.size(); a += image::kPageSize) {
        if (std::memcmp(flash.data() + a, before.data() + a, image::kPageSize) == 0) continue;
        FUZZ_CHECK(headSigned);
        const std::size_t slot = a - a % image::kCodeSlotSize;
        const bool codeSlot = slot != 0 && slot + image::kCodeSlotSize <= base &&
                              (slot + image::kCodeSlotSize <= ring || slot >= ring + image::kRecordAreaSize);
        FUZZ_CHECK(inRing(a) || codeSlot);
    }
}

}  // namespace
}  // namespace ardenvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ardenvel::fuzz;
    World& w = world();
    Input in{data, size};
    if (in.byte() & 0x80)
        fuzzLoad(w, in);
    else
        fuzzUpgrade(w, in);
    return 0;
}
