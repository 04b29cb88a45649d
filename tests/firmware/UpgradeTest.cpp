#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "firmware/RecordRing.h"
#include "tests/firmware/UpgradeRig.h"
#include "tests/support/ScratchDir.h"

namespace ardenvel::test {
namespace {

using image::CodeSpec;
using virt::Route;
constexpr std::uint32_t kSlot = image::kCodeSlotSize;

class UpgradeTest : public ::testing::TestWithParam<Route> {
protected:
    // Flash v1 with the generator's defaults: 0x31, 0x32, 0x35 in slots 1-3, free slot 4.
    Rig rig{GetParam()};

    Bytes code(std::uint8_t type, const std::string& tag = "v2") {
        return image::codeSlotContents(type, tag);
    }
    Bytes boot() const {
        return Bytes(rig.enc.flash().begin(), rig.enc.flash().begin() + image::kBootAreaEnd);
    }
    void expectBootUntouched(const Bytes& before) {
        EXPECT_TRUE(std::equal(before.begin(), before.end(), rig.flash().begin())) << "boot area changed";
        EXPECT_EQ(rig.enc.counters().blockedFlashCommands, 0u);
    }
    void expectBridgeLeftClosed() {
        EXPECT_FALSE(rig.enc.updateMode());
        EXPECT_FALSE(rig.enc.spiAccessOpen());
        EXPECT_FALSE(rig.enc.lowAreaUnlocked());
        EXPECT_FALSE(rig.fw.busy.load());
    }
    bool isUsb() const { return virt::isUsb(GetParam()); }
};

TEST_P(UpgradeTest, MarkedCodeTypesMoveToFreeSlotsAndEachGetsOneRecord) {
    rig.load(imageMarking({{0x31, kSlot, true}, {0x32, 2 * kSlot, true}, {0x35, 3 * kSlot, true}}));
    const Bytes bootBefore = boot();
    const Bytes oldFlash = rig.flash();
    bool updateModeSeen = false;
    rig.onStep = [&] { updateModeSeen = updateModeSeen || rig.enc.updateMode(); };

    ASSERT_TRUE(rig.upgrade());

    EXPECT_EQ(rig.boxTexts(), std::vector<std::string>{completion(3, 3)});
    EXPECT_EQ(rig.ui.boxes[0].caption, "Firmware Upgrade Message");
    EXPECT_EQ(rig.ui.boxes[0].icon, BoxIcon::Warning);
    EXPECT_EQ(updateModeSeen, !isUsb());

    // Codes in slots 4, 5, 6; the record names them and the slot after.
    const RecordBytes rec = rig.newest();
    EXPECT_EQ(rig.newestSlot(), 3u);
    EXPECT_EQ(rec[0], 3);
    EXPECT_EQ(readLe16(rec, image::record::kChecksum), image::recordChecksum(rec));
    EXPECT_EQ(Rig::slotOf(rec, 0x31), 4 * kSlot);
    EXPECT_EQ(Rig::slotOf(rec, 0x32), 5 * kSlot);
    EXPECT_EQ(Rig::slotOf(rec, 0x35), 6 * kSlot);
    EXPECT_EQ(readLe24(rec, image::record::kFreeSlotAddress), 7 * kSlot);
    EXPECT_TRUE(rig.slotHolds(4 * kSlot, code(0x31)));
    EXPECT_TRUE(rig.slotHolds(5 * kSlot, code(0x32)));
    EXPECT_TRUE(rig.slotHolds(6 * kSlot, code(0x35)));
    // The old codes stay where they were until a later upgrade reuses the slot.
    EXPECT_TRUE(rig.slotHolds(kSlot, code(0x31, "v1")));

    // The template block comes from the image; the rest is the flash's own.
    const Bytes img = generate(imageMarking({}));
    const std::size_t tmplAt = img.size() - image::kRecordAreaSize;
    EXPECT_TRUE(std::equal(rec.begin() + image::record::kTemplateBlock,
                           rec.begin() + image::record::kTemplateBlock + image::record::kTemplateBlockSize,
                           img.begin() + tmplAt + image::record::kTemplateBlock));
    const std::uint32_t base = rig.recordBase();
    EXPECT_EQ(rec[image::record::kChipOption], oldFlash[base + image::record::kChipOption]);

    // One record per code type, consecutive, each carrying the changes before it.
    for (unsigned s = 1; s <= 3; ++s) {
        std::span<const std::uint8_t> r(rig.flash().data() + base + s * image::kRecordSize,
                                        image::kRecordSize);
        EXPECT_EQ(r[0], s);
        EXPECT_EQ(readLe16(r, image::record::kChecksum), image::recordChecksum(r)) << s;
        EXPECT_EQ(Rig::slotOf(r, 0x31), 4 * kSlot);
        EXPECT_EQ(Rig::slotOf(r, 0x32), s >= 2 ? 5 * kSlot : 2 * kSlot);
        EXPECT_EQ(Rig::slotOf(r, 0x35), s >= 3 ? 6 * kSlot : 3 * kSlot);
    }
    // Nothing outside the three new slots and the record area changed.
    for (std::uint32_t a = 0; a < base; ++a) {
        if (a >= 4 * kSlot && a < 7 * kSlot) continue;
        if (rig.flash()[a] != oldFlash[a]) {
            ADD_FAILURE() << "changed at " << hexText(a);
            break;
        }
    }
    expectBootUntouched(bootBefore);
    expectBridgeLeftClosed();
}

TEST_P(UpgradeTest, ProgressShowsEachCodeTypeAndCountsItsUnits) {
    rig.load(imageMarking({{0x31, kSlot, true}, {0x32, 2 * kSlot, false}, {0x35, 3 * kSlot, true}}));
    bool shownDuring = false;
    rig.onStep = [&] { shownDuring = shownDuring || rig.progress.visible; };
    ASSERT_TRUE(rig.upgrade());

    EXPECT_EQ(rig.progress.title, "Firmware Update...");
    EXPECT_EQ(rig.progress.captions, (std::vector<std::string>{"", "Process 1 / 2", "Process 2 / 2"}));
    EXPECT_EQ(rig.progress.maximum, 2 * kProgressPerCodeType);
    EXPECT_TRUE(shownDuring);
    EXPECT_FALSE(rig.progress.visible);
    EXPECT_FALSE(rig.progress.timerRunning);
    EXPECT_EQ(rig.dev.spiProgress.load(), 2 * kProgressPerCodeType);
    // Timer ticks copied the counter as it rose, never past the bar's end.
    ASSERT_GT(rig.progress.positions.size(), 2u);
    EXPECT_EQ(rig.progress.positions.front(), 0u);
    EXPECT_LE(*std::max_element(rig.progress.positions.begin(), rig.progress.positions.end()),
              rig.progress.maximum);
    EXPECT_GE(rig.progress.positions.back(), kProgressPerCodeType);

    const auto& history = rig.ui.panelHistory[kPanelMessages];
    for (const char* text :
         {"SPI Erase OK", "SPI Page Program OK", "CodeType 0x31 Verify OK.", "CodeType 0x35 Verify OK."})
        EXPECT_NE(std::find(history.begin(), history.end(), text), history.end()) << text;
}

TEST_P(UpgradeTest, NoMarkedCodeTypeGoesStraightToCompletion) {
    rig.load(imageMarking({{0x31, kSlot, false}, {0x32, 2 * kSlot, false}}));
    const Bytes before = rig.flash();
    EXPECT_TRUE(rig.upgrade());
    EXPECT_EQ(rig.boxTexts(), std::vector<std::string>{completion(0, 0)});
    EXPECT_EQ(rig.progress.maximum, 0u);
    EXPECT_EQ(rig.flash(), before);
    expectBridgeLeftClosed();
}

TEST_P(UpgradeTest, CodeTypeMissingFromFlashIsSkippedAndOthersUpgraded) {
    rig.load(imageMarking({{0x33, kSlot, true}, {0x32, 2 * kSlot, true}}));
    EXPECT_FALSE(rig.upgrade());
    EXPECT_EQ(rig.boxTexts(), (std::vector<std::string>{"Firmware Type not found", completion(1, 2)}));
    EXPECT_EQ(rig.ui.boxes[0].caption, "");
    const RecordBytes rec = rig.newest();
    EXPECT_EQ(rec[0], 1);
    EXPECT_EQ(Rig::slotOf(rec, 0x32), 4 * kSlot);
    EXPECT_TRUE(rig.slotHolds(4 * kSlot, code(0x32)));
}

TEST_P(UpgradeTest, FreeSlotSearchWrapsBelowTheRecordArea) {
    // Free slot 9 is the last below 0x78000: the next one is found from 0xC000 on.
    rig.editRecord(
        [](std::span<std::uint8_t> r) { writeLe24(r, image::record::kFreeSlotAddress, 9 * kSlot); });
    rig.load(imageMarking({{0x32, 2 * kSlot, true}}));
    ASSERT_TRUE(rig.upgrade());
    const RecordBytes rec = rig.newest();
    EXPECT_EQ(Rig::slotOf(rec, 0x32), 9 * kSlot);
    // From 0xC000 on: slot 1 is in use, slot 2 was just left.
    EXPECT_EQ(readLe24(rec, image::record::kFreeSlotAddress), 2 * kSlot);
    EXPECT_TRUE(rig.slotHolds(9 * kSlot, code(0x32)));
}

TEST_P(UpgradeTest, WhenEverySlotIsTakenTheVacatedOneIsNext) {
    // Nine code types: slots 1-8 taken, 9 free. Upgrading 0x34 (slot 4) leaves only slot 4.
    virt::EnclosureConfig config;
    for (std::uint8_t t = 0; t < 8; ++t)
        config.flashCodes.push_back({std::uint8_t(0x31 + t), (t + 1u) * kSlot, true});
    Rig full(GetParam(), config);
    EXPECT_EQ(readLe24(full.newest(), image::record::kFreeSlotAddress), 9 * kSlot);
    full.load(imageMarking({{0x34, 4 * kSlot, true}}));
    ASSERT_TRUE(full.upgrade());
    EXPECT_EQ(Rig::slotOf(full.newest(), 0x34), 9 * kSlot);
    EXPECT_EQ(readLe24(full.newest(), image::record::kFreeSlotAddress), 4 * kSlot);

    // Upgrading the next one reuses slot 4.
    full.ui.boxes.clear();
    full.load(imageMarking({{0x35, 5 * kSlot, true}}, "v3"));
    ASSERT_TRUE(full.upgrade());
    EXPECT_EQ(Rig::slotOf(full.newest(), 0x35), 4 * kSlot);
    EXPECT_TRUE(full.slotHolds(4 * kSlot, image::codeSlotContents(0x35, "v3")));
    EXPECT_EQ(readLe24(full.newest(), image::record::kFreeSlotAddress), 5 * kSlot);
}

TEST_P(UpgradeTest, NoFreeSlotLeftEndsTheLoopWithoutRecord) {
    // A tenth entry shares slot 1, so once 0x31 moves on no slot is free.
    virt::EnclosureConfig config;
    for (std::uint8_t t = 0; t < 8; ++t)
        config.flashCodes.push_back({std::uint8_t(0x31 + t), (t + 1u) * kSlot, true});
    Rig full(GetParam(), config);
    full.editRecord([](std::span<std::uint8_t> r) {
        const std::size_t at = image::codeEntryOffset(9);
        r[at] = 0x40;
        writeLe24(r, at + 1, kSlot);
    });
    full.load(imageMarking({{0x31, kSlot, true}, {0x32, 2 * kSlot, true}}));
    EXPECT_FALSE(full.upgrade());
    EXPECT_EQ(full.boxTexts(), (std::vector<std::string>{"No Free Sapce in SPI", completion(0, 2)}));
    EXPECT_EQ(full.ui.boxes[0].icon, BoxIcon::Warning);
    EXPECT_EQ(full.newestSlot(), 0u);
    EXPECT_EQ(full.progress.captions.back(), "Process 1 / 2");
}

TEST_P(UpgradeTest, SequenceWrapsFrom127ToSlotZeroAndErasesTheLastSector) {
    rig.placeRecordAt(127, true);
    rig.load(imageMarking({{0x31, kSlot, true}}));
    ASSERT_TRUE(rig.upgrade());
    EXPECT_EQ(rig.newestSlot(), 0u);
    const RecordBytes rec = rig.newest();
    EXPECT_EQ(rec[0], 0);
    EXPECT_EQ(Rig::slotOf(rec, 0x31), 4 * kSlot);
    const std::uint32_t lastSector = rig.recordBase() + image::kRecordAreaSize - image::kFlashSectorSize;
    EXPECT_TRUE(std::all_of(rig.flash().begin() + lastSector, rig.flash().begin() + lastSector + 0x1000,
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_P(UpgradeTest, FirstRecordOfASectorErasesTheSectorBefore) {
    rig.placeRecordAt(14, true);
    rig.load(imageMarking({{0x31, kSlot, true}, {0x32, 2 * kSlot, true}}));
    ASSERT_TRUE(rig.upgrade());
    // 15 lands beside its elders; 16 opens sector 1 and sector 0 goes.
    EXPECT_EQ(rig.newestSlot(), 16u);
    EXPECT_EQ(rig.newest()[0], 16);
    const std::uint32_t base = rig.recordBase();
    EXPECT_TRUE(std::all_of(rig.flash().begin() + base, rig.flash().begin() + base + 0x1000,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(Rig::slotOf(rig.newest(), 0x31), 4 * kSlot);
    EXPECT_EQ(Rig::slotOf(rig.newest(), 0x32), 5 * kSlot);
}

TEST_P(UpgradeTest, ExemptCodeTypeIsUpgradedFromAndOverUnalignedAddresses) {
    virt::EnclosureConfig config;
    config.flashCodes = {{0x31, kSlot, true}, {0x35, 0x24100, true}};
    Rig r(GetParam(), config);
    EXPECT_EQ(readLe24(r.newest(), image::record::kFreeSlotAddress), 2 * kSlot);
    Bytes img = generate(imageMarking({{0x35, 0x31234, true}}));
    for (std::size_t i = 0; i < kSlot; ++i) img[0x31234 + i] = static_cast<std::uint8_t>(i * 7 + 3);
    r.load(img);
    ASSERT_TRUE(r.upgrade());
    EXPECT_EQ(Rig::slotOf(r.newest(), 0x35), 2 * kSlot);
    EXPECT_TRUE(r.slotHolds(2 * kSlot, Bytes(img.begin() + 0x31234, img.begin() + 0x31234 + kSlot)));
}

// --- failures that stop before anything is written -------------------------

TEST_P(UpgradeTest, NothingRunsWithoutImageOrWhileBusy) {
    const unsigned before = rig.host.requestCount();
    EXPECT_FALSE(rig.upgrade());
    EXPECT_EQ(rig.boxTexts(), std::vector<std::string>{"Please Load Firmware File First "});
    EXPECT_EQ(rig.ui.boxes[0].caption, "Message");
    EXPECT_FALSE(rig.fw.busy.load());

    rig.load(imageMarking({{0x31, kSlot, true}}));
    rig.fw.busy = true;
    EXPECT_FALSE(rig.upgrade());
    EXPECT_EQ(rig.ui.boxes.size(), 1u);
    EXPECT_TRUE(rig.fw.busy.load());
    EXPECT_EQ(rig.host.requestCount(), before);
}

TEST_P(UpgradeTest, UnusableFlashStateAbortsWithItsMessage) {
    struct Case {
        const char* name;
        std::function<void(Rig&)> setUp;
        std::string box;
        std::string caption;
        bool dumped;
    };
    const auto freeSlot = [](std::uint32_t v) {
        return [v](Rig& r) {
            r.editRecord(
                [v](std::span<std::uint8_t> rec) { writeLe24(rec, image::record::kFreeSlotAddress, v); });
        };
    };
    // The record area moved: the bridge follows the head, so the record goes
    // along, alone in what the new area holds of the flash.
    const auto recordBaseAt = [](std::uint32_t base) {
        return [base](Rig& r) {
            const RecordBytes rec = r.newest();
            const std::size_t end = std::min<std::size_t>(base + image::kRecordAreaSize, r.flash().size());
            std::fill(r.flash().begin() + base, r.flash().begin() + end, 0xFF);
            if (base + image::kRecordSize <= r.flash().size())
                std::copy(rec.begin(), rec.end(), r.flash().begin() + base);
            writeLe24(r.flash(), image::kRecordAreaAddressOffset, base);
        };
    };
    const std::vector<Case> cases = {
        {"sequence past the ring",
         [](Rig& r) { r.editRecord([](std::span<std::uint8_t> rec) { rec[0] = 0x80; }); },
         "Get SPI Record fail ", "Message", false},
        {"version differs", [](Rig& r) { r.editRecord([](std::span<std::uint8_t> rec) { rec[1] = 0xA1; }); },
         "SPI Configuration Version Error", "", false},
        {"free slot 0", freeSlot(0), "SPI Free address Error!!", "", true},
        {"free slot unaligned", freeSlot(4 * kSlot + 0x100), "SPI Free address Error!!", "", true},
        {"free slot in the record area", freeSlot(10 * kSlot), "SPI Free address Error!!", "", true},
        {"free slot in use", freeSlot(2 * kSlot), "SPI Free address Error!!", "", true},
        {"free slot reached by the exempt code",
         [](Rig& r) {
             r.editRecord(
                 [](std::span<std::uint8_t> rec) { writeLe24(rec, image::codeEntryOffset(2) + 1, 0x24100); });
         },
         "SPI Free address Error!!", "", true},
        {"head without signature", [](Rig& r) { r.flash()[2] = 'X'; },
         "There is a wrong data header from SPI.", "Message", false},
        {"record base unaligned", recordBaseAt(0x78100), "There is a wrong data header from SPI.", "Message",
         false},
        {"record base in the boot area", recordBaseAt(0x8000), "There is a wrong data header from SPI.",
         "Message", false},
        {"record area past the flash", recordBaseAt(0x7C000), "There is a wrong data header from SPI.",
         "Message", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(GetParam());
        c.setUp(r);
        r.load(imageMarking({{0x31, kSlot, true}}));
        const Bytes before = r.flash();
        const auto served = r.enc.currentRecord();
        EXPECT_FALSE(r.upgrade());
        EXPECT_EQ(r.boxTexts(), std::vector<std::string>{c.box});
        EXPECT_EQ(r.ui.boxes.at(0).caption, c.caption);
        EXPECT_EQ(r.flash(), before);
        EXPECT_FALSE(r.enc.updateMode());
        EXPECT_FALSE(r.fw.busy.load());
        EXPECT_TRUE(r.progress.captions.empty());
        const fs::path dump = r.dumpDir / "SPIRECA0.bin";
        EXPECT_EQ(fs::exists(dump), c.dumped);
        if (c.dumped) {
            std::ifstream in(dump, std::ios::binary);
            Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(saved, Bytes(served.begin(), served.end()));
            EXPECT_EQ(r.ui.panel(kPanelMessages), "Svae File OK :" + dump.string());
        }
    }
}

TEST_P(UpgradeTest, FailedHeadReadOrRecordReadAborts) {
    for (bool failHead : {false, true}) {
        SCOPED_TRACE(failHead ? "head" : "record");
        Rig r(GetParam());
        r.load(imageMarking({{0x31, kSlot, true}}));
        bool armed = false;  // the head read is the first stepping operation; lives as long as the hook
        if (failHead) {
            r.onStep = [&] {
                if (!armed) r.host.failRequest(1);
                armed = true;
            };
        } else {
            r.host.cutPowerAfter(isUsb() ? 0 : 1);  // mode 17 passes on the non-USB route
        }
        const Bytes before = r.flash();
        EXPECT_FALSE(r.upgrade());
        r.host.powerOn();
        EXPECT_EQ(r.boxTexts().at(0), failHead ? "Get First 128 Data fail " : "Get SPI Record fail ");
        EXPECT_EQ(r.ui.boxes[0].caption, "Message");
        EXPECT_FALSE(r.outcome.loopRan);
        EXPECT_EQ(r.flash(), before);
        EXPECT_FALSE(r.fw.busy.load());
    }
}

// --- per code type failures ------------------------------------------------

TEST_P(UpgradeTest, BadSlotAddressesSkipTheCodeType) {
    virt::EnclosureConfig config;
    config.flashCodes = {{0x31, kSlot, true}, {0x32, 2 * kSlot + 0x800, true}, {0x35, 3 * kSlot, true}};
    Rig r(GetParam(), config);
    // A free slot clear of 0x32, which reaches into slot 3.
    r.editRecord(
        [](std::span<std::uint8_t> rec) { writeLe24(rec, image::record::kFreeSlotAddress, 4 * kSlot); });
    // 0x31's image slot is unaligned; 0x35 (exempt) runs past the end of the image.
    r.load(imageMarking(
        {{0x31, kSlot + 4, true}, {0x32, 2 * kSlot, true}, {0x35, 0x75000, true}, {0x33, 0x78000, true}}));
    const Bytes before = r.flash();
    const auto served = r.enc.currentRecord();
    EXPECT_FALSE(r.upgrade());
    EXPECT_EQ(r.boxTexts(),
              (std::vector<std::string>{
                  "FileOffset Error of bin file!!", "SPI_Offset Error on current firmware!!",
                  "FileOffset Error of bin file!!", "FileOffset Error of bin file!!", completion(0, 4)}));
    EXPECT_EQ(r.flash(), before);
    // The flash entry of 0x32 is entry 1.
    std::ifstream in(r.dumpDir / "SPIREC10.bin", std::ios::binary);
    Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, Bytes(served.begin(), served.end()));
}

TEST_P(UpgradeTest, VerifyFailureLeavesTheRecordUnchanged) {
    enum class Fault { ProgramFails, ReadBackFails, WritesDropped, EraseFailsOverOldData };
    for (Fault f :
         {Fault::ProgramFails, Fault::ReadBackFails, Fault::WritesDropped, Fault::EraseFailsOverOldData}) {
        SCOPED_TRACE(static_cast<int>(f));
        Rig r(GetParam());
        r.load(imageMarking({{0x31, kSlot, true}}));
        const auto counters = [&] { return r.enc.counters(); };
        bool armed = false;
        if (f == Fault::EraseFailsOverOldData) std::fill_n(r.flash().begin() + 4 * kSlot, kSlot, 0x00);
        r.onStep = [&] {
            if (armed) return;
            const auto c = counters();
            if (f == Fault::ProgramFails && c.pagePrograms == 100) armed = true, r.host.failRequest(1);
            if (f == Fault::WritesDropped && c.pagePrograms == 10) armed = true, r.host.dropWritesFrom(1);
            if (f == Fault::ReadBackFails && c.pagePrograms == 192) armed = true, r.host.failRequest(1);
            if (f == Fault::EraseFailsOverOldData && c.sectorErases == 3) armed = true, r.host.failRequest(1);
        };
        const RecordBytes before = r.newest();
        EXPECT_FALSE(r.upgrade());
        EXPECT_TRUE(armed);
        EXPECT_EQ(r.boxTexts(), (std::vector<std::string>{"CodeType 0x31 Verify Fail", completion(0, 1)}));
        EXPECT_EQ(r.ui.boxes[0].caption, "Firmware Upgrade Message");
        EXPECT_TRUE(r.outcome.loopRan);
        EXPECT_EQ(r.outcome.done, 0u);
        EXPECT_EQ(r.outcome.total, 1u);
        EXPECT_EQ(r.ui.boxes[0].icon, BoxIcon::Warning);
        EXPECT_EQ(r.ui.panel(kPanelMessages), "CodeType 0x31 Verify Fail");
        EXPECT_EQ(r.newest(), before);
        EXPECT_EQ(r.newestSlot(), 0u);
        if (f == Fault::ReadBackFails) {
            EXPECT_TRUE(r.slotHolds(4 * kSlot, code(0x31)));
        }
    }
}

TEST_P(UpgradeTest, FailedEraseOfABlankSlotStillPassesTheComparison) {
    rig.load(imageMarking({{0x31, kSlot, true}}));
    bool armed = false;
    rig.onStep = [&] {
        // The loop's first step; the first sector erase follows (after mode 3 off USB).
        if (!armed && rig.progress.visible) rig.host.failRequest(isUsb() ? 1 : 2), armed = true;
    };
    EXPECT_TRUE(rig.upgrade());
    EXPECT_TRUE(armed);
    // The failed step ended the erase; the blank slot took the program anyway.
    EXPECT_EQ(rig.enc.counters().sectorErases, 0u);
    EXPECT_EQ(Rig::slotOf(rig.newest(), 0x31), 4 * kSlot);
}

TEST_P(UpgradeTest, RecordThatDidNotLandEndsTheRunUncounted) {
    rig.load(imageMarking({{0x31, kSlot, true}, {0x32, 2 * kSlot, true}}));
    bool armed = false;
    rig.onStep = [&] {
        // The first step after the code was verified: the record's own.
        if (!armed && rig.ui.panel(kPanelMessages) == "CodeType 0x31 Verify OK.") {
            armed = true;
            rig.host.dropWritesFrom(1);
        }
    };
    EXPECT_FALSE(rig.upgrade());
    EXPECT_TRUE(armed);
    EXPECT_EQ(rig.boxTexts(), std::vector<std::string>{completion(0, 2)});
    EXPECT_EQ(rig.ui.panel(kPanelMessages), "SPI Record Write Fail");
    EXPECT_EQ(rig.newestSlot(), 0u);
    EXPECT_EQ(rig.progress.captions.back(), "Process 1 / 2");
}

// What a fault or another writer left in the ring is repaired before the
// first write, said in one line and in the day's log; the bridge then boots a
// whole record that names the new code.
TEST_P(UpgradeTest, RingLeftByAFaultIsRepairedBeforeTheFirstWrite) {
    const auto copyNewestTo = [](Rig& r, unsigned slot) { r.writeRecordAt(slot, r.newest()); };
    struct Case {
        const char* name;
        std::function<void(Rig&)> shape;
        const char* says;
        unsigned newest;  // the new code's record
    };
    const std::vector<Case> cases = {
        {"newest out of turn",
         [](Rig& r) { r.editRecord([](std::span<std::uint8_t> rec) { rec[0] = 127; }); },
         "the record in slot 0, out of turn, is written again in turn", 2},
        {"torn newest",
         [](Rig& r) {
             r.placeRecordAt(5, true);
             std::fill(r.ringSlot(5).begin() + 60, r.ringSlot(5).end(), 0xFF);
         },
         "the torn record in slot 5 is followed by the record of slot 4", 7},
        {"append cut before its first byte",
         [&](Rig& r) {
             r.placeRecordAt(5, true);
             copyNewestTo(r, 6);
             r.ringSlot(6)[0] = 0xFF;
         },
         "1 unfinished record slot after slot 5 passed over", 8},
        {"erase behind a sector's first record still to come",
         [&](Rig& r) {
             r.placeRecordAt(15, true);
             copyNewestTo(r, 16);
         },
         "1 sector of older records erased", 17},
        {"sector behind left unerased by an older tool",
         [&](Rig& r) {
             r.placeRecordAt(15, true);
             for (unsigned s = 16; s <= 20; ++s) copyNewestTo(r, s);
         },
         "1 sector of older records erased", 21},
        {"last sector unerased after the wrap",
         [&](Rig& r) {
             r.placeRecordAt(127, true);
             copyNewestTo(r, 0);
         },
         "1 sector of older records erased", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(GetParam());
        c.shape(r);
        r.load(imageMarking({{0x31, kSlot, true}}));
        ASSERT_TRUE(r.upgrade());
        EXPECT_EQ(r.boxTexts(), std::vector<std::string>{completion(1, 1)});
        ASSERT_EQ(r.logLines.size(), 1u);
        const std::string line = r.logLines[0].substr(3);
        EXPECT_EQ(r.logLines[0].substr(0, 3), "D1 ");
        EXPECT_EQ(line.rfind("SPI record area repaired: ", 0), 0u) << line;
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        const auto& history = r.ui.panelHistory[kPanelMessages];
        EXPECT_NE(std::find(history.begin(), history.end(), line), history.end());

        EXPECT_EQ(r.newestSlot(), c.newest);
        const Bytes v2 = code(0x31);
        EXPECT_EQ(ring::ringFault(r.ring(), r.recordBase(),
                                  [&](std::uint8_t type, std::uint32_t at) {
                                      return type != 0x31 || r.slotHolds(at, v2);
                                  }),
                  "");
        EXPECT_EQ(r.enc.counters().ringBreaks, 0u) << r.enc.ringBreak();
    }
}

TEST_P(UpgradeTest, TornNewestRecordWithNothingWholeBeforeItStopsBeforeAnyWrite) {
    std::fill(rig.ringSlot(0).begin() + 60, rig.ringSlot(0).end(), 0xFF);
    rig.load(imageMarking({{0x31, kSlot, true}}));
    const Bytes before = rig.flash();
    EXPECT_FALSE(rig.upgrade());
    EXPECT_EQ(rig.boxTexts(),
              std::vector<std::string>{"SPI record area repair failed: the newest record is torn "
                                       "and no whole record precedes it."});
    EXPECT_EQ(rig.flash(), before);
    expectBridgeLeftClosed();
}

INSTANTIATE_TEST_SUITE_P(Routes, UpgradeTest, ::testing::Values(Route::Lba, Route::UsbShift),
                         [](const auto& info) { return info.param == Route::Lba ? "Lba" : "Usb"; });

// --- 1 MB flashes: the record area at 0xF8000, past SpiSize ------------------

Rig& largeFlash(std::unique_ptr<Rig>& rig, Route route) {
    virt::EnclosureConfig config;
    config.flashSize = 0x100000;
    rig = std::make_unique<Rig>(route, config);
    EXPECT_EQ(rig->recordBase(), 0xF8000u);
    image::ImageSpec plan = imageMarking({{0x31, kSlot, true}});
    plan.size = 0x100000;
    rig->load(plan);
    return *rig;
}

TEST(LargeFlashUpgrade, SectorRoutesUpgradeAndUsbRefusesARingItsRecordReadMisses) {
    for (Route route : {Route::Lba, Route::Ata, Route::UsbShift}) {
        SCOPED_TRACE(virt::routeName(route));
        std::unique_ptr<Rig> owner;
        Rig& r = largeFlash(owner, route);
        const Bytes before = r.flash();
        if (virt::isUsb(route)) {
            EXPECT_FALSE(r.upgrade());
            EXPECT_EQ(r.boxTexts(),
                      std::vector<std::string>{"The SPI record area at 0x0F8000 is out of reach "
                                               "of the record read on the USB route."});
            EXPECT_EQ(r.ui.boxes.at(0).caption, "Message");
            EXPECT_EQ(r.flash(), before);
            EXPECT_FALSE(r.fw.busy.load());
            continue;
        }
        ASSERT_TRUE(r.upgrade()) << r.boxTexts().at(0);
        EXPECT_EQ(r.boxTexts(), std::vector<std::string>{completion(1, 1)});
        EXPECT_EQ(*r.enc.newestRecordAddress(), 0xF8100u);
        EXPECT_EQ(Rig::slotOf(r.newest(), 0x31), 4 * kSlot);
        EXPECT_TRUE(r.slotHolds(4 * kSlot, image::codeSlotContents(0x31, "v2")));
    }
}

TEST(LargeFlashUpgrade, FreeSlotReachingIntoTheRecordAreaIsRefusedAndSkipped) {
    // Slot 20 (0xF0000) would run into the record area at 0xF8000.
    std::unique_ptr<Rig> owner;
    Rig& r = largeFlash(owner, Route::Lba);
    const auto freeSlotAt = [&](std::uint32_t slot) {
        r.editRecord(
            [&](std::span<std::uint8_t> rec) { writeLe24(rec, image::record::kFreeSlotAddress, slot); });
    };
    freeSlotAt(20 * kSlot);
    const Bytes before = r.flash();
    EXPECT_FALSE(r.upgrade());
    EXPECT_EQ(r.boxTexts(), std::vector<std::string>{"SPI Free address Error!!"});
    EXPECT_EQ(r.flash(), before);

    // From slot 19 the search skips slot 20 and wraps to the slot 0x31 left.
    r.ui.boxes.clear();
    freeSlotAt(19 * kSlot);
    ASSERT_TRUE(r.upgrade());
    EXPECT_EQ(Rig::slotOf(r.newest(), 0x31), 19 * kSlot);
    EXPECT_EQ(readLe24(r.newest(), image::record::kFreeSlotAddress), kSlot);
}

// --- record dumps -----------------------------------------------------------

TEST(RecordDump, UsesTheNextFreeOfThirtySixNamesPerTag) {
    const fs::path dir = ardenvel::test::scratchDir("dump-names");
    fs::remove_all(dir);
    fs::create_directories(dir);
    TestUi ui;
    Bytes rec(512);
    for (std::size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<std::uint8_t>(i);

    const std::string names = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (char c : names.substr(0, 35)) std::ofstream(dir / (std::string("SPIREC3") + c + ".bin")) << "x";
    ASSERT_TRUE(DumpRecord(ui, dir, '3', rec));
    const fs::path last = dir / "SPIREC3Z.bin";
    EXPECT_EQ(ui.panel(kPanelMessages), "Svae File OK :" + last.string());
    EXPECT_EQ(fs::file_size(last), 512u);
    EXPECT_GE(ui.processEventsCalls, 35u);

    // Another tag starts again at 0.
    ASSERT_TRUE(DumpRecord(ui, dir, 'A', rec));
    EXPECT_TRUE(fs::exists(dir / "SPIRECA0.bin"));

    ASSERT_FALSE(DumpRecord(ui, dir, '3', rec));
    EXPECT_EQ(ui.panel(kPanelMessages), "Create File Error" + last.string());
    EXPECT_EQ(fs::file_size(last), 512u);
    EXPECT_TRUE(ui.boxes.empty());

    // A folder that cannot be made: a file stands in its way.
    std::ofstream(dir / "blocker") << "x";
    EXPECT_FALSE(DumpRecord(ui, dir / "blocker" / "dumps", 'A', rec));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Fail to create file");
    EXPECT_EQ(ui.boxes[0].caption, "GetSPIFWInfo:");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Error);
    fs::remove_all(dir);
}

// --- the slot search on its own ----------------------------------------------

TEST(NextFreeSlot, StaysBelowTheRecordBaseAndEndsWhenAllAreTaken) {
    std::array<std::uint8_t, 256> rec{};
    rec.fill(0xFF);
    const auto put = [&](std::size_t k, std::uint8_t type, std::uint32_t at) {
        rec[image::codeEntryOffset(k)] = type;
        writeLe24(rec, image::codeEntryOffset(k) + 1, at);
    };
    put(0, 0x31, kSlot);
    put(1, 0x32, 3 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, kSlot, 0x78000), 2 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, 2 * kSlot, 0x78000), 4 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, 9 * kSlot, 0x78000), 2 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, 4 * kSlot, 0x48000), 5 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, 5 * kSlot, 0x48000), 2 * kSlot);
    // Slot 5 (0x3C000) lies below a record area at 0x40000 but would run into it.
    EXPECT_EQ(nextFreeSlot(rec, 4 * kSlot, 0x40000), 2 * kSlot);
    // The exempt type at 0x24100 reaches into slots 3 and 4.
    put(2, 0x35, 0x24100);
    EXPECT_EQ(nextFreeSlot(rec, 2 * kSlot, 0x78000), 5 * kSlot);
    rec[image::codeEntryOffset(2)] = 0xFF;
    // An empty entry's address does not hold a slot.
    rec[image::codeEntryOffset(1)] = 0xFF;
    EXPECT_EQ(nextFreeSlot(rec, 2 * kSlot, 0x40000), 3 * kSlot);
    // Room for two slots, both used: nothing.
    put(1, 0x32, 2 * kSlot);
    EXPECT_EQ(nextFreeSlot(rec, 2 * kSlot, 0x24000), std::nullopt);
    // A starting point the walk could never return to gives nothing.
    EXPECT_EQ(nextFreeSlot(rec, 0x1234, 0x78000), std::nullopt);
    EXPECT_EQ(nextFreeSlot(rec, 0, 0x78000), std::nullopt);
}

}  // namespace
}  // namespace ardenvel::test
