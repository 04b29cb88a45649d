// The device layer's own discovery and flash operations against the emulated
// bridge, on every route: the bridge takes what the client sends, refuses
// nothing, and is left closed and locked.

#include "device/Discovery.h"
#include "device/SpiFlash.h"
#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

const Route kRoutes[] = {Route::UsbShift, Route::UsbNoShift, Route::UsbQuery,
                         Route::Lba,      Route::Ata,        Route::LbaAta};

std::uint32_t expectedFlags(Route r) {
    switch (r) {
        case Route::UsbShift: return kUsbPath | kShiftPath;
        case Route::UsbNoShift: return kUsbPath;
        case Route::UsbQuery: return kUsbPath | kShiftPath;
        case Route::Lba: return kLbaPath;
        case Route::Ata: return kAtaPath;
        case Route::LbaAta: return kLbaPath | kAtaPath;
    }
    return 0;
}

TEST_F(BridgeTest, DiscoveryFindsEachRouteWithItsFlags) {
    host.addOrdinaryDisk(0);
    for (unsigned i = 0; i < 6; ++i) {
        EnclosureConfig c;
        c.route = kRoutes[i];
        host.addEnclosure(i + 1, c);
    }
    OrdinaryDiskConfig odd;
    odd.inquiryAdditionalLength = 0x5B;
    host.addOrdinaryDisk(7, odd);
    EnclosureConfig usbOddInquiry;
    usbOddInquiry.route = Route::UsbShift;
    usbOddInquiry.inquiryAdditionalLength = 0x20;
    host.addEnclosure(8, usbOddInquiry);

    DriveCounts counts;
    counts.physicalDriveCount = CountPhysicalDrives(dev);
    ASSERT_EQ(counts.physicalDriveCount, 9u);
    DiscoveryTables tables;
    ASSERT_EQ(ProbeDevices(dev, counts, tables), 6u);
    for (unsigned i = 0; i < 6; ++i) {
        SCOPED_TRACE(routeName(kRoutes[i]));
        EXPECT_EQ(tables.deviceTable[i], (i + 1) | expectedFlags(kRoutes[i]));
    }
    // Drives whose INQUIRY length is not 0x1F never see a vendor CDB.
    for (const TraceEntry& e : host.trace()) {
        if (e.kind == TraceEntry::Kind::Cdb && e.cdb[0] == 0xFE) {
            EXPECT_TRUE(e.drive != 7 && e.drive != 8) << e.drive;
        }
    }
}

class ClientRoutes : public BridgeTest, public ::testing::WithParamInterface<Route> {};

TEST_P(ClientRoutes, FlashOperationsRoundTripAndLeaveTheBridgeClosed) {
    EnclosureConfig c;
    c.route = GetParam();
    attach(std::move(c));
    CloseDrive(dev);
    dev.tables.deviceTable[0] = 1 | expectedFlags(GetParam());
    dev.tables.deviceCount = 1;
    dev.selectedDevice = 0;

    std::vector<std::uint8_t> data(0x2000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 5);
    ASSERT_TRUE(SendVuMode(dev, kModeEnterUpdate));
    ASSERT_TRUE(SpiErase(dev, 0x8000, 0x2000));  // inside the protected low area
    ASSERT_TRUE(SpiWrite(dev, 0x8000, 0x2000, data.data()));
    std::vector<std::uint8_t> back(0x2000);
    ASSERT_TRUE(SpiRead(dev, 0x8000, 0x2000, back.data()));
    EXPECT_EQ(back, data);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bridge->flash().begin() + 0x8000));

    Sector record{};
    ASSERT_TRUE(ReadSpiRecord(dev, record.data()));
    EXPECT_EQ(record, bridge->currentRecord());
    EXPECT_EQ(bridge->counters().statusReads, 1u);

    const BridgeCounters n = bridge->counters();
    EXPECT_EQ(n.badCommandSectors, 0u);
    EXPECT_EQ(n.blockedFlashCommands, 0u);
    EXPECT_FALSE(bridge->spiAccessOpen());
    EXPECT_FALSE(bridge->lowAreaUnlocked());
}

INSTANTIATE_TEST_SUITE_P(AllRoutes, ClientRoutes, ::testing::ValuesIn(kRoutes), [](const auto& info) {
    std::string n = routeName(info.param);
    for (char& ch : n)
        if (ch == '-' || ch == '+') ch = '_';
    return n;
});

}  // namespace
}  // namespace ardenvel::virt::test
