#include <gtest/gtest.h>

#include "device/Discovery.h"
#include "tests/device/DiscoveryFakeHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

using test::FakeDrive;
using test::FakeVolume;

class DiscoveryProbe : public ::testing::Test {
protected:
    unsigned probe(unsigned physicalDriveCount) {
        DriveCounts counts;
        counts.physicalDriveCount = physicalDriveCount;
        return ProbeDevices(dev, counts, tables);
    }
    // The opcode of every vendor CDB sent to a drive, in order.
    std::vector<std::uint8_t> vendorOpcodes(unsigned drive) {
        std::vector<std::uint8_t> ops;
        for (const auto& r : host.requestsTo(drive))
            if (r.cdb[0] == 0xFE) ops.push_back(r.cdb[1] == 0xFE ? r.cdb[2] : r.cdb[1]);
        return ops;
    }
    void runPass() {
        EnumerateDriveLetters(dev);
        ASSERT_TRUE(RunDiscovery(dev));
        ApplyDiscoveryResult(dev);
    }

    test::FakeHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    DiscoveryTables tables;
};

struct RouteCase {
    const char* name;
    FakeDrive drive;
    std::uint32_t flags;
};

class DiscoveryRoute : public DiscoveryProbe, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(DiscoveryRoute, RecordsTheRouteTheBridgeAnswers) {
    host.drives[3] = GetParam().drive;
    ASSERT_EQ(probe(1), 1u);
    EXPECT_EQ(tables.deviceTable[0], 3u | GetParam().flags);

    const auto reqs = host.requestsTo(3);
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].cdb, (std::array<std::uint8_t, 10>{0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0}));
    EXPECT_TRUE(reqs[1].ata);
    EXPECT_EQ(reqs[1].task, (TaskFile{0, 0, 0, 0, 0, 0xE0, 0xEC}));
    EXPECT_EQ(reqs[1].length, 512u);
    // A drive recognised by LBA 58 or IDENTIFY gets no USB probe at all.
    if ((GetParam().flags & (kLbaPath | kAtaPath)) != 0) {
        EXPECT_EQ(reqs.size(), 2u);
    }
    EXPECT_EQ(host.openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DiscoveryRoute,
    ::testing::Values(RouteCase{"Lba", {.lbaSignature = true}, kLbaPath},
                      RouteCase{"Ata", {.ataSignature = true}, kAtaPath},
                      RouteCase{"LbaAta", {.lbaSignature = true, .ataSignature = true}, kLbaPath | kAtaPath},
                      RouteCase{"UsbOpcodeAtByte1", {.signatureReadShift = 1}, kShiftPath | kUsbPath},
                      RouteCase{"UsbOpcodeAtByte2", {.signatureReadShift = 0}, kUsbPath},
                      RouteCase{"Query78AtByte1", {.query78Shift = 1}, kShiftPath | kUsbPath},
                      RouteCase{"Query78AtByte2", {.query78Shift = 0}, kUsbPath}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoveryProbe, UsbTriesGoShiftedFirstThenUnshifted) {
    host.drives[0] = FakeDrive{.signatureReadShift = 0};
    ASSERT_EQ(probe(1), 1u);
    EXPECT_EQ(vendorOpcodes(0), (std::vector<std::uint8_t>{0x8B, 0x78, 0x8B}));
    const auto reqs = host.requestsTo(0);
    EXPECT_EQ(reqs[3].cdb, (std::array<std::uint8_t, 10>{0xFE, 0x8B, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reqs[4].length, 20u);  // query 0x78
    EXPECT_EQ(reqs[5].cdb, (std::array<std::uint8_t, 10>{0xFE, 0xFE, 0x8B, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dev.cdbShift, 0);  // left at the last value tried
}

TEST_F(DiscoveryProbe, InquiryOtherThanBridgeLengthGetsNoVendorCdb) {
    host.drives[0] = FakeDrive{.inquiryLength = 0x1E, .signatureReadShift = 1};
    EXPECT_EQ(probe(1), 0u);
    EXPECT_TRUE(vendorOpcodes(0).empty());
}

TEST_F(DiscoveryProbe, NoEnclosureStillProbesEveryOpenableDrive) {
    for (unsigned n : {0u, 2u, 5u}) host.drives[n] = FakeDrive{};
    EXPECT_EQ(probe(3), 0u);
    for (unsigned n : {0u, 2u, 5u}) {
        EXPECT_EQ(host.requestsTo(n).size(), 7u) << "drive " << n;  // read, identify, inquiry, 4 vendor
        EXPECT_EQ(vendorOpcodes(n), (std::vector<std::uint8_t>{0x8B, 0x78, 0x8B, 0x78}));
    }
}

TEST_F(DiscoveryProbe, LoopEndsAtTheOpenableCountAndNeverPastDrive9) {
    for (unsigned n : {1u, 4u, 7u}) host.drives[n] = FakeDrive{.lbaSignature = true};
    EXPECT_EQ(probe(2), 2u);
    EXPECT_EQ(host.physicalOpens, (std::vector<unsigned>{0, 1, 2, 3, 4}));
    EXPECT_EQ(tables.deviceTable[1], 4u | kLbaPath);

    host.physicalOpens.clear();
    for (auto& d : host.drives) d = FakeDrive{};
    probe(16);  // a stale count larger than what can exist
    EXPECT_EQ(host.physicalOpens.back(), 9u);
    EXPECT_EQ(host.physicalOpens.size(), 10u);
}

TEST_F(DiscoveryProbe, MoreThanEightEnclosuresKeepTheFirstEight) {
    for (unsigned n = 0; n < 10; ++n) host.drives[n] = FakeDrive{.lbaSignature = true};
    EXPECT_EQ(probe(10), 8u);
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(tables.deviceTable[i], i | kLbaPath);
    EXPECT_EQ(tables.sectorBuffers[9][258], 0x33);  // drive 9 was still probed
}

TEST_F(DiscoveryProbe, FailedLba58ReadIsReportedAndIdentifyFollows) {
    host.drives[0] = FakeDrive{.failLba58 = true, .ataSignature = true};
    host.drives[1] = FakeDrive{.lbaSignature = true};
    EXPECT_EQ(probe(2), 2u);
    EXPECT_EQ(tables.deviceTable[0], kAtaPath);
    EXPECT_EQ(ui.panelHistory[kPanelMessages], std::vector<std::string>{kReadLba58Error});
}

TEST_F(DiscoveryProbe, SectorBufferKeepsTheLastAnswerRead) {
    host.drives[0] = FakeDrive{.lbaSignature = true};  // IDENTIFY fails: the LBA 58 sector stays
    host.drives[1] = FakeDrive{.lbaSignature = true, .ataSignature = true};
    host.drives[2] = FakeDrive{.query78Shift = 0};  // INQUIRY over the LBA 58 sector
    probe(3);
    EXPECT_EQ(tables.sectorBuffers[0][0], 0x58);
    EXPECT_EQ(tables.sectorBuffers[0][259], 0x58);
    EXPECT_EQ(tables.sectorBuffers[1][0], 0xEC);
    EXPECT_EQ(tables.sectorBuffers[2][4], 0x1F);
    EXPECT_EQ(tables.sectorBuffers[2][5], 0x58);
}

TEST_F(DiscoveryProbe, LettersStartAtCAndStopAt24) {
    host.mask = (1u << 0) | (1u << 2) | (1u << 4) | (1u << 25);  // A C E Z
    EXPECT_EQ(EnumerateDriveLetters(dev), 3u);
    EXPECT_STREQ(dev.driveLetters.data(), "CEZ");
    EXPECT_EQ(ui.processEventsCalls, 24u);

    host.mask = 0xFFFFFFFF;
    EXPECT_EQ(EnumerateDriveLetters(dev), 24u);
    EXPECT_STREQ(dev.driveLetters.data(), "CDEFGHIJKLMNOPQRSTUVWXYZ");
}

TEST_F(DiscoveryProbe, CountsOpenablePhysicalDrivesUpTo9) {
    for (unsigned n : {0u, 3u, 9u, 12u}) host.drives[n] = FakeDrive{};
    EXPECT_EQ(CountPhysicalDrives(dev), 3u);
    EXPECT_EQ(host.openHandles, 0);
    EXPECT_EQ(ui.processEventsCalls, 10u);
}

TEST_F(DiscoveryProbe, VolumesMapToDisksAndFailedExtentKeepsTheOldNumber) {
    host.volumes['C'] = FakeVolume{.disk = 0};
    host.volumes['E'] = FakeVolume{.disk = 1};
    host.volumes['G'] = FakeVolume{.type = kDriveRemovable, .disk = 1};
    host.volumes['H'] = FakeVolume{.disk = 1, .opens = false};
    runPass();
    ASSERT_EQ(dev.tables.logicalDriveCount, 4u);
    const auto& rec = dev.tables.logicalDrives;
    EXPECT_EQ(rec[1].letter, 'E');
    EXPECT_EQ(rec[1].diskNumber, 1);
    EXPECT_EQ(rec[2].driveType, kDriveRemovable);
    EXPECT_EQ(rec[3].driveType, 0xFF);

    host.volumes['E'] = FakeVolume{.disk = 5, .extentOk = false};
    runPass();
    EXPECT_EQ(dev.tables.logicalDrives[1].diskNumber, 1);
    EXPECT_EQ(host.openHandles, 0);
}

TEST_F(DiscoveryProbe, MoreThan20LettersAreToldOnceAndTheRestNotMapped) {
    for (char c = 'C'; c <= 'X'; ++c) host.volumes[c] = FakeVolume{};  // 22 letters
    runPass();
    EXPECT_EQ(dev.tables.logicalDriveCount, 20u);
    EXPECT_EQ(host.volumeOpens.size(), 20u);
    EXPECT_EQ(host.volumeOpens.back(), 'V');
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, kTooManyLetters);
    EXPECT_EQ(ui.boxes[0].caption, "");
    ApplyDiscoveryResult(dev);  // the same result again: no second box
    EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST(DiscoveryCaption, ListsFixedVolumesOfTheSelectedDrive) {
    DiscoveryTables t;
    t.deviceTable = {0x41, 0x22};
    t.deviceCount = 2;
    t.logicalDrives = {{{'C', kDriveFixed, 0},
                        {'E', kDriveFixed, 1},
                        {'F', kDriveFixed, 1},
                        {'G', kDriveRemovable, 1},
                        {'H', 0xFF, 1},
                        {'I', kDriveFixed, 1}}};
    t.logicalDriveCount = 5;  // 'I' is left over from an earlier pass
    EXPECT_EQ(BuildDeviceCaption(t, 0), "1/2 Device1[EF]");
    EXPECT_EQ(BuildDeviceCaption(t, 1), "2/2 Device2[]");
}

}  // namespace
}  // namespace ardenvel
