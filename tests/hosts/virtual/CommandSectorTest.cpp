// Command sectors: what the bridge accepts, where, and what it ignores.

#include "monitor/ControllerStatus.h"
#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

TEST_F(BridgeTest, BadSignatureOrChecksumIsIgnoredAndCounted) {
    attach(Route::Lba);
    Sector s = command(kVuSpiAccess, 1);
    s[1] = 0x59;
    EXPECT_TRUE(write(40, s)) << "the write itself succeeds";
    // Without the signature a sector at a reserved LBA other than 20 is plain data.
    EXPECT_EQ(bridge->counters().badCommandSectors, 0u);
    EXPECT_EQ(read(40)[1], 0x59);

    s = command(kVuSpiAccess, 1);
    s[300] ^= 0x01;  // payload changed after sealing
    EXPECT_TRUE(write(40, s));
    s = command(kVuBuzzerAutoScan, 0);
    s[0] = 0;
    EXPECT_TRUE(write(kCommandLba, s));  // LBA 20 only ever takes commands
    EXPECT_FALSE(bridge->spiAccessOpen());
    EXPECT_EQ(bridge->settingFlags(), 0x13);
    EXPECT_EQ(bridge->counters().badCommandSectors, 2u);
}

TEST_F(BridgeTest, ChecksumDropsTheCarryOutOfSixteenBits) {
    attach(Route::Lba);
    Sector s = command(kVuSpiAccess, 1);
    std::fill(s.begin() + 7, s.begin() + 510, 0xFF);  // 503 * 255 = 128265 > 65535
    sealCommandSector(s);
    ASSERT_EQ(readLe16(s, 510), static_cast<std::uint16_t>(503 * 255));
    EXPECT_TRUE(write(12, s));
    EXPECT_TRUE(bridge->spiAccessOpen());
}

TEST_F(BridgeTest, EachCommandIsTakenOnlyAtItsOwnLbas) {
    attach(Route::Lba);
    // Mode commands at any LBA from 3 to 130, LBA 20 included; not outside.
    EXPECT_TRUE(mode(kVuSpiAccess, 1, 3));
    EXPECT_TRUE(mode(kVuSpiAccess, 0, 130));
    EXPECT_TRUE(mode(kVuSpiAccess, 1, kCommandLba));
    EXPECT_TRUE(bridge->spiAccessOpen());
    EXPECT_TRUE(mode(kVuSpiAccess, 0, 131));
    EXPECT_TRUE(bridge->spiAccessOpen()) << "LBA 131 is an ordinary sector";
    EXPECT_EQ(bridge->counters().badCommandSectors, 0u);

    // Erase, program, settings and scan commands only at LBA 20.
    const std::uint8_t before = bridge->flash()[0xC000];
    ASSERT_NE(before, 0xFF);
    EXPECT_TRUE(write(21, command(kVuErase, 0x20, 0xC000)));
    EXPECT_TRUE(write(64, command(kVuBuzzerAutoScan, 0)));
    EXPECT_EQ(bridge->flash()[0xC000], before);
    EXPECT_EQ(bridge->settingFlags(), 0x13);
    EXPECT_EQ(bridge->counters().badCommandSectors, 2u);

    // Wrong arguments are refused as well.
    EXPECT_TRUE(write(kCommandLba, command(kVuErase, 0x21, 0xC000)));
    EXPECT_TRUE(write(50, command(kVuSetReadAddress, 0x00, 0x100)));
    EXPECT_TRUE(mode(kVuUpdateMode, 2));
    EXPECT_EQ(bridge->counters().badCommandSectors, 5u);
    EXPECT_EQ(bridge->flashReadAddress(), 0u);
}

TEST_F(BridgeTest, SettingsCommandChangesBuzzerAndAutoScanBitsOnly) {
    EnclosureConfig c;
    c.settingFlags = 0xF3;
    attach(std::move(c));
    Sector s = command(kVuBuzzerAutoScan, 0);
    s[4] = 0;
    sealCommandSector(s);
    ASSERT_TRUE(write(kCommandLba, s));
    EXPECT_EQ(bridge->settingFlags(), 0xF0);
    EXPECT_EQ(StatusView(read(kRecordLba)).settingFlags(), 0xF0);

    s[3] = 1;
    s[4] = 1;
    ASSERT_TRUE(write(kCommandLba, s));
    EXPECT_EQ(bridge->settingFlags(), 0xF3);
}

Sector scanCommand(std::uint8_t stop, std::uint8_t port, std::uint32_t first, std::uint32_t last) {
    Sector s = BridgeTest::command(kVuScanControl, stop);
    s[4] = port;
    s[5] = s[6] = 0;
    writeLe32(s, 7, first);
    writeLe32(s, 13, last);
    sealCommandSector(s);
    return s;
}

TEST_F(BridgeTest, ScanControlStartsAndStopsASurfaceScan) {
    attach(Route::UsbShift);  // sent at LBA 20 on every route
    bridge->status().activityFlags = activity::kBadP0;
    ASSERT_TRUE(write(kCommandLba, scanCommand(0, 1, 0, (1u << 28) - 1)));
    const Sector started = bridge->currentRecord();
    const StatusView v(started);
    EXPECT_EQ(v.activityFlags(), activity::kScan | activity::kP1 | activity::kBadP0);
    EXPECT_EQ(v.progressPercent(), 0);

    bridge->status().progressPercent = 40;
    // A stop for the other port leaves the scan running.
    ASSERT_TRUE(write(kCommandLba, scanCommand(1, 0, 0, 0)));
    EXPECT_TRUE(StatusView(bridge->currentRecord()).activityRunning());
    ASSERT_TRUE(write(kCommandLba, scanCommand(1, 1, 0, 0)));
    EXPECT_EQ(StatusView(bridge->currentRecord()).activityFlags(), activity::kBadP0);
    EXPECT_EQ(bridge->counters().badCommandSectors, 0u);
}

TEST_F(BridgeTest, ScanDoesNotStartOnAPortWithoutADisk) {
    attach(Route::Lba);
    bridge->status().disks[0].reset();
    bridge->status().portState = 0x24;
    ASSERT_TRUE(write(kCommandLba, scanCommand(0, 0, 0, 100)));
    EXPECT_FALSE(StatusView(bridge->currentRecord()).activityRunning());
    ASSERT_TRUE(write(kCommandLba, scanCommand(0, 2, 0, 100)));
    EXPECT_EQ(bridge->counters().badCommandSectors, 1u) << "port 2 does not exist";
}

// A sector the bridge does not take as a command is not acted on: it reaches
// the disk as data, the trace says why, and LBA 60 no longer answers with flash.
TEST_F(BridgeTest, MalformedCommandSectorsAreNotActedOnAndReachTheDiskAsData) {
    const auto withByte = [](Sector s, std::size_t at, std::uint8_t v, bool seal = true) {
        s[at] = v;
        if (seal) sealCommandSector(s);
        return s;
    };
    std::uint8_t zeros[256] = {};
    const struct {
        const char* what;
        Route route;
        std::uint32_t lba;
        Sector sector;
        const char* reason;
    } cases[] = {
        {"page program without the 0x55 marker", Route::Lba, kCommandLba,
         withByte(program(0x30000, zeros), 509, 0x00), "no 0x55 marker"},
        {"buzzer byte 2", Route::Lba, kCommandLba, command(kVuBuzzerAutoScan, 2),
         "bytes 3 and 4 must be 0 or 1"},
        {"auto scan byte 2", Route::Lba, kCommandLba, withByte(command(kVuBuzzerAutoScan, 1), 4, 2),
         "bytes 3 and 4 must be 0 or 1"},
        {"scan past the volume", Route::Lba, kCommandLba, scanCommand(0, 0, 0, 1953525168),
         "no range of the volume"},
        {"scan LBAs the wrong way round", Route::Lba, kCommandLba, scanCommand(0, 0, 100, 99), "no range"},
        {"scan LBA above 32 bits", Route::Lba, kCommandLba, withByte(scanCommand(0, 0, 0, 99), 17, 1),
         "32 bits"},
        {"checksum off", Route::Lba, 40, withByte(command(kVuSpiAccess, 1), 300, 1, false), "checksum"},
        {"erase at a random LBA", Route::Lba, 21, command(kVuErase, 0x20, 0x30000), "belongs to LBA 20"},
        {"mode sector to an ATA-only bridge", Route::Ata, 40, command(kVuSpiAccess, 1),
         "ATA command 0x88 only"},
        {"address sector to an ATA-only bridge", Route::Ata, 40, command(kVuSetReadAddress, 3, 0),
         "0x88 only"},
        {"flash sector to a USB bridge", Route::UsbShift, kCommandLba, command(kVuErase, 0x20, 0x30000),
         "USB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        attach(c.route);
        const bool usbRoute = isUsb(c.route);
        if (c.route == Route::Lba) {
            openForChanges();
            ASSERT_TRUE(write(41, command(kVuSetReadAddress, 3, 0x100)));
        } else if (c.route == Route::Ata) {
            ASSERT_TRUE(ata(0x11) && ata(0x03) && ata(kAtaReadAddress, 0x100));
        }
        const std::vector<std::uint8_t> flash = bridge->flash();
        const std::uint8_t settings = bridge->settingFlags();
        host.clearTrace();

        EXPECT_TRUE(write(c.lba, c.sector)) << "the write itself succeeds";
        EXPECT_NE(host.trace().back().rejected.find(c.reason), std::string::npos)
            << host.trace().back().rejected;
        EXPECT_EQ(bridge->counters().badCommandSectors, 1u);
        EXPECT_EQ(bridge->flash(), flash);
        EXPECT_EQ(bridge->settingFlags(), settings);
        EXPECT_FALSE(StatusView(bridge->currentRecord()).activityRunning());
        EXPECT_EQ(read(c.lba), c.sector) << "the disk holds the sector";
        if (!usbRoute) {
            const Sector answer = read(kFlashDataLba);
            EXPECT_FALSE(std::equal(answer.begin(), answer.end(), flash.begin() + 0x100)) << "stale answer";
        }
    }
}

// The ATA form: registers the bridge does not read must still be as it
// expects them, and what it refuses fails with ABRT.
TEST_F(BridgeTest, AtaVendorCommandFailsOnRegistersTheBridgeDoesNotExpect) {
    const struct {
        const char* what;
        std::uint8_t device, count;
        bool ok;
    } cases[] = {
        {"as sent by the channel", 0xE0, 0, true},
        {"device/head 0xA0", 0xA0, 0, false},
        {"device/head 0", 0x00, 0, false},
        {"sector count 1", 0xE0, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        attach(Route::Ata);
        ASSERT_TRUE(ata(0x03));
        TaskFile r;
        r.features = kAtaReadAddress;
        r.lbaMid = 0x23;
        r.lbaHigh = 0x01;
        r.device = c.device;
        r.sectorCount = c.count;
        r.command = kAtaVendorCommand;
        EXPECT_EQ(AtaCommand(dev, h, r, nullptr, 0), c.ok);
        EXPECT_EQ(bridge->flashReadAddress(), c.ok ? 0x12300u : 0u);
        EXPECT_EQ(r.command, c.ok ? 0x50 : 0x51);
        EXPECT_EQ(host.trace().back().rejected.empty(), c.ok);
    }
}

TEST_F(BridgeTest, OtherLbasHoldPlainData) {
    attach(Route::Lba);
    Sector a{};
    a[0] = 0x33;  // looks like a signature, but LBA 200 is not reserved
    a[1] = 0x58;
    a[2] = kVuSpiAccess;
    a[3] = 1;
    sealCommandSector(a);
    ASSERT_TRUE(write(200, a));
    EXPECT_FALSE(bridge->spiAccessOpen());
    EXPECT_EQ(read(200), a);
    EXPECT_EQ(read(201), Sector{});

    // Several sectors in one request land one by one.
    std::vector<std::uint8_t> two(1024, 0x5A);
    ASSERT_TRUE(WriteSectors(dev, h, 1000, two.data(), 2));
    std::vector<std::uint8_t> back(1024);
    ASSERT_TRUE(ReadSectors(dev, h, 1000, back.data(), 2));
    EXPECT_EQ(back, two);
}

}  // namespace
}  // namespace ardenvel::virt::test
