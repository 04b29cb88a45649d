// A firmware upgrade on a directory-backed enclosure is still there after the
// host is gone and the directory is loaded again, on both kinds of route.

#include <filesystem>
#include <fstream>

#include "firmware/Upgrade.h"
#include "tests/hosts/virtual/BridgeFixture.h"
#include "tests/support/ScratchDir.h"

namespace ardenvel::virt::test {
namespace {

namespace fs = std::filesystem;

class UpgradePersists : public ::testing::TestWithParam<const char*> {};

TEST_P(UpgradePersists, RestartSeesTheNewCode) {
    const fs::path dir = ardenvel::test::scratchDir(std::string("upgrade-") + GetParam());
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "description.json") << "{\"route\": \"" << GetParam() << "\"}";
    const std::uint32_t flags = std::string(GetParam()) == "lba" ? kLbaPath : kUsbPath | kShiftPath;

    image::ImageSpec plan;
    plan.versionTag = "v2";
    plan.codes = {{0x31, 0xC000, true}, {0x32, 0x18000, false}, {0x35, 0x24000, false}};
    FirmwareState fw;
    std::string error;
    ASSERT_TRUE(image::generateImage(plan, fw.image.bytes, error)) << error;
    {
        VirtualHost host;
        ASSERT_NE(host.loadEnclosure(1, dir, error), nullptr) << error;
        ardenvel::test::TestUi ui;
        ardenvel::test::FixedClock clock;
        DeviceState dev{host, ui, clock};
        dev.tables.deviceTable[0] = 1 | flags;
        dev.tables.deviceCount = 1;
        QuietProgress progress;
        EXPECT_TRUE(StartUpgrade(fw, dev, progress, dir));
        // The host still exists: nothing waits for the destructor.
        VirtualHost peek;
        VirtualEnclosure* again = peek.loadEnclosure(1, dir, error);
        ASSERT_NE(again, nullptr) << error;
        EXPECT_EQ(again->newestRecordAddress(), host.enclosure(1)->newestRecordAddress());
    }
    VirtualHost host;
    VirtualEnclosure* b = host.loadEnclosure(1, dir, error);
    ASSERT_NE(b, nullptr) << error;
    const auto rec = b->currentRecord();
    EXPECT_EQ(rec[image::record::kSequenceNumber], 1);
    EXPECT_EQ(readLe24(rec, image::codeEntryOffset(0) + image::entry::kSlotAddress), 0x30000u);
    const auto v2 = image::codeSlotContents(0x31, "v2");
    EXPECT_TRUE(std::equal(v2.begin(), v2.end(), b->flash().begin() + 0x30000));
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Routes, UpgradePersists, ::testing::Values("lba", "usb-shift"),
                         [](const auto& info) {
                             return std::string(info.param == std::string("lba") ? "Lba" : "Usb");
                         });

}  // namespace
}  // namespace ardenvel::virt::test
