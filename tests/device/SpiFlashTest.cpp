#include "device/SpiFlash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "device/VuChannel.h"
#include "tests/device/ChannelFixture.h"

namespace ardenvel {
namespace {

using virt::Route;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return v;
}

class SpiFlashTest : public test::ChannelTest, public ::testing::WithParamInterface<Route> {
protected:
    // The bridge takes flash changes only in update mode, as a firmware upgrade holds it.
    void SetUp() override {
        enc = &addEnclosure(2, GetParam());
        ASSERT_TRUE(SendVuMode(dev, kModeEnterUpdate));
        host.clearTrace();
    }

    bool usb() const { return virt::isUsb(GetParam()); }
    void eraseFlash(std::uint32_t from, std::uint32_t length) {
        std::fill_n(enc->flash().begin() + from, length, 0xFF);
    }
    std::vector<std::uint8_t> flashAt(std::uint32_t from, std::uint32_t length) const {
        return {enc->flash().begin() + from, enc->flash().begin() + from + length};
    }
    // The bridge is closed and locked, and refused nothing.
    void expectBridgeClosed() const {
        EXPECT_FALSE(enc->spiAccessOpen());
        EXPECT_FALSE(enc->lowAreaUnlocked());
        EXPECT_EQ(enc->counters().blockedFlashCommands, 0u);
        EXPECT_EQ(enc->counters().badCommandSectors, 0u);
        EXPECT_EQ(dev.handle, kInvalidHandle);
    }
    // The mode commands the exchange carried, in order; none on USB.
    std::vector<std::string> modes(std::initializer_list<const char*> nonUsb) const {
        if (usb()) return {};
        return {nonUsb.begin(), nonUsb.end()};
    }

    virt::VirtualEnclosure* enc = nullptr;
};

TEST_P(SpiFlashTest, ReadReturnsTheFlashAndCountsPerSector) {
    const auto data = pattern(0xC000, 7);
    std::copy(data.begin(), data.end(), enc->flash().begin() + 0x18000);
    std::vector<std::uint8_t> out(0xC000);
    dev.spiProgress = 5;
    ASSERT_TRUE(SpiRead(dev, 0x18000, 0xC000, out.data()));
    EXPECT_EQ(out, data);
    EXPECT_EQ(dev.spiProgress, 5u + 96u);
    EXPECT_EQ(ui.processEventsCalls, 96u);
    expectBridgeClosed();

    const auto t = traceTokens();
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 2"}));
    EXPECT_EQ(t.front(), "open");
    EXPECT_EQ(t.back(), "close");
    // One vendor CDB per step on USB, an address command and an LBA 60 read elsewhere.
    const std::size_t perStep = usb() ? 1 : 2;
    EXPECT_EQ(t.size(), 2 + 96 * perStep + test::modeTokens(host.trace()).size());
    if (usb()) {
        EXPECT_EQ(t[1], "usb read 18000");
        EXPECT_EQ(t[96], "usb read 23E00");
    } else {
        EXPECT_EQ(t[2], "addr 18000");
        EXPECT_EQ(t[3], "read 60");
        EXPECT_EQ(t[2 + 95 * 2], "addr 23E00");
    }
}

TEST_P(SpiFlashTest, WriteProgramsPagesInsideTheUnlockBracket) {
    eraseFlash(0x8000, 0x8000);
    const auto data = pattern(0x5000, 3);
    dev.spiProgress = 0;
    // Starts in the protected area and runs past its end.
    ASSERT_TRUE(SpiWrite(dev, 0x9000, 0x5000, data.data()));
    EXPECT_EQ(flashAt(0x9000, 0x5000), data);
    EXPECT_EQ(flashAt(0xE000, 0x100), std::vector<std::uint8_t>(0x100, 0xFF));
    EXPECT_EQ(dev.spiProgress, 0x5000u / 512);
    EXPECT_EQ(enc->counters().pagePrograms, 0x50u);
    EXPECT_EQ(ui.processEventsCalls, 0x50u);
    expectBridgeClosed();

    const auto t = traceTokens();
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 4", "mode 5", "mode 2"}));
    if (usb()) {
        EXPECT_EQ(t[1], "usb write 9000");
        EXPECT_EQ(t[2], "usb write 9100");
    } else {
        EXPECT_EQ(t[3], "prog 9000");
        EXPECT_EQ(t[4], "prog 9100");
        EXPECT_EQ(t[t.size() - 3], "mode 5");
    }
}

TEST_P(SpiFlashTest, ChangesFromC000OnSendNoUnlock) {
    eraseFlash(0xC000, 0x2000);
    const auto data = pattern(0x1000, 9);
    ASSERT_TRUE(SpiWrite(dev, 0xC000, 0x1000, data.data()));
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 2"}));
    EXPECT_EQ(flashAt(0xC000, 0x1000), data);

    host.clearTrace();
    ASSERT_TRUE(SpiErase(dev, 0xC000, 0x2000));
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 2"}));
    EXPECT_EQ(flashAt(0xC000, 0x2000), std::vector<std::uint8_t>(0x2000, 0xFF));
    expectBridgeClosed();
}

TEST_P(SpiFlashTest, EraseClearsWholeSectorsAndCountsThem) {
    std::fill_n(enc->flash().begin(), 0xD000, 0x00);
    dev.spiProgress = 0;
    ASSERT_TRUE(SpiErase(dev, 0x0000, 0xC000));
    EXPECT_EQ(flashAt(0, 0xC000), std::vector<std::uint8_t>(0xC000, 0xFF));
    EXPECT_EQ(flashAt(0xC000, 0x1000), std::vector<std::uint8_t>(0x1000, 0x00));
    EXPECT_EQ(dev.spiProgress, 12u);
    EXPECT_EQ(enc->counters().sectorErases, 12u);
    EXPECT_EQ(ui.processEventsCalls, 12u);
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 4", "mode 5", "mode 2"}));
    expectBridgeClosed();
    const auto t = traceTokens();
    EXPECT_NE(std::find(t.begin(), t.end(), usb() ? "usb erase B000" : "erase B000"), t.end());
}

TEST_P(SpiFlashTest, ProgressOfAWholeCodeArea) {
    eraseFlash(0x18000, 0xC000);
    const auto data = pattern(0xC000, 1);
    std::vector<std::uint8_t> back(0xC000);
    dev.spiProgress = 0;
    ASSERT_TRUE(SpiErase(dev, 0x18000, 0xC000));
    EXPECT_EQ(dev.spiProgress, 12u);
    ASSERT_TRUE(SpiWrite(dev, 0x18000, 0xC000, data.data()));
    EXPECT_EQ(dev.spiProgress, 12u + 96u);
    ASSERT_TRUE(SpiRead(dev, 0x18000, 0xC000, back.data()));
    EXPECT_EQ(dev.spiProgress, 204u);
    EXPECT_EQ(back, data);
}

TEST_P(SpiFlashTest, LengthZeroSendsOnlyTheModeCommands) {
    std::uint8_t none[512] = {};
    EXPECT_TRUE(SpiRead(dev, 0x1000, 0, none));
    EXPECT_TRUE(SpiWrite(dev, 0x1000, 0, none));
    EXPECT_TRUE(SpiErase(dev, 0x1000, 0));
    std::vector<std::string> expected;
    for (const auto& op : {modes({"mode 3", "mode 2"}), modes({"mode 3", "mode 4", "mode 5", "mode 2"}),
                           modes({"mode 3", "mode 4", "mode 5", "mode 2"})}) {
        expected.push_back("open");
        expected.insert(expected.end(), op.begin(), op.end());
        expected.push_back("close");
    }
    EXPECT_EQ(traceTokens(), expected);
    EXPECT_EQ(dev.spiProgress, 0u);
    EXPECT_EQ(ui.processEventsCalls, 0u);
    expectBridgeClosed();
}

TEST_P(SpiFlashTest, FailureMidWriteKeepsEarlierPagesAndStillCloses) {
    eraseFlash(0x4000, 0x1000);
    const auto data = pattern(0x800, 5);
    // Off USB modes 3 and 4 come first, then the pages; the fourth page fails.
    const unsigned before = usb() ? 0 : 2;
    host.failRequest(before + 4);
    EXPECT_FALSE(SpiWrite(dev, 0x4000, 0x800, data.data()));
    EXPECT_EQ(ui.panel(kPanelMessages),
              usb() ? "Write SPI Error USB" : "Write Error for LBA = 20 and sector count = 1");
    EXPECT_EQ(flashAt(0x4000, 0x300), std::vector<std::uint8_t>(data.begin(), data.begin() + 0x300));
    EXPECT_EQ(flashAt(0x4300, 0x500), std::vector<std::uint8_t>(0x500, 0xFF));
    EXPECT_EQ(dev.spiProgress, 1u);
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 4", "mode 5", "mode 2"}));
    const auto t = traceTokens();
    EXPECT_EQ(t.back(), "close");
    EXPECT_EQ(
        std::count_if(t.begin(), t.end(),
                      [](const auto& s) { return s.find("prog") != s.npos || s.find("write") != s.npos; }),
        4);
    EXPECT_FALSE(enc->spiAccessOpen());
    EXPECT_FALSE(enc->lowAreaUnlocked());
}

TEST_P(SpiFlashTest, FailedReadStepEndsTheLoopWithItsText) {
    std::vector<std::uint8_t> out(0x1000);
    // Fails the second step's first request; off USB mode 3 comes first.
    const unsigned before = usb() ? 0 : 1;
    host.failRequest(before + (usb() ? 2 : 3));
    EXPECT_FALSE(SpiRead(dev, 0x20000, 0x1000, out.data()));
    const auto trace = host.trace();
    const auto failed = std::find_if(trace.begin(), trace.end(), [](const auto& e) { return !e.ok; });
    ASSERT_NE(failed, trace.end());
    const std::string expected =
        usb()                      ? "Read SPI Error USB"
        : GetParam() == Route::Ata ? "VU command 0x88 FEA 0x01 Read Error"
                                   : "Write Error at Sec_CNT=1 LBA=" + std::to_string(test::cdbLba(*failed));
    EXPECT_EQ(ui.panel(kPanelMessages), expected);
    EXPECT_EQ(dev.spiProgress, 1u);
    EXPECT_EQ(test::modeTokens(host.trace()), modes({"mode 3", "mode 2"}));
    EXPECT_FALSE(enc->spiAccessOpen());

    if (usb()) return;
    // The LBA 60 read of the first step.
    host.clearTrace();
    host.failRequest(before + 2);
    EXPECT_FALSE(SpiRead(dev, 0x20000, 0x1000, out.data()));
    EXPECT_EQ(ui.panel(kPanelMessages), "Read Error for LBA = 60 and sector count = 1");
    EXPECT_EQ(traceTokens().back(), "close");
}

TEST_P(SpiFlashTest, FailedEraseAndFailedOpeningCommands) {
    std::fill_n(enc->flash().begin() + 0x30000, 0x3000, 0x00);
    host.failRequest(usb() ? 2 : 3);  // the second sector
    EXPECT_FALSE(SpiErase(dev, 0x30000, 0x3000));
    EXPECT_EQ(ui.panel(kPanelMessages),
              usb() ? "Erase SPI Error USB" : "Write Error for LBA = 20 and sector count = 1");
    EXPECT_EQ(flashAt(0x30000, 0x1000), std::vector<std::uint8_t>(0x1000, 0xFF));
    EXPECT_EQ(flashAt(0x31000, 0x2000), std::vector<std::uint8_t>(0x2000, 0x00));
    expectBridgeClosed();
    if (usb()) return;

    // Unlock refused: close SPI access again and stop.
    host.clearTrace();
    host.failRequest(2);
    EXPECT_FALSE(SpiWrite(dev, 0x1000, 0x100, enc->flash().data()));
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "mode 3", "mode 4", "mode 2", "close"}));
    // Open refused: nothing else.
    host.clearTrace();
    host.failRequest(1);
    EXPECT_FALSE(SpiErase(dev, 0x1000, 0x1000));
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "mode 3", "close"}));
    // A failed closing command fails the whole operation.
    host.clearTrace();
    host.failRequest(3);
    EXPECT_FALSE(SpiErase(dev, 0x40000, 0x1000));
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "mode 3", "erase 40000", "mode 2", "close"}));
}

INSTANTIATE_TEST_SUITE_P(Routes, SpiFlashTest,
                         ::testing::Values(Route::UsbShift, Route::UsbNoShift, Route::Lba, Route::Ata),
                         [](const auto& info) { return std::string(test::routeName(info.param)); });

// Vendor CDBs and the scanned record area exist on USB only; command
// sectors and LBA 33 only on the other routes.
class UsbFlashTest : public SpiFlashTest {};
class SectorRouteFlashTest : public SpiFlashTest {};

TEST_P(SectorRouteFlashTest, CommandSectorAfterAPageWriteStillCarriesThePage) {
    eraseFlash(0x20000, 0x100);
    const auto page = pattern(0x100, 77);
    ASSERT_TRUE(SpiWrite(dev, 0x20000, 0x100, page.data()));
    host.clearTrace();
    // Off the ATA route a read sends address sectors; both routes send erase sectors.
    std::uint8_t out[512];
    ASSERT_TRUE(SpiRead(dev, 0x30000, 512, out));
    ASSERT_TRUE(SpiErase(dev, 0x31000, 0x1000));

    std::vector<std::vector<std::uint8_t>> sectors;
    for (const auto& e : host.trace())
        if (test::isSectorWrite(e)) sectors.push_back(e.data);
    ASSERT_FALSE(sectors.empty());
    for (const auto& s : sectors) {
        EXPECT_TRUE(std::equal(page.begin(), page.end(), s.begin() + 7));
        EXPECT_EQ(s[509], 0x55);
        EXPECT_TRUE(test::checksumHolds(s));
    }
    EXPECT_EQ(enc->counters().badCommandSectors, 0u);
}

TEST_P(UsbFlashTest, UsbTransfersFollowShiftPathAtEveryStep) {
    const bool shifted = (dev.selectedWord() & kShiftPath) != 0;
    // Something else keeps changing CdbShift between the steps.
    ui.onProcessEvents = [this] { dev.cdbShift ^= 1; };
    dev.cdbShift = shifted ? 0 : 1;
    std::vector<std::uint8_t> out(0x800);
    eraseFlash(0x40000, 0x2000);
    ASSERT_TRUE(SpiRead(dev, 0x40000, 0x800, out.data()));
    ASSERT_TRUE(SpiErase(dev, 0x40000, 0x2000));
    ASSERT_TRUE(SpiWrite(dev, 0x40000, 0x800, out.data()));
    dev.cdbShift = shifted ? 0 : 1;
    std::uint8_t record[512];
    ASSERT_TRUE(ReadSpiRecord(dev, record));
    unsigned vendor = 0;
    for (const auto& e : host.trace()) {
        if (!test::isVendorCdb(e)) continue;
        ++vendor;
        EXPECT_EQ(test::decodeVendor(e).shifted, shifted) << test::token(e);
        EXPECT_TRUE(e.ok) << test::token(e);
    }
    EXPECT_GT(vendor, 4u + 2u + 8u);
}

TEST_P(SectorRouteFlashTest, RecordFromLba33) {
    enc->status().portState = 0x26;
    std::array<std::uint8_t, 512> out{};
    ASSERT_TRUE(ReadSpiRecord(dev, out.data()));
    EXPECT_EQ(out, enc->currentRecord());
    EXPECT_EQ(traceTokens(), (std::vector<std::string>{"open", "read 33", "close"}));

    host.clearTrace();
    host.failRequest(1);
    EXPECT_FALSE(ReadSpiRecord(dev, out.data()));
    EXPECT_EQ(ui.panel(kPanelMessages), "Read Error for LBA = 33 and sector count = 1");
    EXPECT_EQ(dev.handle, kInvalidHandle);
}

// Fills record slots [first, first + count) of the area with distinct records.
void useRecordSlots(virt::VirtualEnclosure& enc, unsigned first, unsigned count) {
    auto& f = enc.flash();
    std::fill(f.begin() + 0x78000, f.end(), 0xFF);
    for (unsigned i = first; i < first + count; ++i) {
        const std::uint32_t at = 0x78000 + i * 256;
        std::fill_n(f.begin() + at, 256, static_cast<std::uint8_t>(i));
        f[at] = static_cast<std::uint8_t>(0x10 + i % 0x80);  // never 0xFF
    }
}

TEST_P(UsbFlashTest, RecordIsTheLastSlotOfTheFirstUsedRun) {
    std::array<std::uint8_t, 512> out{};
    auto readAddress = [&] {
        host.clearTrace();
        EXPECT_TRUE(ReadSpiRecord(dev, out.data()));
        const auto trace = host.trace();
        EXPECT_EQ(test::token(trace.back()), "close");
        const auto& last = trace[trace.size() - 2];
        EXPECT_EQ(test::decodeVendor(last).opcode, 0x85);
        EXPECT_EQ(test::decodeVendor(last).flag, 0);
        return test::decodeVendor(last).address;
    };

    // Slots 3..7 used, then 40..41 again: the first run wins.
    useRecordSlots(*enc, 3, 5);
    for (unsigned i = 40; i < 42; ++i) enc->flash()[0x78000 + i * 256] = 0x01;
    EXPECT_EQ(readAddress(), 0x78700u);
    // The bridge serves its newest slot with the live status filled in.
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 55, enc->flash().begin() + 0x78700));
    EXPECT_EQ(out, enc->currentRecord());
    // Scan reads walk slot by slot from the start of the area, one more than used.
    const auto t = traceTokens();
    EXPECT_EQ(t[1], "usb scan 78000");
    EXPECT_EQ(std::count_if(t.begin(), t.end(), [](const auto& s) { return s.starts_with("usb scan"); }),
              3 + 1 + 5 + 1);

    useRecordSlots(*enc, 0, 0);
    EXPECT_EQ(readAddress(), 0x7FF00u);

    useRecordSlots(*enc, 0, 128);
    EXPECT_EQ(readAddress(), 0x7FF00u);
    EXPECT_EQ(out[0], 0x10 + 127);

    useRecordSlots(*enc, 0, 1);
    EXPECT_EQ(readAddress(), 0x78000u);

    host.failRequest(4);  // slot 0 scanned twice, slot 1 once, then the page read
    EXPECT_FALSE(ReadSpiRecord(dev, out.data()));
    EXPECT_EQ(ui.panel(kPanelMessages), "Read Error for USB");
}

INSTANTIATE_TEST_SUITE_P(Routes, UsbFlashTest, ::testing::Values(Route::UsbShift, Route::UsbNoShift),
                         [](const auto& info) { return std::string(test::routeName(info.param)); });
INSTANTIATE_TEST_SUITE_P(Routes, SectorRouteFlashTest, ::testing::Values(Route::Lba, Route::Ata),
                         [](const auto& info) { return std::string(test::routeName(info.param)); });

}  // namespace
}  // namespace ardenvel
