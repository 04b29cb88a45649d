// What each route answers, and what an ordinary disk answers, as discovery
// probes them.

#include <algorithm>

#include "monitor/ControllerStatus.h"
#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

bool identify(DeviceState& dev, DriveHandle h, Sector& out) {
    TaskFile r;
    r.device = 0xE0;
    r.command = kAtaIdentify;
    return AtaCommand(dev, h, r, out.data(), 1);
}

TEST_F(BridgeTest, IdentificationCarriesTheSignatureWhereTheRouteSaysSo) {
    struct Case {
        Route route;
        bool lba58, identify;
    };
    for (const Case c : {Case{Route::Lba, true, false}, Case{Route::Ata, false, true},
                         Case{Route::LbaAta, true, true}, Case{Route::UsbShift, false, false}}) {
        SCOPED_TRACE(routeName(c.route));
        VirtualHost hst;
        EnclosureConfig cfg;
        cfg.route = c.route;
        cfg.firmwareRevision = "090701.1";
        cfg.model = "ARDV RAID BOX";
        hst.addEnclosure(3, cfg);
        DeviceState d{hst, ui, clock};
        const DriveHandle hh = OpenDrive(d, 3);
        Sector s{};
        ASSERT_TRUE(ReadSectors(d, hh, kIdentifyLba, s.data(), 1));
        EXPECT_EQ(hasSignature(s.data()), c.lba58);
        if (c.lba58) {
            EXPECT_EQ(firmwareRevisionText(s), "090701.1");
            EXPECT_EQ(modelText(s), "ARDV RAID BOX");
            EXPECT_EQ(s[46], '9') << "ATA byte order";
        }
        s.fill(0);
        EXPECT_EQ(identify(d, hh, s), c.identify);
        if (c.identify) {
            EXPECT_TRUE(hasSignature(s.data()));
            EXPECT_EQ(firmwareRevisionText(s), "090701.1");
        }
    }
}

TEST_F(BridgeTest, UsbBridgeTakesOnlyItsOwnOpcodePosition) {
    for (const Route r : {Route::UsbShift, Route::UsbNoShift}) {
        SCOPED_TRACE(routeName(r));
        VirtualHost hst;
        EnclosureConfig cfg;
        cfg.route = r;
        hst.addEnclosure(2, cfg);
        DeviceState d{hst, ui, clock};
        OpenDrive(d, 2);
        const std::uint8_t own = r == Route::UsbShift ? 1 : 0;
        Sector s{};
        d.cdbShift = own ^ 1;
        EXPECT_FALSE(BridgeTransfer(d, BridgeKind::SignatureRead, s.data(), 0));
        EXPECT_FALSE(BridgeTransfer(d, BridgeKind::ReadPage, s.data(), 0));
        d.cdbShift = own;
        ASSERT_TRUE(BridgeTransfer(d, BridgeKind::SignatureRead, s.data(), 0));
        EXPECT_TRUE(hasSignature(s.data()));
        ASSERT_TRUE(BridgeTransfer(d, BridgeKind::ReadPage, s.data(), 0));
        EXPECT_EQ(std::string(s.begin(), s.begin() + 4), "FIPS");
        ASSERT_TRUE(BridgeQuery(d, 3));
        EXPECT_EQ(d.bridgeBuffer[0], 0x50);
        EXPECT_EQ(d.bridgeBuffer[1], 0x8B);
    }
}

TEST_F(BridgeTest, QueryOnlyBridgeRejectsTheSignatureRead) {
    attach(Route::UsbQuery);
    Sector s{};
    dev.cdbShift = 1;
    EXPECT_FALSE(BridgeTransfer(dev, BridgeKind::SignatureRead, s.data(), 0));
    dev.bridgeBuffer[0] = 0;
    ASSERT_TRUE(BridgeQuery(dev, 3));
    EXPECT_EQ(dev.bridgeBuffer[0], 0x50);
    EXPECT_EQ(dev.bridgeBuffer[1], 0x8B);
    dev.cdbShift = 0;
    EXPECT_FALSE(BridgeQuery(dev, 3)) << "it takes the opcode at byte 1 by default";
    EXPECT_FALSE(BridgeQuery(dev, 0)) << "queries it does not know";
}

TEST_F(BridgeTest, MalformedVendorCdbsAreRefused) {
    attach(Route::UsbNoShift);
    std::uint8_t buf[512] = {};
    auto send = [&](std::array<std::uint8_t, 10> cdb, DataDirection dir, std::size_t n) {
        return host.sendCdb(h, cdb, dir, std::span<std::uint8_t>(buf, n), 2);
    };
    EXPECT_TRUE(send({0xFE, 0xFE, 0x85, 0, 0, 0, 0, 0, 0, 0}, DataDirection::ToHost, 512));
    EXPECT_FALSE(send({0xFE, 0xFE, 0x85, 0, 0, 0, 0, 0, 0, 0}, DataDirection::ToHost, 256)) << "length";
    EXPECT_FALSE(send({0xFE, 0xFE, 0x85, 0, 0, 0, 0, 0, 2, 0}, DataDirection::ToHost, 512)) << "flag";
    EXPECT_FALSE(send({0xFE, 0xFE, 0x89, 0, 0, 0, 0, 0, 0, 0}, DataDirection::ToHost, 256)) << "direction";
    EXPECT_FALSE(send({0xFE, 0xFE, 0x85, 7, 0, 0, 0, 0, 0, 0}, DataDirection::ToHost, 512)) << "stray byte";
    EXPECT_FALSE(send({0xFE, 0xFE, 0x99, 0, 0, 0, 0, 0, 0, 0}, DataDirection::ToHost, 8)) << "opcode";
}

// A plain disk answers a vendor CDB as a real one does: CHECK CONDITION,
// which the pass-through reports as completed, with nothing moved.
TEST_F(BridgeTest, NonUsbBridgesRefuseVendorCdbsAndPlainDisksAnswerThemWithNothing) {
    attach(Route::LbaAta);
    host.addOrdinaryDisk(0);
    Sector s{};
    s.fill(0x5A);
    for (std::uint8_t shift : {0, 1}) {
        dev.cdbShift = shift;
        EXPECT_FALSE(BridgeTransfer(dev, BridgeKind::SignatureRead, s.data(), 0));
        EXPECT_FALSE(BridgeQuery(dev, 3));
    }
    OpenDrive(dev, 0);
    dev.bridgeBuffer.fill(0x5A);
    for (std::uint8_t shift : {0, 1}) {
        dev.cdbShift = shift;
        EXPECT_TRUE(BridgeTransfer(dev, BridgeKind::SignatureRead, s.data(), 0));
        EXPECT_TRUE(BridgeQuery(dev, 3));
    }
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0x5A; }));
    EXPECT_TRUE(std::all_of(dev.bridgeBuffer.begin(), dev.bridgeBuffer.end(),
                            [](std::uint8_t b) { return b == 0x5A; }));
}

TEST_F(BridgeTest, OrdinaryDiskIsAPlainDisk) {
    OrdinaryDiskConfig cfg;
    cfg.sectors = 1000;
    cfg.inquiryAdditionalLength = 0x5B;
    host.addOrdinaryDisk(0, cfg);
    h = OpenDrive(dev, 0);
    ASSERT_NE(h, kInvalidHandle);

    std::uint8_t inq[36] = {};
    ASSERT_TRUE(InquiryDevice(dev, h, inq));
    EXPECT_EQ(inq[4], 0x5B);

    // Reserved LBAs mean nothing here: a command sector at LBA 20 is data.
    const Sector cmd = command(kVuSpiAccess, 1);
    ASSERT_TRUE(write(kCommandLba, cmd));
    EXPECT_EQ(read(kCommandLba), cmd);
    EXPECT_EQ(read(kRecordLba), Sector{});
    EXPECT_FALSE(hasSignature(read(kIdentifyLba).data()));
    Sector s{};
    s.fill(0x5A);
    EXPECT_TRUE(ReadSectors(dev, h, 1000, s.data(), 1)) << "past the end: CHECK CONDITION";
    EXPECT_EQ(s[0], 0x5A) << "and nothing read";
    EXPECT_TRUE(ReadSectors(dev, h, 999, s.data(), 1));
    EXPECT_EQ(s[0], 0);

    EXPECT_TRUE(identify(dev, h, s));
    EXPECT_FALSE(hasSignature(s.data()));
    // Aborted by the drive: its status carries ERR, and that is a failure.
    EXPECT_FALSE(ata(kAtaReadAddress));
}

TEST_F(BridgeTest, UsbStickAnswersNoIdentify) {
    OrdinaryDiskConfig cfg;
    cfg.answersIdentify = false;
    host.addOrdinaryDisk(4, cfg);
    h = OpenDrive(dev, 4);
    Sector s{};
    EXPECT_FALSE(identify(dev, h, s));
}

TEST_F(BridgeTest, EnclosureInquiryReportsItsConfiguredLength) {
    EnclosureConfig c;
    c.route = Route::UsbShift;
    c.inquiryAdditionalLength = 0x33;
    attach(std::move(c));
    std::uint8_t inq[36] = {};
    ASSERT_TRUE(InquiryDevice(dev, h, inq));
    EXPECT_EQ(inq[4], 0x33);
}

TEST_F(BridgeTest, VolumesMapLettersToDisks) {
    attach(Route::Lba, 1);
    host.addVolume('C', kDriveFixed, 0);  // disk 0 absent: in the mask, cannot be opened
    host.addVolume('E', kDriveFixed, 1);
    host.addVolume('F', kDriveCdrom, -1);
    EXPECT_EQ(host.logicalDriveMask(), (1u << 2) | (1u << 4) | (1u << 5));
    EXPECT_EQ(host.driveType('F'), kDriveCdrom);
    EXPECT_EQ(host.driveType('Q'), kDriveNoRootDir);
    EXPECT_EQ(host.openVolume('C'), kInvalidHandle);
    EXPECT_EQ(host.openVolume('F'), kInvalidHandle);
    const DriveHandle e = OpenDrive(dev, 'E');
    ASSERT_NE(e, kInvalidHandle);
    std::uint32_t disk = 99;
    ASSERT_TRUE(host.volumeDiskNumber(e, disk));
    EXPECT_EQ(disk, 1u);
    EXPECT_FALSE(host.volumeDiskNumber(h, disk)) << "a physical drive has no extents";
    host.removeVolume('E');
    EXPECT_EQ(host.logicalDriveMask() & (1u << 4), 0u);
}

TEST_F(BridgeTest, DrivesAboveNineExistButZeroToNineAreTheUsualOnes) {
    host.addOrdinaryDisk(12);
    EXPECT_NE(host.openPhysicalDrive(12), kInvalidHandle);
    EXPECT_EQ(host.openPhysicalDrive(5), kInvalidHandle);
    host.addOrdinaryDisk(5);
    host.removeDrive(5);
    EXPECT_EQ(host.openPhysicalDrive(5), kInvalidHandle);
}

}  // namespace
}  // namespace ardenvel::virt::test
