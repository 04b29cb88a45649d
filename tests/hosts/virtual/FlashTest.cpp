// The bridge's SPI flash: NOR programming, sector erase, and the switches that
// guard it on the reserved-LBA and ATA routes.

#include <algorithm>
#include <vector>

#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

constexpr std::uint32_t kFree = 0x30000;  // not used by the generator's default codes

std::array<std::uint8_t, 256> pageOf(std::uint8_t a, std::uint8_t b) {
    std::array<std::uint8_t, 256> p{};
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = i % 2 ? a : b;
    return p;
}

TEST_F(BridgeTest, ProgrammingOverUnerasedBytesOnlyClearsBits) {
    attach(Route::Lba);
    openForChanges();
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, kFree)));
    const auto first = pageOf(0xF0, 0x3C);
    ASSERT_TRUE(write(kCommandLba, program(kFree, first.data())));
    const auto second = pageOf(0x0F, 0xFF);
    ASSERT_TRUE(write(kCommandLba, program(kFree, second.data())));

    const Sector got = flashRead(kFree);
    EXPECT_EQ(got[0], 0x3C);  // 0x3C & 0xFF
    EXPECT_EQ(got[1], 0x00);  // 0xF0 & 0x0F
    EXPECT_EQ(got[256], 0xFF) << "the next page stays erased";

    // Only an erase brings the bits back.
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, kFree + 0x123)));
    const Sector erased = flashRead(kFree);
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(bridge->counters().sectorErases, 2u);
    EXPECT_EQ(bridge->counters().pagePrograms, 2u);
}

TEST_F(BridgeTest, EraseCoversExactlyItsFourKilobyteSector) {
    attach(Route::Lba);
    openForChanges();
    auto& flash = bridge->flash();
    std::fill(flash.begin() + kFree - 16, flash.begin() + kFree + 0x1010, 0x00);
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, kFree + 0x800)));
    EXPECT_EQ(flash[kFree - 1], 0x00);
    EXPECT_EQ(flash[kFree], 0xFF);
    EXPECT_EQ(flash[kFree + 0xFFF], 0xFF);
    EXPECT_EQ(flash[kFree + 0x1000], 0x00);
}

// A flash command the bridge's switches do not allow fails, and changes
// nothing: on the reserved-LBA route, and the address command on the ATA route.
TEST_F(BridgeTest, EachFlashCommandFailsUntilItsSwitchesAreSet) {
    const auto page = pageOf(0, 0);
    const struct {
        const char* state;
        bool update, spi, unlocked;
        bool addressOk, highChangeOk, lowChangeOk;
    } cases[] = {
        {"closed", false, false, false, false, false, false},
        {"update mode, SPI closed", true, false, true, false, false, false},
        {"SPI open, outside update mode", false, true, true, true, false, false},
        {"update mode, SPI open, locked", true, true, false, true, true, false},
        {"update mode, SPI open, unlocked", true, true, true, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        attach(Route::Lba);
        ASSERT_TRUE(mode(kVuUpdateMode, c.update));
        ASSERT_TRUE(mode(kVuSpiAccess, c.spi));
        ASSERT_TRUE(mode(kVuProtection, c.unlocked));
        const std::vector<std::uint8_t> before = bridge->flash();
        EXPECT_EQ(write(41, command(kVuSetReadAddress, 0x03, 0x100)), c.addressOk);
        EXPECT_EQ(read(kFlashDataLba)[0] == before[0x100], c.addressOk) << "LBA 60 shows flash only after it";
        EXPECT_EQ(write(kCommandLba, command(kVuErase, 0x20, 0xC000)), c.highChangeOk);
        EXPECT_EQ(write(kCommandLba, program(0xBF00, page.data())), c.lowChangeOk);
        EXPECT_EQ(bridge->flash()[0xC000] == 0xFF, c.highChangeOk || before[0xC000] == 0xFF);
        EXPECT_EQ(bridge->flash()[0xBF00] == 0x00, c.lowChangeOk || before[0xBF00] == 0x00);
        EXPECT_EQ(bridge->counters().blockedFlashCommands, 3u - c.addressOk - c.highChangeOk - c.lowChangeOk);
        const bool anyRefused = !(c.addressOk && c.highChangeOk && c.lowChangeOk);
        const auto trace = host.trace();
        EXPECT_EQ(
            std::any_of(trace.begin(), trace.end(),
                        [](const TraceEntry& e) { return e.rejected.find("refused") != std::string::npos; }),
            anyRefused);
        host.clearTrace();
    }
}

TEST_F(BridgeTest, ReadAddressCommandPointsLbaSixtyAnywhere) {
    attach(Route::Lba);
    openSpi();
    const auto& flash = bridge->flash();
    for (std::uint32_t a : {0u, 0xC000u, 0x12300u, 0x78000u}) {
        const Sector got = flashRead(a);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), flash.begin() + a)) << std::hex << a;
    }
}

TEST_F(BridgeTest, AtaRouteTakesModesAndReadAddressAsCommand88) {
    attach(Route::Ata);
    EXPECT_TRUE(ata(0x11));
    EXPECT_TRUE(bridge->updateMode());
    EXPECT_TRUE(ata(0x03));
    EXPECT_TRUE(ata(0x04));
    EXPECT_TRUE(bridge->spiAccessOpen());
    EXPECT_TRUE(bridge->lowAreaUnlocked());
    EXPECT_TRUE(ata(0x01, 0x012300));
    EXPECT_EQ(bridge->flashReadAddress(), 0x012300u);
    const Sector got = read(kFlashDataLba);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bridge->flash().begin() + 0x12300));
    // Erase and program still travel as sectors at LBA 20.
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0x1000)));
    EXPECT_EQ(bridge->flash()[0x1000], 0xFF);
    EXPECT_TRUE(ata(0x05));
    EXPECT_TRUE(ata(0x02));
    EXPECT_TRUE(ata(0x10));
    EXPECT_FALSE(bridge->spiAccessOpen() || bridge->lowAreaUnlocked() || bridge->updateMode());
    EXPECT_FALSE(ata(0x07)) << "unknown sub-command";
    EXPECT_FALSE(ata(0x01, 0x5000)) << "address command with SPI access closed";
    EXPECT_EQ(bridge->flashReadAddress(), 0x012300u);
}

TEST_F(BridgeTest, ReservedLbaRouteHasNoAtaPassThrough) {
    attach(Route::Lba);
    EXPECT_FALSE(ata(0x03));
    EXPECT_FALSE(bridge->spiAccessOpen());
}

TEST_F(BridgeTest, UsbRoutesProgramEraseAndReadWithoutSwitches) {
    attach(Route::UsbShift);
    std::uint8_t answer[8];
    ASSERT_TRUE(usb(BridgeKind::EraseSector, answer, 0x1000, 1));  // low area, no unlock on USB
    auto page = pageOf(0x12, 0x34);
    ASSERT_TRUE(usb(BridgeKind::WritePage, page.data(), 0x1000, 1));
    page = pageOf(0xFF, 0x0F);
    ASSERT_TRUE(usb(BridgeKind::WritePage, page.data(), 0x1000, 1));
    Sector got{};
    ASSERT_TRUE(usb(BridgeKind::ReadPage, got.data(), 0x1000, 1));
    EXPECT_EQ(got[0], 0x04);
    EXPECT_EQ(got[1], 0x12);
    EXPECT_EQ(got[256], 0xFF);
    EXPECT_EQ(bridge->counters().blockedFlashCommands, 0u);
    // Flash command sectors mean nothing to a USB bridge.
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0x1000)));
    EXPECT_EQ(bridge->flash()[0x1000], 0x04);
    EXPECT_EQ(bridge->counters().badCommandSectors, 1u);
}

TEST_F(BridgeTest, DroppedWritesReportSuccessButChangeNothing) {
    attach(Route::Lba);
    openForChanges();
    const std::vector<std::uint8_t> before = bridge->flash();
    host.dropWritesFrom(1);
    const auto page = pageOf(0, 0);
    EXPECT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0xC000)));
    EXPECT_TRUE(write(kCommandLba, program(kFree, page.data())));
    EXPECT_EQ(bridge->flash(), before);
    EXPECT_EQ(bridge->counters().droppedWrites, 2u);
    host.clearFaults();
    EXPECT_TRUE(write(kCommandLba, program(kFree, page.data())));
    EXPECT_EQ(bridge->flash()[kFree], 0x00);
}

// What a NOR flash and its bridge do when a request goes wrong inside: each
// fault acts on its own request only, and a cut leaves the power off.
TEST_F(BridgeTest, FaultsInsideARequestAreTheFlashsOwn) {
    attach(Route::UsbShift);
    auto& flash = bridge->flash();
    const auto at = [&](std::uint32_t a) { return flash.begin() + a; };
    const auto count = [&](std::uint32_t from, std::uint32_t to, std::uint8_t value) {
        return std::count(at(from), at(to), value);
    };
    std::uint8_t answer[8];
    auto zeros = pageOf(0, 0);
    const auto arm = [&](auto set) {
        EnclosureFaults f;
        set(f);
        bridge->setFaults(f);
    };

    // A program cut after 40 bytes: those cleared, the rest as it was.
    arm([](EnclosureFaults& f) { f.tornRequest = 1, f.tornFraction = 40; });
    EXPECT_FALSE(usb(BridgeKind::WritePage, zeros.data(), kFree, 1));
    EXPECT_EQ(count(kFree, kFree + 40, 0x00), 40);
    EXPECT_EQ(count(kFree + 40, kFree + 256, 0xFF), 216);
    Sector got{};
    EXPECT_FALSE(usb(BridgeKind::ReadPage, got.data(), kFree, 1)) << "the power stays off";

    // An erase cut half-way: the first half blank, one page of mixed bits, the rest as it was.
    std::fill(at(kFree), at(kFree + 0x1000), 0x00);
    arm([](EnclosureFaults& f) { f.tornRequest = 1, f.tornFraction = 128; });
    EXPECT_FALSE(usb(BridgeKind::EraseSector, answer, kFree, 1));
    EXPECT_EQ(count(kFree, kFree + 0x800, 0xFF), 0x800);
    EXPECT_GT(count(kFree + 0x800, kFree + 0x900, 0x00), 0);
    EXPECT_LT(count(kFree + 0x800, kFree + 0x900, 0x00), 0x100);
    EXPECT_EQ(count(kFree + 0x900, kFree + 0x1000, 0x00), 0x700);

    // A stale read answers the read before it, a garbled one with bits flipped; once each.
    arm([](EnclosureFaults& f) { f.staleRead = 2, f.garbledRead = 4; });
    Sector before{}, stale{}, garbled{};
    ASSERT_TRUE(usb(BridgeKind::ReadPage, before.data(), kFree, 1));
    ASSERT_TRUE(usb(BridgeKind::ReadPage, stale.data(), kFree + 0x1000, 1));
    EXPECT_EQ(stale, before);
    ASSERT_TRUE(usb(BridgeKind::ReadPage, got.data(), kFree + 0x1000, 1));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), at(kFree + 0x1000)));
    ASSERT_TRUE(usb(BridgeKind::ReadPage, garbled.data(), kFree, 1));
    EXPECT_NE(garbled, before);
    ASSERT_TRUE(usb(BridgeKind::ReadPage, got.data(), kFree, 1));
    EXPECT_EQ(got, before);

    // A write that reports success and changes nothing, once.
    arm([](EnclosureFaults& f) { f.droppedWrite = 1; });
    EXPECT_TRUE(usb(BridgeKind::WritePage, zeros.data(), kFree + 0x1000, 1));
    EXPECT_EQ(count(kFree + 0x1000, kFree + 0x1100, 0x00), 0);
    EXPECT_TRUE(usb(BridgeKind::WritePage, zeros.data(), kFree + 0x1000, 1));
    EXPECT_EQ(count(kFree + 0x1000, kFree + 0x1100, 0x00), 0x100);
}

// The bridge checks the record ring at each change a request makes: one that
// breaks a ring that held, or touches code the newest record names, is
// counted with its reason. Code in a free slot may change.
TEST_F(BridgeTest, ChangesThatBreakTheRecordRingAreCounted) {
    attach(Route::UsbShift);
    std::uint8_t answer[8];
    ASSERT_TRUE(usb(BridgeKind::EraseSector, answer, kFree, 1));
    EXPECT_EQ(bridge->counters().ringBreaks, 0u);
    ASSERT_TRUE(usb(BridgeKind::EraseSector, answer, 0xC000, 1));
    EXPECT_EQ(bridge->counters().ringBreaks, 1u);
    EXPECT_NE(bridge->ringBreak().find("hit code type 0x31 at 0x00C000"), std::string::npos)
        << bridge->ringBreak();
    ASSERT_TRUE(usb(BridgeKind::EraseSector, answer, image::kRecordArea4Mbit, 1));
    EXPECT_EQ(bridge->counters().ringBreaks, 2u);
    // Once broken, the ring is not counted again for the same state.
    ASSERT_TRUE(usb(BridgeKind::EraseSector, answer, image::kRecordArea4Mbit, 1));
    EXPECT_EQ(bridge->counters().ringBreaks, 2u);
}

}  // namespace
}  // namespace ardenvel::virt::test
