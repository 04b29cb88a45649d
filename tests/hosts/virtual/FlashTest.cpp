// The bridge's SPI flash: NOR programming, sector erase, and the switches that
// guard it on the reserved-LBA and ATA routes.

#include <algorithm>

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
    openSpi();
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
    openSpi();
    auto& flash = bridge->flash();
    std::fill(flash.begin() + kFree - 16, flash.begin() + kFree + 0x1010, 0x00);
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, kFree + 0x800)));
    EXPECT_EQ(flash[kFree - 1], 0x00);
    EXPECT_EQ(flash[kFree], 0xFF);
    EXPECT_EQ(flash[kFree + 0xFFF], 0xFF);
    EXPECT_EQ(flash[kFree + 0x1000], 0x00);
}

TEST_F(BridgeTest, ProtectionBlocksTheLowAreaUntilUnlocked) {
    attach(Route::Lba);
    openSpi();
    const std::vector<std::uint8_t> before = bridge->flash();
    const auto page = pageOf(0, 0);

    // Erase and program below 0xC000 while locked: nothing happens.
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0x1000)));
    ASSERT_TRUE(write(kCommandLba, program(0xBF00, page.data())));
    EXPECT_EQ(bridge->flash(), before);
    EXPECT_EQ(bridge->counters().blockedFlashCommands, 2u);

    // At 0xC000 the lock does not apply.
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0xC000)));
    EXPECT_EQ(bridge->flash()[0xC000], 0xFF);

    unlock();
    EXPECT_TRUE(bridge->lowAreaUnlocked());
    ASSERT_TRUE(write(kCommandLba, program(0xBF00, page.data())));
    EXPECT_EQ(bridge->flash()[0xBF00], 0x00);
    ASSERT_TRUE(mode(kVuProtection, 0));
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, 0xB000)));
    EXPECT_EQ(bridge->flash()[0xBF00], 0x00) << "locked again";
}

TEST_F(BridgeTest, FlashCommandsNeedSpiAccessOpen) {
    attach(Route::Lba);
    const std::vector<std::uint8_t> before = bridge->flash();
    const auto page = pageOf(0, 0);
    ASSERT_TRUE(write(kCommandLba, command(kVuErase, 0x20, kFree)));
    ASSERT_TRUE(write(kCommandLba, program(kFree, page.data())));
    ASSERT_TRUE(write(50, command(kVuSetReadAddress, 0x03, 0x100)));
    const Sector data = read(kFlashDataLba);
    EXPECT_EQ(bridge->flash(), before);
    EXPECT_EQ(bridge->flashReadAddress(), 0u);
    EXPECT_NE(data[0], 'F') << "LBA 60 must not show flash while SPI access is closed";
    EXPECT_EQ(bridge->counters().blockedFlashCommands, 4u);

    openSpi();
    const Sector head = flashRead(0);
    EXPECT_EQ(std::string(head.begin(), head.begin() + 4), "FIPS");
    ASSERT_TRUE(mode(kVuSpiAccess, 0, 3));
    EXPECT_FALSE(bridge->spiAccessOpen());
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
    EXPECT_TRUE(ata(0x01, 0x5000));
    EXPECT_EQ(bridge->flashReadAddress(), 0x012300u) << "address command with SPI access closed";
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
    openSpi();
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

}  // namespace
}  // namespace ardenvel::virt::test
