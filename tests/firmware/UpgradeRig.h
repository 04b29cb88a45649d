#pragma once
// One emulated enclosure selected as the device, a loaded image, and the
// progress displays recorded: what every upgrade test starts from.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"
#include "firmware/Upgrade.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using RecordBytes = std::array<std::uint8_t, image::kRecordSize>;

class RecordingProgress : public FirmwareProgress {
public:
    void setTitle(const std::string& text) override { title = text; }
    void setCaption(const std::string& text) override { captions.push_back(text); }
    void setPanelVisible(bool shown) override {
        visible = shown;
        ++visibilityChanges;
    }
    void setProgressMaximum(std::uint32_t m) override { maximum = m; }
    void setProgressPosition(std::uint32_t p) override { positions.push_back(p); }
    void startTimer() override { timerRunning = true; }
    void stopTimer() override { timerRunning = false; }

    std::string title;
    std::vector<std::string> captions;
    bool visible = false;
    unsigned visibilityChanges = 0;
    std::uint32_t maximum = 0;
    std::vector<std::uint32_t> positions;
    bool timerRunning = false;
};

inline std::uint32_t wordFor(virt::Route route) {
    switch (route) {
        case virt::Route::UsbShift: return kUsbPath | kShiftPath;
        case virt::Route::UsbNoShift:
        case virt::Route::UsbQuery: return kUsbPath;
        case virt::Route::Lba:
        case virt::Route::LbaAta: return kLbaPath;
        case virt::Route::Ata: return kAtaPath;
    }
    return 0;
}

inline Bytes generate(const image::ImageSpec& layout) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(image::generateImage(layout, out, error)) << error;
    return out;
}

// An image of version "v2" that marks exactly `codes` for update.
inline image::ImageSpec imageMarking(std::vector<image::CodeSpec> codes, std::string tag = "v2") {
    image::ImageSpec layout;
    layout.codes = std::move(codes);
    layout.useDefaultCodes = false;
    layout.versionTag = std::move(tag);
    return layout;
}

inline std::string hexText(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

inline std::string completion(unsigned done, unsigned total) {
    return "Firmware Upgrade " + std::to_string(done) + "/" + std::to_string(total) + "completed!\n" +
           "\nPlease power off this device or the system," + "\nand power on it to enable the new firmware!";
}

struct Rig {
    explicit Rig(virt::Route route, virt::EnclosureConfig config = {})
        : dev(host, ui, clock), enc(host.addEnclosure(0, withRoute(config, route))) {
        host.setTraceEnabled(false);
        dev.tables.deviceTable[0] = wordFor(route);
        dev.tables.deviceCount = 1;
        dev.selectedDevice = 0;
        // Timer1 ticks whenever the window gets to run.
        ui.onProcessEvents = [this] {
            if (progress.timerRunning) ProgressTimerTick(dev, progress);
            if (onStep) onStep();
        };
        // Test programs run side by side and may place their rigs at the
        // same address: the random part keeps their folders apart.
        dumpDir = fs::temp_directory_path() / ("ardenvel-fw-" + std::to_string(std::random_device{}()) + "-" +
                                               std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::create_directories(dumpDir);
    }
    ~Rig() {
        std::error_code ec;
        fs::remove_all(dumpDir, ec);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    static virt::EnclosureConfig withRoute(virt::EnclosureConfig c, virt::Route route) {
        c.route = route;
        return c;
    }

    void load(const Bytes& bytes) { fw.image.bytes = bytes; }
    void load(const image::ImageSpec& layout) { load(generate(layout)); }
    bool upgrade() {
        return StartUpgrade(fw, dev, progress, dumpDir, &outcome,
                            [this](const std::string& line) { logLines.push_back(line); });
    }
    UpgradeOutcome outcome;
    std::vector<std::string> logLines;  // what the upgrade gave the day's log

    Bytes& flash() { return enc.flash(); }
    std::uint32_t recordBase() const { return enc.recordAreaAddress(); }
    std::span<std::uint8_t> ring() {
        return std::span(flash()).subspan(recordBase(), image::kRecordAreaSize);
    }
    std::span<std::uint8_t> ringSlot(unsigned slot) {
        return ring().subspan(slot * image::kRecordSize, image::kRecordSize);
    }

    // The newest record as the bridge finds it, straight from the flash.
    RecordBytes newest() const {
        RecordBytes r{};
        r.fill(0xFF);
        if (const auto at = enc.newestRecordAddress())
            std::copy_n(enc.flash().begin() + *at, image::kRecordSize, r.begin());
        return r;
    }
    std::uint32_t newestSlot() const {
        const auto at = enc.newestRecordAddress();
        return at ? (*at - recordBase()) / image::kRecordSize : ~0u;
    }

    // Edits the newest record on the flash; its checksum is made right again.
    template <class F>
    void editRecord(F&& edit) {
        const auto at = enc.newestRecordAddress();
        ASSERT_TRUE(at.has_value());
        std::span<std::uint8_t> rec(flash().data() + *at, image::kRecordSize);
        edit(rec);
        writeLe16(rec, image::record::kChecksum, image::recordChecksum(rec));
    }

    // Moves the newest record to ring slot `slot` with that sequence, older
    // records (with the sequences before it) in the slots of its sector before it.
    void placeRecordAt(unsigned slot, bool withOlderInSector = false) {
        const RecordBytes rec = newest();
        std::fill(ring().begin(), ring().end(), 0xFF);
        const unsigned first = withOlderInSector ? slot - slot % 16 : slot;
        for (unsigned s = first; s <= slot; ++s) writeRecordAt(s, rec);
    }
    // A whole copy of `rec` in `slot`, its sequence and checksum its own.
    void writeRecordAt(unsigned slot, const RecordBytes& rec) {
        const std::span<std::uint8_t> at = ringSlot(slot);
        std::copy(rec.begin(), rec.end(), at.begin());
        at[image::record::kSequenceNumber] = static_cast<std::uint8_t>(slot);
        writeLe16(at, image::record::kChecksum, image::recordChecksum(at));
    }

    static std::uint32_t slotOf(std::span<const std::uint8_t> rec, std::uint8_t type) {
        for (std::size_t k = 0; k < image::record::kCodeEntries; ++k)
            if (rec[image::codeEntryOffset(k)] == type) return readLe24(rec, image::codeEntryOffset(k) + 1);
        return ~0u;
    }
    bool slotHolds(std::uint32_t slot, const Bytes& code) const {
        if (slot + code.size() > enc.flash().size()) return false;
        return std::equal(code.begin(), code.end(), enc.flash().begin() + slot);
    }

    std::vector<std::string> boxTexts() const { return ui.boxTexts(); }
    unsigned upgradeOutcome(unsigned& total) const {
        unsigned done = ~0u;
        total = ~0u;
        for (const auto& b : ui.boxes)
            if (b.text.rfind("Firmware Upgrade ", 0) == 0)
                std::sscanf(b.text.c_str(), "Firmware Upgrade %u/%u", &done, &total);
        return done;
    }

    virt::VirtualHost host;
    TestUi ui;
    FixedClock clock;
    DeviceState dev;
    virt::VirtualEnclosure& enc;
    FirmwareState fw;
    RecordingProgress progress;
    fs::path dumpDir;
    std::function<void()> onStep;  // at every step where the window may run
};

}  // namespace ardenvel::test
