#include "monitor/ControllerStatus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/ByteOrder.h"
#include "device/VuChannel.h"
#include "hosts/virtual/VirtualHost.h"
#include "monitor/StatusQuery.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

// Stores text the way the bridge does: the two characters of each word swapped.
void putAtaText(std::span<std::uint8_t> block, std::size_t offset, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        block[offset + (i ^ 1)] = static_cast<std::uint8_t>(text[i]);
}

StatusBlock blockWith(std::size_t at, std::uint8_t value) {
    StatusBlock b{};
    b[at] = value;
    return b;
}

TEST(StatusDecoding, TextFieldsSwapTheCharactersOfEachWord) {
    StatusBlock b{};
    const char raw[] = "1S2A3B";
    std::memcpy(b.data() + status::kP0Serial, raw, 6);
    EXPECT_EQ(ataText(b, status::kP0Serial, 6), "S1A2B3");

    // Untrimmed, the full field length, even with blanks and zeros in it.
    putAtaText(b, status::kP1Serial, "WD-1234 ");
    const std::string serial = StatusView(b).serial(1);
    ASSERT_EQ(serial.size(), 20u);
    EXPECT_EQ(serial.substr(0, 8), "WD-1234 ");
    EXPECT_EQ(serial[8], '\0');

    putAtaText(b, status::kP1Model, "Model-B on port one");
    putAtaText(b, status::kP0Model, "Model-A");
    EXPECT_EQ(StatusView(b).model(1).substr(0, 19), "Model-B on port one");
    EXPECT_EQ(StatusView(b).model(0).substr(0, 7), "Model-A");
    EXPECT_EQ(StatusView(b).model(0).size(), 40u);
}

TEST(StatusDecoding, ModeNames) {
    EXPECT_STREQ(modeName(0), "Striping");
    EXPECT_STREQ(modeName(1), "Mirror");
    EXPECT_STREQ(modeName(2), "NRAID");
    EXPECT_STREQ(modeName(3), "JBOD");
    EXPECT_STREQ(modeName(4), "Undefine");
    EXPECT_STREQ(modeName(63), "Bypass");
    EXPECT_STREQ(modeName(64), "Undefine");
    EXPECT_STREQ(modeName(0xFF), "Undefine");

    const StatusBlock b = blockWith(status::kRaidModeOfSystem, 63);
    EXPECT_STREQ(modeName(StatusView(b).raidModeOfSystem()), "Bypass");
    EXPECT_EQ(StatusView(b).raidModeInSpi(), 0);
}

TEST(StatusDecoding, CapacitiesInGigabytes) {
    EXPECT_EQ(capacityGb(1953525168u), 931u);
    EXPECT_EQ(capacityGb(2097151u), 0u);
    EXPECT_EQ(capacityGb(2097152u), 1u);
    EXPECT_EQ(capacityGb(4294967295u), 2047u);

    StatusBlock b{};
    writeLe32(b, status::kConfiguredCapacity, 4294967295u);
    writeLe32(b, status::kP0Capacity, 0x01020304u);
    writeLe32(b, status::kP1Capacity, 1953525168u);
    const StatusView v(b);
    EXPECT_EQ(v.configuredCapacity(), 4294967295u);
    EXPECT_EQ(v.portCapacity(0), 0x01020304u);
    EXPECT_EQ(capacityGb(v.portCapacity(1)), 931u);
}

TEST(StatusDecoding, SettingFlags) {
    const StatusBlock jumper = blockWith(status::kSettingFlags, 0xF3);
    EXPECT_EQ(StatusView(jumper).modeSource(), ModeSource::Jumper);
    EXPECT_TRUE(StatusView(jumper).buzzerSounding());
    EXPECT_TRUE(StatusView(jumper).autoScanOn());

    const StatusBlock spi = blockWith(status::kSettingFlags, 0x10);
    EXPECT_EQ(StatusView(spi).modeSource(), ModeSource::Spi);
    EXPECT_FALSE(StatusView(spi).buzzerSounding());
    EXPECT_FALSE(StatusView(spi).autoScanOn());

    const StatusBlock unstated = blockWith(status::kSettingFlags, 0x22);
    EXPECT_EQ(StatusView(unstated).modeSource(), ModeSource::Unstated);
    EXPECT_FALSE(StatusView(unstated).buzzerSounding());
    EXPECT_TRUE(StatusView(unstated).autoScanOn());
}

TEST(StatusDecoding, PortStateTakesAbsentFirstAndVolumeFromInitializedPair) {
    const StatusBlock normal = blockWith(status::kPortState, 0x22);
    EXPECT_EQ(StatusView(normal).volumeState(), VolumeState::Normal);
    EXPECT_EQ(StatusView(normal).portCondition(0), PortCondition::Initialized);
    EXPECT_EQ(StatusView(normal).portCondition(1), PortCondition::Initialized);

    const StatusBlock both = blockWith(status::kPortState, 0x26);
    EXPECT_EQ(StatusView(both).portCondition(0), PortCondition::Absent);
    EXPECT_EQ(StatusView(both).portCondition(1), PortCondition::Initialized);
    EXPECT_EQ(StatusView(both).volumeState(), VolumeState::Normal);

    // Initialized before failed before inserted.
    const StatusBlock mixed = blockWith(status::kPortState, 0x9B);
    EXPECT_EQ(StatusView(mixed).portCondition(0), PortCondition::Initialized);
    EXPECT_EQ(StatusView(mixed).portCondition(1), PortCondition::Failed);
    const StatusBlock inserted = blockWith(status::kPortState, 0x10);
    EXPECT_EQ(StatusView(inserted).portCondition(1), PortCondition::Inserted);
    EXPECT_EQ(StatusView(inserted).portCondition(0), PortCondition::None);

    EXPECT_EQ(StatusView(blockWith(status::kPortState, 0x44)).volumeState(), VolumeState::Failure);
    EXPECT_EQ(StatusView(blockWith(status::kPortState, 0x42)).volumeState(), VolumeState::SingleDisk);
    EXPECT_EQ(StatusView(blockWith(status::kPortState, 0x24)).volumeState(), VolumeState::SingleDisk);
}

TEST(StatusDecoding, ActivityRunningPortAndKind) {
    const StatusBlock idle = blockWith(status::kActivityFlags, 0x8C);
    EXPECT_FALSE(StatusView(idle).activityRunning());
    EXPECT_EQ(StatusView(idle).activityPort(), -1);
    EXPECT_EQ(StatusView(idle).activityKind(true), ActivityKind::None);

    const StatusBlock scanBoth = blockWith(status::kActivityFlags, 0x83);
    EXPECT_EQ(StatusView(scanBoth).activityPort(), 0);
    EXPECT_EQ(StatusView(scanBoth).activityKind(true), ActivityKind::Scan);
    // An enclosure that cannot scan only rebuilds.
    EXPECT_EQ(StatusView(scanBoth).activityKind(false), ActivityKind::Rebuild);

    const StatusBlock rebuildP1 = blockWith(status::kActivityFlags, 0x02);
    EXPECT_EQ(StatusView(rebuildP1).activityPort(), 1);
    EXPECT_EQ(StatusView(rebuildP1).activityKind(true), ActivityKind::Rebuild);
}

TEST(StatusDecoding, SataGenerationsPerNibble) {
    const StatusBlock b = blockWith(status::kSataGenerations, 0x32);
    const StatusView v(b);
    EXPECT_EQ(v.sataGeneration(0), 2u);
    EXPECT_EQ(v.sataGeneration(1), 3u);
}

TEST(StatusDecoding, BadSectorRingWrapsAfterTen) {
    StatusBlock b{};
    b[status::kBadSectorCount] = 12;
    // Bad sectors 10 and 11 have overwritten 0 and 1.
    for (unsigned n = 2; n < 12; ++n) writeLe32(b, 472 + (n % 10) * 4, 0x1000 + n);
    const StatusView v(b);
    EXPECT_EQ(v.badSectorCount(), 12);
    EXPECT_EQ(readLe32(b, 476), 0x100Bu);
    EXPECT_EQ(v.badSectorLba(11), 0x100Bu);
    EXPECT_EQ(v.badSectorLba(10), 0x100Au);
    EXPECT_EQ(v.badSectorLba(0), 0x100Au);
    EXPECT_EQ(v.badSectorLba(9), 0x1009u);
    EXPECT_EQ(v.badSectorLba(2), 0x1002u);
}

Sector identifyWith(const std::string& revision, const std::string& model) {
    Sector s{};
    std::string padded = model;
    padded.resize(40, ' ');
    putAtaText(s, 46, revision);
    putAtaText(s, 54, padded);
    return s;
}

TEST(IdentityFields, FirmwareRevisionDecidesScanCapable) {
    EXPECT_EQ(firmwareRevisionText(identifyWith("090619.0", "X")), "090619.0");
    EXPECT_TRUE(scanCapable("090619.0"));
    EXPECT_TRUE(scanCapable("120101.3"));
    EXPECT_FALSE(scanCapable("090618.9"));
    EXPECT_FALSE(scanCapable("A90619.1"));
    EXPECT_FALSE(scanCapable("0906191."));
    EXPECT_FALSE(scanCapable("09 619.0"));
    EXPECT_FALSE(scanCapable("090619"));
    EXPECT_TRUE(scanCapable(firmwareRevisionText(identifyWith("100101.1", "X"))));
}

TEST(IdentityFields, ModelTextCutsTrailingBlanksButKeepsSix) {
    EXPECT_EQ(modelText(identifyWith("090619.0", "QX Mirror Box")), "QX Mirror Box");
    EXPECT_EQ(modelText(identifyWith("090619.0", "AB")), "AB    ");
    EXPECT_EQ(modelText(identifyWith("090619.0", "")), "      ");
    EXPECT_EQ(modelText(identifyWith("090619.0", "A B  C")), "A B  C");
    const std::string full(40, 'M');
    EXPECT_EQ(modelText(identifyWith("090619.0", full)), full);
}

// The status query over the emulated bridge.
class StatusQueryTest : public ::testing::Test {
protected:
    StatusQueryTest() : dev(host, ui, clock) {}

    void addEnclosure(unsigned drive, virt::Route route, std::uint32_t word) {
        virt::EnclosureConfig config;
        config.route = route;
        host.addEnclosure(drive, config);
        dev.tables.deviceTable[dev.tables.deviceCount++] = word;
    }

    virt::VirtualHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev;
    StatusBuffers buffers{};
};

TEST_F(StatusQueryTest, FillsOnlyTheSlotItSelects) {
    addEnclosure(1, virt::Route::Lba, 1 | kLbaPath);
    addEnclosure(2, virt::Route::UsbShift, 2 | kUsbPath | kShiftPath);
    host.enclosure(2)->status().portState = 0x26;
    host.enclosure(2)->status().raidModeOfSystem = 3;
    for (auto& b : buffers) b.fill(0xAB);

    ASSERT_TRUE(QueryControllerStatus(dev, buffers, 1));
    EXPECT_EQ(dev.selectedDevice, 1);
    const auto record = host.enclosure(2)->currentRecord();
    EXPECT_TRUE(std::equal(record.begin(), record.end(), buffers[1].begin()));
    EXPECT_EQ(StatusView(buffers[1]).portState(), 0x26);
    EXPECT_STREQ(modeName(StatusView(buffers[1]).raidModeOfSystem()), "JBOD");
    EXPECT_EQ(buffers[0][0], 0xAB);
    EXPECT_EQ(buffers[2][0], 0xAB);

    ASSERT_TRUE(QueryControllerStatus(dev, buffers, 0));
    EXPECT_EQ(dev.selectedDevice, 0);
    const auto first = host.enclosure(1)->currentRecord();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffers[0].begin()));
    EXPECT_EQ(StatusView(buffers[0]).portState(), 0x22);
}

TEST_F(StatusQueryTest, FailedReadReportsAndLeavesTheSlotUntrusted) {
    addEnclosure(1, virt::Route::Ata, 1 | kAtaPath);
    host.clearTrace();
    host.failRequest(1);
    EXPECT_FALSE(QueryControllerStatus(dev, buffers, 0));
    EXPECT_EQ(ui.panel(kPanelMessages), "Read Error for LBA = 33 and sector count = 1");

    EXPECT_FALSE(QueryControllerStatus(dev, buffers, 4));
    EXPECT_EQ(dev.selectedDevice, 0);
}

}  // namespace
}  // namespace ardenvel
