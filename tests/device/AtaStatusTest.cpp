// An ATA request counts only when the drive's own returned status says so.

#include <gtest/gtest.h>

#include "device/Transport.h"
#include "device/VuChannel.h"
#include "tests/device/DiscoveryFakeHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

struct StatusHost : test::FakeHost {
    std::uint8_t status = 0;
    bool sendAta(DriveHandle, TaskFile& r, std::span<std::uint8_t>) override {
        r.command = status;
        return true;
    }
};

TEST(AtaStatus, ErrorOrDeviceFaultInTheReturnedStatusIsAFailure) {
    StatusHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    const struct {
        std::uint8_t status;
        bool ok;
    } rows[] = {{0x50, true}, {0x58, true}, {0x51, false}, {0x70, false}, {0x71, false}};
    for (const auto& row : rows) {
        host.status = row.status;
        TaskFile r{.features = kModeSpiOpen, .device = 0xE0, .command = 0x88};
        EXPECT_EQ(AtaCommand(dev, 1, r, nullptr, 0), row.ok) << int{row.status};
        EXPECT_EQ(r.command, row.status) << "the registers come back either way";
    }
}

}  // namespace
}  // namespace ardenvel
