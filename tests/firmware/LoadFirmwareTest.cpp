#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "firmware/FirmwareLoad.h"
#include "firmware/ImageLayout.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/TestUi.h"

namespace ardenvel {
namespace {

namespace fs = std::filesystem;
const char* const kNotCorrect = "The firmware file is not correct.\nPlease check it.";

// The smallest image the loader accepts has its ConfigVersion byte last.
std::vector<std::uint8_t> acceptableImage(std::size_t length, std::uint8_t fill = 0x11) {
    std::vector<std::uint8_t> bytes(length, fill);
    std::copy(std::begin(image::kImageSignature), std::end(image::kImageSignature), bytes.begin());
    bytes[image::kConfigVersionCheckOffset] = image::kConfigVersion;
    return bytes;
}

std::uint32_t plainSum(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t s = 0;
    for (auto b : bytes) s += b;
    return s;
}

// A file in memory whose bytes can be made to fail a number of times.
class MemoryFile : public FirmwareFile {
public:
    MemoryFile(std::vector<std::uint8_t> bytes, std::uint64_t size,
               std::map<std::uint64_t, unsigned> failures, unsigned& reads)
        : bytes_(std::move(bytes)), size_(size), failures_(std::move(failures)), reads_(reads) {}
    std::uint64_t size() override { return size_; }
    bool readByte(std::uint64_t index, std::uint8_t& out) override {
        ++reads_;
        auto it = failures_.find(index);
        if (it != failures_.end() && it->second > 0) {
            --it->second;
            return false;
        }
        out = bytes_.at(index);
        return true;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t size_;
    std::map<std::uint64_t, unsigned> failures_;
    unsigned& reads_;
};

class MemoryOpener : public FirmwareFileOpener {
public:
    std::unique_ptr<FirmwareFile> open(const std::string& path) override {
        opened.push_back(path);
        auto it = files.find(path);
        if (it == files.end()) return nullptr;
        const std::uint64_t size = sizeOverride ? sizeOverride : it->second.size();
        return std::make_unique<MemoryFile>(it->second, size, failures, reads);
    }
    std::map<std::string, std::vector<std::uint8_t>> files;
    std::map<std::uint64_t, unsigned> failures;
    std::uint64_t sizeOverride = 0;
    unsigned reads = 0;
    std::vector<std::string> opened;
};

class LoadFirmwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ardenvel::test::scratchDir(std::string("load-") +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const fs::path p = dir / name;
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    bool loadFromDisk(const std::string& path) {
        return LoadFirmware(fw, ui, [&] { return std::optional<std::string>(path); });
    }

    fs::path dir;
    FirmwareState fw;
    test::TestUi ui;
};

TEST_F(LoadFirmwareTest, AcceptedFilesBecomeTheImageWithTheirSumShown) {
    const auto image = acceptableImage(image::kFlashSize4Mbit, 0x5C);
    const std::string path = writeFile("good.bin", image);
    ASSERT_TRUE(loadFromDisk(path));
    EXPECT_EQ(fw.image.bytes, image);
    EXPECT_EQ(fw.image.length(), image::kFlashSize4Mbit);
    EXPECT_EQ(ui.panel(kPanelMessages), "File:" + path);
    char expected[20];
    std::snprintf(expected, sizeof expected, "Chksum:%08X", plainSum(image));
    EXPECT_EQ(ui.panel(kPanelChecksum), expected);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_FALSE(fw.busy.load());

    // Larger flashes' images are accepted on the same two bytes.
    const auto big = acceptableImage(1 << 20);
    ASSERT_TRUE(loadFromDisk(writeFile("big.bin", big)));
    EXPECT_EQ(fw.image.length(), 1u << 20);

    // The shortest acceptable file ends with the ConfigVersion byte.
    const auto shortest = acceptableImage(image::kConfigVersionCheckOffset + 1);
    ASSERT_TRUE(loadFromDisk(writeFile("shortest.bin", shortest)));
    EXPECT_EQ(fw.image.length(), image::kConfigVersionCheckOffset + 1);
}

TEST_F(LoadFirmwareTest, RejectedFilesStillShowSumAndPathAndLeaveNoImage) {
    ASSERT_TRUE(loadFromDisk(writeFile("good.bin", acceptableImage(image::kFlashSize4Mbit))));

    // All 0xFF: no signature.
    const std::string ff = writeFile("ff.bin", std::vector<std::uint8_t>(0x80000, 0xFF));
    EXPECT_FALSE(loadFromDisk(ff));
    EXPECT_EQ(ui.panel(kPanelChecksum), "Chksum:07F80000");
    EXPECT_EQ(ui.panel(kPanelMessages), "File:" + ff);
    EXPECT_FALSE(fw.image.loaded());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, kNotCorrect);
    EXPECT_EQ(ui.boxes[0].caption, "Error");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Error);

    auto wrongVersion = acceptableImage(image::kFlashSize4Mbit);
    wrongVersion[image::kConfigVersionCheckOffset] = 0xA1;
    auto wrongSignature = acceptableImage(image::kFlashSize4Mbit);
    wrongSignature[3] = 'T';
    const auto tooShort = acceptableImage(image::kConfigVersionCheckOffset + 1);
    for (const auto& [name, bytes] :
         {std::pair{"version.bin", wrongVersion}, std::pair{"signature.bin", wrongSignature},
          std::pair{"short.bin", std::vector<std::uint8_t>(tooShort.begin(), tooShort.end() - 1)}}) {
        ASSERT_TRUE(loadFromDisk(writeFile("good.bin", acceptableImage(image::kFlashSize4Mbit))));
        ui.boxes.clear();
        EXPECT_FALSE(loadFromDisk(writeFile(name, bytes))) << name;
        EXPECT_FALSE(fw.image.loaded()) << name;
        ASSERT_EQ(ui.boxes.size(), 1u) << name;
        EXPECT_EQ(ui.boxes[0].text, kNotCorrect) << name;
    }
    // The empty file is summed to zero and refused.
    EXPECT_FALSE(loadFromDisk(writeFile("empty.bin", {})));
    EXPECT_EQ(ui.panel(kPanelChecksum), "Chksum:00000000");
}

TEST_F(LoadFirmwareTest, UnopenableFileLeavesNoImage) {
    ASSERT_TRUE(loadFromDisk(writeFile("good.bin", acceptableImage(image::kFlashSize4Mbit))));
    ui.setStatusText(kPanelChecksum, "Chksum:12345678");
    const std::string missing = (dir / "missing.bin").string();
    EXPECT_FALSE(loadFromDisk(missing));
    EXPECT_FALSE(fw.image.loaded());
    EXPECT_EQ(ui.panel(kPanelMessages), "File:" + missing);
    EXPECT_EQ(ui.panel(kPanelChecksum), "") << "the sum of the file before";
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Fail to open firmware file");
    EXPECT_EQ(ui.boxes[0].caption, "Error");
    EXPECT_EQ(ui.boxes[0].icon, BoxIcon::Error);
    EXPECT_FALSE(fw.busy.load());
}

TEST_F(LoadFirmwareTest, DialogIsGuardedByBusyFlagAndCancelKeepsTheImage) {
    ASSERT_TRUE(loadFromDisk(writeFile("good.bin", acceptableImage(image::kFlashSize4Mbit))));
    const auto before = fw.image.bytes;

    bool busyInDialog = false;
    EXPECT_FALSE(LoadFirmware(fw, ui, [&] {
        busyInDialog = fw.busy.load();
        return std::optional<std::string>{};
    }));
    EXPECT_TRUE(busyInDialog);
    EXPECT_FALSE(fw.busy.load());
    EXPECT_EQ(fw.image.bytes, before);

    // A press while another firmware command runs does nothing at all.
    fw.busy = true;
    bool asked = false;
    EXPECT_FALSE(LoadFirmware(fw, ui, [&] {
        asked = true;
        return std::optional<std::string>{"x"};
    }));
    EXPECT_FALSE(asked);
    EXPECT_TRUE(fw.busy.load());
    EXPECT_EQ(fw.image.bytes, before);
}

TEST_F(LoadFirmwareTest, UnreadableByteIsReadAgainAfterEachAcknowledgement) {
    MemoryOpener opener;
    const auto image = acceptableImage(image::kFlashSize4Mbit);
    opener.files["a.bin"] = image;
    opener.failures[0x1234] = kByteReadTries - 1;
    ASSERT_TRUE(LoadFirmwareFile(fw, ui, "a.bin", opener));
    EXPECT_EQ(fw.image.bytes, image);
    ASSERT_EQ(ui.boxes.size(), kByteReadTries - 1);
    for (const auto& box : ui.boxes) {
        EXPECT_EQ(box.text, "Error read from Source file. ByteCount = 4660");
        EXPECT_EQ(box.caption, "Warning:");
        EXPECT_EQ(box.icon, BoxIcon::Error);
    }
    char expected[20];
    std::snprintf(expected, sizeof expected, "Chksum:%08X", plainSum(image));
    EXPECT_EQ(ui.panel(kPanelChecksum), expected);
}

TEST_F(LoadFirmwareTest, ByteThatNeverReadsEndsLoadingWithoutImage) {
    MemoryOpener opener;
    opener.files["good.bin"] = acceptableImage(image::kFlashSize4Mbit);
    ASSERT_TRUE(LoadFirmwareFile(fw, ui, "good.bin", opener));
    opener.failures[7] = 1000;
    opener.reads = 0;
    EXPECT_FALSE(LoadFirmwareFile(fw, ui, "good.bin", opener));
    EXPECT_FALSE(fw.image.loaded());
    EXPECT_EQ(ui.panel(kPanelChecksum), "") << "the sum of the load before";
    EXPECT_EQ(ui.boxes.size(), kByteReadTries);
    // Bytes 0..6 once, byte 7 for every try, nothing after it.
    EXPECT_EQ(opener.reads, 7 + kByteReadTries);
}

TEST_F(LoadFirmwareTest, OversizedFileIsRefusedUnread) {
    MemoryOpener opener;
    opener.files["huge.bin"] = {};
    opener.sizeOverride = kMaxFirmwareFileSize + 1;
    ui.setStatusText(kPanelChecksum, "Chksum:12345678");
    EXPECT_FALSE(LoadFirmwareFile(fw, ui, "huge.bin", opener));
    EXPECT_EQ(opener.reads, 0u);
    EXPECT_FALSE(fw.image.loaded());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, kNotCorrect);
    EXPECT_EQ(ui.panel(kPanelChecksum), "");
    EXPECT_EQ(ui.panel(kPanelMessages), "File:huge.bin");
}

}  // namespace
}  // namespace ardenvel
