// The synthetic firmware images: layout, record, table and contents.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"
#include "tests/support/ScratchDir.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::image {
namespace {

std::vector<std::uint8_t> make(const ImageSpec& plan) {
    std::vector<std::uint8_t> img;
    std::string error;
    EXPECT_TRUE(generateImage(plan, img, error)) << error;
    return img;
}

std::span<const std::uint8_t> recordOf(const std::vector<std::uint8_t>& img) {
    return std::span<const std::uint8_t>(img).subspan(img.size() - kRecordAreaSize, kRecordSize);
}

TEST(ImageGenerator, DefaultImageHasTheLayoutTheLoaderChecks) {
    const auto img = make({});
    ASSERT_EQ(img.size(), 0x80000u);
    EXPECT_TRUE(std::equal(std::begin(kImageSignature), std::end(kImageSignature), img.begin()));
    EXPECT_EQ(readLe24(img, kRecordAreaAddressOffset), 0x78000u);
    EXPECT_EQ(img[kConfigVersionCheckOffset], kConfigVersion);

    const auto rec = recordOf(img);
    EXPECT_EQ(rec[record::kSequenceNumber], 0);
    EXPECT_EQ(readLe16(rec, record::kChecksum), recordChecksum(rec));
    EXPECT_TRUE(std::equal(std::begin(kBrandSignature), std::end(kBrandSignature),
                           rec.begin() + record::kBrandSignature));
    EXPECT_EQ(rec[record::kChipOption], 0x85);
    EXPECT_EQ(rec[record::kSettingFlags], 0x13);
    // The other 127 record slots are erased.
    EXPECT_TRUE(std::all_of(img.begin() + 0x78000 + kRecordSize, img.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(ImageGenerator, CodeTableNamesEachTypeItsSlotAndMark) {
    ImageSpec plan;
    plan.codes = {{0x31, 0x18000, true}, {0x33, 0x0C000, false}, {0x35, 0x00123, true}};
    const auto img = make(plan);
    const auto rec = recordOf(img);
    for (std::size_t k = 0; k < plan.codes.size(); ++k) {
        const std::size_t at = codeEntryOffset(k);
        EXPECT_EQ(rec[at + entry::kCodeType], plan.codes[k].type);
        EXPECT_EQ(readLe24(rec, at + entry::kSlotAddress), plan.codes[k].slot);
        EXPECT_EQ(rec[at + entry::kUpdateMark], plan.codes[k].update ? kUpdateMark : 0x00);
    }
    for (std::size_t k = 3; k < 10; ++k)
        for (std::size_t i = 0; i < record::kCodeEntrySize; ++i) EXPECT_EQ(rec[codeEntryOffset(k) + i], 0xFF);
    // The free slot is the first one no entry names.
    EXPECT_EQ(readLe24(rec, record::kFreeSlotAddress), 0x24000u);
    // Sub-codes with low nibbles 1 and 3 are present; 0x35 is not a sub-code bit.
    EXPECT_EQ(rec[record::kFeatureFlags], 0x0A);

    // Slot contents name their type; an invalid address gets a table entry only.
    const auto c31 = codeSlotContents(0x31, "v1");
    EXPECT_TRUE(std::equal(c31.begin(), c31.end(), img.begin() + 0x18000));
    EXPECT_TRUE(std::equal(img.begin() + 0xC000, img.begin() + 0xC000 + 30,
                           std::string("ARDENVEL CODE TYPE 0x33 VERSION").begin()));
    EXPECT_EQ(img[0x24000], 0xFF);
}

TEST(ImageGenerator, ContentsDifferPerTypeAndVersion) {
    EXPECT_NE(codeSlotContents(0x31, "v1"), codeSlotContents(0x32, "v1"));
    EXPECT_NE(codeSlotContents(0x31, "v1"), codeSlotContents(0x31, "v2"));
    EXPECT_EQ(codeSlotContents(0x31, "v1"), codeSlotContents(0x31, "v1"));
    ImageSpec a, b;
    b.versionTag = "v2";
    const auto ia = make(a), ib = make(b);
    EXPECT_NE(recordOf(ia)[record::kTemplateBlock + 5], recordOf(ib)[record::kTemplateBlock + 5])
        << "the template block carries the version";
}

TEST(ImageGenerator, OneMegabyteImagePassesTheSameLoaderCheck) {
    ImageSpec plan;
    plan.size = 0x100000;
    const auto img = make(plan);
    EXPECT_EQ(readLe24(img, kRecordAreaAddressOffset), 0xF8000u);
    EXPECT_EQ(recordOf(img)[record::kConfigVersion], kConfigVersion);
    EXPECT_EQ(img[kConfigVersionCheckOffset], kConfigVersion);

    plan.codes = {{0x31, 0x78000, true}};  // a code in that slot wins
    const auto withCode = make(plan);
    EXPECT_EQ(withCode[0x78000], 'A');
}

// Between 512 KB and 560 KB the ring starts less than a code slot above
// 0x78000: the record's copy there must stop at the ring, inside the image.
TEST(ImageGenerator, EveryFlashSizeKeepsItsRingAndTheLoaderCopy) {
    for (std::uint32_t size = 0x80000; size <= 0x90000; size += 0x1000) {
        SCOPED_TRACE(size);
        ImageSpec plan;
        plan.size = size;
        const auto img = make(plan);
        ASSERT_EQ(img.size(), size);
        EXPECT_EQ(readLe24(img, kRecordAreaAddressOffset), size - kRecordAreaSize);
        EXPECT_EQ(readLe16(recordOf(img), record::kChecksum), recordChecksum(recordOf(img)));
        EXPECT_EQ(img[kConfigVersionCheckOffset], kConfigVersion);
    }
}

TEST(ImageGenerator, RefusesSpecsItCannotLayOut) {
    std::vector<std::uint8_t> img;
    std::string error;
    ImageSpec plan;
    plan.size = 0x80001;
    EXPECT_FALSE(generateImage(plan, img, error));
    EXPECT_FALSE(error.empty());
    plan = {};
    plan.codes = {{0x31, 0xC000, true}, {0x32, 0xC000, true}};
    EXPECT_FALSE(generateImage(plan, img, error));
    plan.codes.assign(11, CodeSpec{});
    EXPECT_FALSE(generateImage(plan, img, error));
    plan.codes.clear();
    for (std::uint32_t a = 0xC000; a < 0x78000; a += 0xC000)
        plan.codes.push_back({static_cast<std::uint8_t>(0x30 + a / 0xC000), a, true});
    EXPECT_FALSE(generateImage(plan, img, error)) << "no free slot left";
    plan.freeSlot = 0xC000;  // given explicitly, it may name a used slot
    EXPECT_TRUE(generateImage(plan, img, error)) << error;
}

TEST(ImageGenerator, WritesTheImageToAFile) {
    const auto file = ardenvel::test::scratchDir("generator-test.bin");
    std::string error;
    ASSERT_TRUE(writeImageFile(file, {}, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(file), 0x80000u);
    std::filesystem::remove(file);
    EXPECT_FALSE(writeImageFile("/nonexistent-dir/x.bin", {}, error));
}

TEST(ImageGenerator, ParsesNumbersInTheUsualSpellings) {
    std::uint32_t v = 0;
    EXPECT_TRUE(parseNumber("0xC000", v));
    EXPECT_EQ(v, 0xC000u);
    EXPECT_TRUE(parseNumber("31h", v));
    EXPECT_EQ(v, 0x31u);
    EXPECT_TRUE(parseNumber("49", v));
    EXPECT_EQ(v, 49u);
    EXPECT_FALSE(parseNumber("0x", v));
    EXPECT_FALSE(parseNumber("12a", v));
    EXPECT_FALSE(parseNumber("0x100000000", v));
    std::uint8_t b = 0;
    EXPECT_FALSE(parseByte("256", b));
}

}  // namespace
}  // namespace ardenvel::image
