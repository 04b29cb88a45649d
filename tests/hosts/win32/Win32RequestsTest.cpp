// Runs as Windows code (under Wine on Linux): the requests the transport's
// CDBs and task files become, byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/Transport.h"
#include "hosts/win32/Win32Requests.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

using win32::ScsiRequest;

// Keeps what the transport handed to the host, answers every request.
class CapturingHost : public Host {
public:
    DriveHandle openPhysicalDrive(unsigned) override { return 7; }
    DriveHandle openVolume(char) override { return 8; }
    void closeDrive(DriveHandle) override {}
    bool sendCdb(DriveHandle, std::span<const std::uint8_t, 10> c, DataDirection d,
                 std::span<std::uint8_t> data, unsigned timeout) override {
        std::memcpy(cdb.data(), c.data(), 10);
        direction = d;
        length = static_cast<std::uint32_t>(data.size());
        buffer = data.data();
        timeoutSeconds = timeout;
        return true;
    }
    bool sendAta(DriveHandle, TaskFile& r, std::span<std::uint8_t> data) override {
        registers = r;
        ataBytes = data.size();
        return true;
    }
    void rescanBus(DriveHandle) override {}
    std::uint32_t logicalDriveMask() override { return 0; }
    std::uint8_t driveType(char) override { return 0; }
    bool volumeDiskNumber(DriveHandle, std::uint32_t&) override { return false; }
    void setDeviceChangeHandler(std::function<void()>) override {}

    std::array<std::uint8_t, 10> cdb{};
    DataDirection direction{};
    std::uint32_t length = 0;
    void* buffer = nullptr;
    unsigned timeoutSeconds = 0;
    TaskFile registers;
    std::size_t ataBytes = 0;
};

struct Fixture : ::testing::Test {
    CapturingHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};

    ScsiRequest request() const {
        return win32::buildScsiRequest(host.cdb, host.direction, host.buffer, host.length,
                                       host.timeoutSeconds);
    }
};

void expectCommonFields(const ScsiRequest& r) {
    EXPECT_EQ(r.sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(r.sptd.PathId, 0);
    EXPECT_EQ(r.sptd.TargetId, 1);
    EXPECT_EQ(r.sptd.Lun, 0);
    EXPECT_EQ(r.sptd.CdbLength, 10);
    EXPECT_EQ(r.sptd.SenseInfoLength, 24);
    EXPECT_EQ(r.sptd.SenseInfoOffset, offsetof(ScsiRequest, sense));
    for (unsigned char b : r.sense) EXPECT_EQ(b, 0);
    for (std::size_t i = 10; i < sizeof r.sptd.Cdb; ++i) EXPECT_EQ(r.sptd.Cdb[i], 0) << i;
}

TEST_F(Fixture, Read10OfLba58IsOneSectorInWithTwoSecondTimeout) {
    std::uint8_t sector[512];
    ASSERT_TRUE(ReadSectors(dev, 7, 58, sector, 1));
    const ScsiRequest r = request();
    expectCommonFields(r);
    const std::uint8_t want[10] = {0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0};
    EXPECT_EQ(std::memcmp(r.sptd.Cdb, want, 10), 0);
    EXPECT_EQ(r.sptd.DataIn, 1);
    EXPECT_EQ(r.sptd.DataTransferLength, 512u);
    EXPECT_EQ(r.sptd.DataBuffer, sector);
    EXPECT_EQ(r.sptd.TimeOutValue, 2u);
}

TEST_F(Fixture, VendorReadPageCarriesTheShiftedOpcode) {
    dev.handle = 7;
    dev.cdbShift = 1;
    std::uint8_t page[512];
    ASSERT_TRUE(BridgeTransfer(dev, BridgeKind::ReadPage, page, 0x12300));
    const ScsiRequest r = request();
    expectCommonFields(r);
    const std::uint8_t want[10] = {0xFE, 0x85, 0x00, 0x01, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(r.sptd.Cdb, want, 10), 0);
    EXPECT_EQ(r.sptd.DataIn, 1);
    EXPECT_EQ(r.sptd.DataTransferLength, 512u);
}

TEST_F(Fixture, InquiryWaitsTwoHundredSeconds) {
    std::uint8_t answer[36];
    ASSERT_TRUE(InquiryDevice(dev, 7, answer));
    const ScsiRequest r = request();
    expectCommonFields(r);
    const std::uint8_t want[10] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(r.sptd.Cdb, want, 10), 0);
    EXPECT_EQ(r.sptd.DataTransferLength, 36u);
    EXPECT_EQ(r.sptd.TimeOutValue, 200u);
}

TEST_F(Fixture, WriteGoesHostToDevice) {
    std::uint8_t sector[512] = {};
    ASSERT_TRUE(WriteSectors(dev, 7, 20, sector, 1));
    EXPECT_EQ(request().sptd.DataIn, 0);
    EXPECT_EQ(request().sptd.Cdb[0], 0x2A);
}

TEST(IdeRequest, IdentifyBufferHoldsRegistersLengthAndRoomForOneSector) {
    const TaskFile identify{0, 0, 0, 0, 0, 0xE0, 0xEC};
    std::vector<std::uint8_t> b(win32::ideBufferSize(512), 0xAA);
    ASSERT_EQ(b.size(), 528u);
    win32::fillIdeRequest(b, identify, 512);
    const std::uint8_t head[12] = {0, 0, 0, 0, 0, 0xE0, 0xEC, 0, 0x00, 0x02, 0, 0};
    EXPECT_EQ(std::memcmp(b.data(), head, 12), 0);
    for (std::size_t i = 12; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(IdeRequest, CountZeroVendorCommandIsSixteenBytes) {
    const TaskFile mode{0x03, 0, 0, 0, 0, 0xE0, 0x88};
    std::vector<std::uint8_t> b(win32::ideBufferSize(0));
    ASSERT_EQ(b.size(), 16u);
    win32::fillIdeRequest(b, mode, 0);
    const std::uint8_t want[16] = {0x03, 0, 0, 0, 0, 0xE0, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b.data(), want, 16), 0);
    EXPECT_EQ(win32::ideRegistersOf(b), mode);
}

TEST(DeviceDescriptor, SerialIsTakenOnlyFromInsideTheAnswer) {
    std::vector<std::uint8_t> d(64, 0);
    const char serial[] = "  WD-WCAV1234 ";
    std::memcpy(d.data() + 40, serial, sizeof serial);
    const auto at = [&](std::uint32_t offset) {
        for (int i = 0; i < 4; ++i) d[24 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
        return win32::descriptorSerial(d);
    };
    EXPECT_EQ(at(40), "WD-WCAV1234");
    EXPECT_EQ(at(0), "");   // no serial
    EXPECT_EQ(at(64), "");  // past the bytes returned
    EXPECT_EQ(at(0xFFFFFFF0), "");
    d.back() = 'X';  // unterminated at the end
    EXPECT_EQ(at(63), "X");
    EXPECT_EQ(win32::descriptorSerial(std::span(d).first(20)), "");
}

TEST(ScsiRequestLayout, SizesMatchTheWordSize) {
#if defined(_WIN64)
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 56u);
    EXPECT_EQ(offsetof(ScsiRequest, sense), 60u);
#else
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 44u);
    EXPECT_EQ(sizeof(ScsiRequest), 80u);
#endif
}

}  // namespace
}  // namespace ardenvel
