// The transport's requests as the host records them.

#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

using Cdb = std::array<std::uint8_t, 10>;

TraceEntry lastOf(const VirtualHost& host, TraceEntry::Kind kind) {
    const auto t = host.trace();
    for (auto it = t.rbegin(); it != t.rend(); ++it)
        if (it->kind == kind) return *it;
    ADD_FAILURE() << "no such trace entry";
    return {};
}

TEST_F(BridgeTest, ReadOfLba58IsOneSectorIn) {
    attach(Route::Lba);
    host.clearTrace();
    Sector s{};
    ASSERT_TRUE(ReadSectors(dev, h, kIdentifyLba, s.data(), 1));
    const TraceEntry e = lastOf(host, TraceEntry::Kind::Cdb);
    EXPECT_EQ(e.cdb, (Cdb{0x28, 0x00, 0x00, 0x00, 0x00, 0x3A, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(e.direction, DataDirection::ToHost);
    EXPECT_EQ(e.length, 512u);
    EXPECT_EQ(e.timeoutSeconds, 2u);
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.drive, 1u);
    EXPECT_TRUE(std::equal(s.begin(), s.end(), e.data.begin()));
}

TEST_F(BridgeTest, ReadPageCdbFollowsCdbShift) {
    attach(Route::UsbNoShift);
    Sector s{};
    dev.cdbShift = 0;
    ASSERT_TRUE(BridgeTransfer(dev, BridgeKind::ReadPage, s.data(), 0x12300));
    EXPECT_EQ(lastOf(host, TraceEntry::Kind::Cdb).cdb,
              (Cdb{0xFE, 0xFE, 0x85, 0x00, 0x01, 0x23, 0x00, 0x00, 0x00, 0x00}));
    dev.cdbShift = 1;
    EXPECT_FALSE(BridgeTransfer(dev, BridgeKind::ReadPage, s.data(), 0x12300));
    const TraceEntry e = lastOf(host, TraceEntry::Kind::Cdb);
    EXPECT_EQ(e.cdb, (Cdb{0xFE, 0x85, 0x00, 0x01, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(e.ok);
    EXPECT_TRUE(e.data.empty()) << "a failed read moves nothing";
}

TEST_F(BridgeTest, AtaCommandWithoutDataLeavesTheBufferAndReturnsRegisters) {
    attach(Route::Ata);
    std::uint8_t buffer[512];
    std::fill(std::begin(buffer), std::end(buffer), 0xAB);
    TaskFile r;
    r.features = kModeSpiOpen;
    r.device = 0xE0;
    r.command = kAtaVendorCommand;
    ASSERT_TRUE(AtaCommand(dev, h, r, buffer, 0));
    EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](std::uint8_t b) { return b == 0xAB; }));
    EXPECT_EQ(r.command, 0x50) << "status as the drive returned it";
    const TraceEntry e = lastOf(host, TraceEntry::Kind::Ata);
    EXPECT_EQ(e.taskIn.features, kModeSpiOpen);
    EXPECT_EQ(e.taskIn.command, kAtaVendorCommand);
    EXPECT_EQ(e.taskOut, r);
    EXPECT_EQ(e.length, 0u);

    // A refused command still hands back the registers, with the error.
    TaskFile bad;
    bad.features = 0x42;
    bad.command = kAtaVendorCommand;
    EXPECT_FALSE(AtaCommand(dev, h, bad, buffer, 0));
    EXPECT_EQ(bad.command, 0x51);
    EXPECT_EQ(buffer[0], 0xAB);
}

TEST_F(BridgeTest, IdentifyIsPrecededByABusRescanAndAHalfSecondWait) {
    attach(Route::Ata);
    host.clearTrace();
    Sector s{};
    TaskFile r;
    r.device = 0xE0;
    r.command = kAtaIdentify;
    ASSERT_TRUE(AtaCommand(dev, h, r, s.data(), 1));
    const auto t = host.trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, TraceEntry::Kind::Rescan);
    EXPECT_EQ(t[1].kind, TraceEntry::Kind::Ata);
    EXPECT_EQ(t[1].length, 512u);
    EXPECT_EQ(clock.slept, std::chrono::milliseconds(500));

    // Other ATA commands go straight out.
    host.clearTrace();
    ata(kModeSpiClose);
    EXPECT_EQ(host.trace().size(), 1u);
    EXPECT_EQ(clock.slept, std::chrono::milliseconds(500));
}

TEST_F(BridgeTest, TraceRecordsOpensClosesAndWrittenData) {
    host.addOrdinaryDisk(0);
    std::vector<TraceEntry> observed;
    host.setTraceObserver([&](const TraceEntry& e) { observed.push_back(e); });
    h = OpenDrive(dev, 0);
    Sector s{};
    s[0] = 0x77;
    ASSERT_TRUE(WriteSectors(dev, h, 5, s.data(), 1));
    CloseDrive(dev);
    EXPECT_EQ(OpenDrive(dev, 9), kInvalidHandle);
    const auto t = host.trace();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].kind, TraceEntry::Kind::Open);
    EXPECT_EQ(t[1].cdb[0], 0x2A);
    EXPECT_EQ(t[1].direction, DataDirection::ToDevice);
    EXPECT_EQ(t[1].data[0], 0x77);
    EXPECT_EQ(t[2].kind, TraceEntry::Kind::Close);
    EXPECT_EQ(t[3].kind, TraceEntry::Kind::Open);
    EXPECT_FALSE(t[3].ok);
    EXPECT_EQ(observed.size(), 4u);
    host.setTraceEnabled(false);
    OpenDrive(dev, 0);
    EXPECT_EQ(host.trace().size(), 4u);
    EXPECT_EQ(observed.size(), 5u) << "the observer sees requests even with the trace off";
}

}  // namespace
}  // namespace ardenvel::virt::test
