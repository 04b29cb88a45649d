// The record the bridge serves: the newest ConfigRecord of the ring with the
// live status filled in, at LBA 33 and at the newest slot on USB.

#include "monitor/ControllerStatus.h"
#include "tests/hosts/virtual/BridgeFixture.h"

namespace ardenvel::virt::test {
namespace {

constexpr std::uint32_t kBase = image::kRecordArea4Mbit;

void putRecord(VirtualEnclosure& b, std::uint32_t slot, std::uint8_t seq, std::uint8_t marker) {
    auto& f = b.flash();
    std::fill(f.begin() + kBase + slot * 256, f.begin() + kBase + slot * 256 + 256, 0);
    f[kBase + slot * 256] = seq;
    f[kBase + slot * 256 + 1] = image::kConfigVersion;
    f[kBase + slot * 256 + 200] = marker;
}

void eraseRing(VirtualEnclosure& b) {
    std::fill(b.flash().begin() + kBase, b.flash().begin() + kBase + image::kRecordAreaSize, 0xFF);
}

// The USB record read: scan for the first used slot, then for the first erased
// one after it, and read the slot before that.
Sector usbRecord(DeviceState& dev, std::uint8_t shift) {
    Sector d{};
    dev.cdbShift = shift;
    std::uint32_t a = kBase;
    while (a <= 0x80000 - 256) {
        BridgeTransfer(dev, BridgeKind::ScanRead, d.data(), a);
        if (d[0] != 0xFF) break;
        a += 256;
    }
    while (a <= 0x80000 - 256) {
        BridgeTransfer(dev, BridgeKind::ScanRead, d.data(), a);
        if (d[0] == 0xFF) break;
        a += 256;
    }
    a -= 256;
    EXPECT_TRUE(BridgeTransfer(dev, BridgeKind::ReadPage, d.data(), a));
    return d;
}

class RecordTest : public BridgeTest {};

TEST_F(RecordTest, NewestRecordFollowsTheRingAcrossTheWrap) {
    attach(Route::Lba);
    eraseRing(*bridge);
    EXPECT_FALSE(bridge->newestRecordAddress());

    putRecord(*bridge, 0, 0, 0xA0);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase);
    for (std::uint8_t s = 1; s <= 16; ++s) putRecord(*bridge, s, s, s);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 16 * 256);

    // The writer erased the sector behind record 16.
    std::fill(bridge->flash().begin() + kBase, bridge->flash().begin() + kBase + 0x1000, 0xFF);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 16 * 256);

    // Records 112..127 with 0 written after 127, before the last sector was erased.
    eraseRing(*bridge);
    for (std::uint32_t s = 112; s < 128; ++s) putRecord(*bridge, s, static_cast<std::uint8_t>(s), 1);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 127 * 256);
    putRecord(*bridge, 0, 0, 0x77);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase);
    putRecord(*bridge, 1, 1, 0x78);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 256);
    EXPECT_EQ(bridge->currentRecord()[200], 0x78);

    // Only first bytes count: a used slot after the run joins it, whatever its sequence.
    putRecord(*bridge, 2, 9, 0x79);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 2 * 256);

    // Every slot used: the last one, as the USB read ends there too.
    for (std::uint32_t s = 0; s < 128; ++s) putRecord(*bridge, s, static_cast<std::uint8_t>(s), 2);
    EXPECT_EQ(bridge->newestRecordAddress(), kBase + 127 * 256);
}

TEST_F(RecordTest, StatusFieldsOverlayTheFlashRecord) {
    EnclosureConfig c;
    c.raidModeInSpi = 0;
    c.settingFlags = 0x11;
    c.status.raidModeOfSystem = 3;
    c.status.portState = 0x12;
    c.status.activityFlags = 0x82;
    c.status.progressPercent = 57;
    c.status.configuredCapacity = 0x12345678;
    c.status.disks[0] = PortDisk{"S1A2B3", "MODEL ZERO", 1000, 3};
    c.status.disks[1] = PortDisk{"SECOND", "MODEL ONE", 2000, 1};
    attach(std::move(c));
    for (std::uint32_t n = 0; n < 12; ++n)
        bridge->addTimeline({0, TimelineEvent::Kind::BadSector, 1, {}, 0, 0, 100 + n});

    const Sector r = read(kRecordLba);
    const StatusView v(r);
    EXPECT_EQ(r[image::record::kConfigVersion], image::kConfigVersion);
    EXPECT_EQ(std::string(r.begin() + 114, r.begin() + 120), "KORVAN");
    EXPECT_EQ(v.raidModeInSpi(), 0);
    EXPECT_EQ(v.settingFlags(), 0x11);
    EXPECT_EQ(v.raidModeOfSystem(), 3);
    EXPECT_EQ(v.serial(0).substr(0, 6), "S1A2B3");
    EXPECT_EQ(r[status::kP0Serial], '1') << "ATA byte order";
    EXPECT_EQ(v.model(1).substr(0, 9), "MODEL ONE");
    EXPECT_EQ(v.configuredCapacity(), 0x12345678u);
    EXPECT_EQ(v.portState(), 0x12);
    EXPECT_EQ(v.activityFlags(), 0x82 | activity::kBadP1);
    EXPECT_EQ(v.progressPercent(), 57);
    EXPECT_EQ(v.portCapacity(0), 1000u);
    EXPECT_EQ(v.portCapacity(1), 2000u);
    EXPECT_EQ(v.sataGenerations(), 0x13);
    EXPECT_EQ(v.badSectorCount(), 12);
    EXPECT_EQ(v.badSectorLba(11), 111u);
    EXPECT_EQ(readLe32(r, 472), 110u) << "bad sector 10 overwrote bad sector 0";
}

TEST_F(RecordTest, UsbReadSeesTheSameRecordAsLbaThirtyThree) {
    for (std::uint8_t shift : {0, 1}) {
        SCOPED_TRACE(int(shift));
        VirtualHost usbHost;
        EnclosureConfig c;
        c.route = shift ? Route::UsbShift : Route::UsbNoShift;
        c.status.progressPercent = 33;
        VirtualEnclosure& b = usbHost.addEnclosure(2, c);
        for (std::uint32_t s = 1; s < 5; ++s) putRecord(b, s, static_cast<std::uint8_t>(s), 0x40 + s);
        DeviceState d{usbHost, ui, clock};
        ASSERT_NE(OpenDrive(d, 2), kInvalidHandle);
        const Sector got = usbRecord(d, shift);
        EXPECT_EQ(got, b.currentRecord());
        EXPECT_EQ(got[0], 4);
        EXPECT_EQ(got[status::kProgressPercent], 33);
        EXPECT_EQ(b.counters().statusReads, 1u) << "the scan reads are not status reads";
        // Raw flash elsewhere, the slot's own bytes included.
        Sector raw{};
        ASSERT_TRUE(BridgeTransfer(d, BridgeKind::ReadPage, raw.data(), kBase + 2 * 256));
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), b.flash().begin() + kBase + 2 * 256));
    }
}

TEST_F(RecordTest, EmptyRingStillServesTheLiveStatus) {
    attach(Route::Lba);
    eraseRing(*bridge);
    const Sector r = read(kRecordLba);
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[status::kPortState], 0x22);
}

TEST_F(RecordTest, RingStatesOfAFreshFlash) {
    for (const RingState state :
         {RingState::Written, RingState::Empty, RingState::GarbledNewest, RingState::OutOfTurn}) {
        SCOPED_TRACE(static_cast<int>(state));
        EnclosureConfig c;
        c.flashRing = state;
        attach(c);
        const auto& f = bridge->flash();
        const Sector r = read(kRecordLba);
        EXPECT_EQ(r[status::kPortState], 0x22) << "the live status is served whatever the ring holds";
        switch (state) {
            case RingState::Written:
                EXPECT_EQ(r[image::record::kConfigVersion], image::kConfigVersion);
                EXPECT_EQ(f[kBase + 256], 0xFF);
                break;
            case RingState::Empty:
                EXPECT_FALSE(bridge->newestRecordAddress());
                EXPECT_EQ(r[0], 0xFF);
                break;
            case RingState::GarbledNewest:
                EXPECT_EQ(bridge->newestRecordAddress(), kBase);
                EXPECT_EQ(r[0], 0);
                EXPECT_NE(r[image::record::kConfigVersion], image::kConfigVersion);
                EXPECT_NE(readLe16(r, image::record::kChecksum), image::recordChecksum(r));
                break;
            case RingState::OutOfTurn:
                // Slot 1 holds sequence 2, and the bridge takes it as the USB read does.
                EXPECT_EQ(bridge->newestRecordAddress(), kBase + 256);
                EXPECT_EQ(f[kBase + 256], 2);
                EXPECT_TRUE(
                    std::equal(f.begin() + kBase + 1, f.begin() + kBase + 254, f.begin() + kBase + 257));
                break;
        }
    }
}

}  // namespace
}  // namespace ardenvel::virt::test
