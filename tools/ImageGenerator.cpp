#include "tools/ImageGenerator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"

namespace ardenvel::image {
namespace {

constexpr std::uint32_t kMinImageSize = kCodeSlotSize * 2 + kRecordAreaSize;
constexpr std::uint32_t kMaxImageSize = 0x1000000;  // 24-bit addresses

// FNV-1a: a stable seed from the version tag.
std::uint32_t seedOf(const std::string& tag, std::uint32_t salt) {
    std::uint32_t h = 2166136261u ^ salt;
    for (unsigned char c : tag) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// A pattern that never repeats within a slot and differs per seed.
void fillPattern(std::uint8_t* dst, std::size_t n, std::uint32_t seed) {
    std::uint32_t x = seed | 1u;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        dst[i] = static_cast<std::uint8_t>(x);
    }
}

void putText(std::vector<std::uint8_t>& b, std::size_t at, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), text.size());
}

std::string hex2(std::uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v);
    return buf;
}

}  // namespace

std::vector<CodeSpec> defaultCodes() {
    return {
        {0x31, kCodeSlotSize * 1, true}, {0x32, kCodeSlotSize * 2, true}, {0x35, kCodeSlotSize * 3, true}};
}

bool isValidCodeSlot(std::uint32_t address, std::uint32_t imageSize) {
    return address != 0 && address % kCodeSlotSize == 0 && imageSize >= kRecordAreaSize &&
           address + kCodeSlotSize <= imageSize - kRecordAreaSize;
}

std::vector<std::uint8_t> codeSlotContents(std::uint8_t type, const std::string& versionTag) {
    std::vector<std::uint8_t> slot(kCodeSlotSize);
    fillPattern(slot.data(), slot.size(), seedOf(versionTag, type));
    const std::string head = "ARDENVEL CODE TYPE 0x" + hex2(type) + " VERSION " + versionTag;
    const std::size_t n = std::min<std::size_t>(head.size(), 64);
    std::fill(slot.begin(), slot.begin() + 64, 0);
    std::memcpy(slot.data(), head.data(), n);
    // The code type again at the end, so a slot cut short is easy to spot.
    const std::string tail = "END OF CODE 0x" + hex2(type);
    std::memcpy(slot.data() + slot.size() - tail.size(), tail.data(), tail.size());
    return slot;
}

bool generateImage(const ImageSpec& plan, std::vector<std::uint8_t>& out, std::string& error) {
    if (plan.size < kMinImageSize || plan.size > kMaxImageSize || plan.size % kFlashSectorSize != 0) {
        error = "image size " + std::to_string(plan.size) +
                " is not a whole number of 4 KB sectors between 160 KB and 16 MB";
        return false;
    }
    std::vector<CodeSpec> codes = plan.codes;
    if (codes.empty() && plan.useDefaultCodes) codes = defaultCodes();
    if (codes.size() > record::kCodeEntries) {
        error = "at most 10 code types fit the code table";
        return false;
    }
    std::set<std::uint32_t> usedSlots;
    for (const CodeSpec& c : codes) {
        if (c.type == kEmptyCodeType) {
            error = "code type 0xFF marks an empty entry and cannot be used";
            return false;
        }
        if (isValidCodeSlot(c.slot, plan.size) && !usedSlots.insert(c.slot).second) {
            error = "two code types share the slot at 0x" + hex2(static_cast<std::uint8_t>(c.slot >> 16)) +
                    hex2(static_cast<std::uint8_t>(c.slot >> 8)) + hex2(static_cast<std::uint8_t>(c.slot));
            return false;
        }
    }
    const std::uint32_t recordBase = plan.size - kRecordAreaSize;
    std::uint32_t freeSlot = plan.freeSlot;
    if (freeSlot == 0) {
        for (std::uint32_t a = kCodeSlotSize; a + kCodeSlotSize <= recordBase; a += kCodeSlotSize) {
            if (!std::any_of(codes.begin(), codes.end(), [a](const CodeSpec& c) { return c.slot == a; })) {
                freeSlot = a;
                break;
            }
        }
        if (freeSlot == 0) {
            error = "every code slot is taken; no free slot is left for the record";
            return false;
        }
    }

    out.assign(plan.size, 0xFF);
    std::span<std::uint8_t> img(out);

    // Boot area: signature, head data, the record area's address, then a pattern.
    std::memcpy(out.data() + kSignatureOffset, kImageSignature, sizeof kImageSignature);
    putText(out, 4, "ARDV-BOOT-00");
    writeLe24(img, kRecordAreaAddressOffset, recordBase);
    out[19] = 0;
    const std::string bootText = "ARDENVEL SYNTHETIC BOOT AREA " + plan.versionTag;
    putText(out, 32, bootText.substr(0, 96));
    fillPattern(out.data() + 128, kBootAreaEnd - 128, seedOf(plan.versionTag, 0xB007));

    for (const CodeSpec& c : codes) {
        if (!isValidCodeSlot(c.slot, plan.size)) continue;
        const auto contents = codeSlotContents(c.type, plan.versionTag);
        std::copy(contents.begin(), contents.end(), out.begin() + c.slot);
    }

    // Record slot 0; the other 127 stay erased.
    std::span<std::uint8_t> rec = img.subspan(recordBase, kRecordSize);
    std::fill(rec.begin(), rec.end(), 0);
    rec[record::kSequenceNumber] = 0;
    rec[record::kConfigVersion] = kConfigVersion;
    std::uint8_t featureFlags = 0;
    for (std::size_t k = 0; k < record::kCodeEntries; ++k) {
        const std::size_t at = codeEntryOffset(k);
        if (k < codes.size()) {
            rec[at + entry::kCodeType] = codes[k].type;
            writeLe24(rec, at + entry::kSlotAddress, codes[k].slot);
            rec[at + entry::kUpdateMark] = codes[k].update ? kUpdateMark : 0x00;
            if ((codes[k].type & 0x0F) < 4)
                featureFlags |= static_cast<std::uint8_t>(1u << (codes[k].type & 0x0F));
        } else {
            std::fill(rec.begin() + at, rec.begin() + at + record::kCodeEntrySize, kEmptyCodeType);
        }
    }
    if (plan.scheduleBackup) featureFlags |= 0x80;
    if (plan.fastBackup) featureFlags |= 0x40;
    writeLe24(rec, record::kFreeSlotAddress, freeSlot);
    rec[record::kRaidModeInSpi] = plan.raidModeInSpi;
    rec[record::kSettingFlags] = plan.settingFlags;
    rec[record::kRaidModeOfSystem] = plan.raidModeOfSystem;
    rec[record::kChipOption] = plan.chipOption;
    rec[record::kSensorSupport] = plan.sensorSupport;
    writeLe16(rec, record::kFanAlarmLimit, plan.fanAlarmLimit);
    rec[record::kThermalAlarmLimit] = plan.thermalAlarmLimit;
    rec[record::kFeatureFlags] = featureFlags;
    std::memcpy(rec.data() + record::kBrandSignature, kBrandSignature, sizeof kBrandSignature);
    // The template block: a label and the version tag, padded with a counting pattern.
    for (std::size_t i = 0; i < record::kTemplateBlockSize; ++i)
        rec[record::kTemplateBlock + i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::string tmpl = "TPL " + plan.versionTag.substr(0, 16);
    std::memcpy(rec.data() + record::kTemplateBlock, tmpl.data(), tmpl.size());
    writeLe16(rec, record::kChecksum, recordChecksum(rec));

    const bool copySlotUsed =
        std::any_of(codes.begin(), codes.end(), [](const CodeSpec& c) { return c.slot == kRecordArea4Mbit; });
    if (plan.fourMbitRecordCopy && recordBase > kRecordArea4Mbit && !copySlotUsed) {
        // The copy's slot is erased up to the record area at most: on a flash
        // whose ring starts less than a slot above it, a whole slot would run
        // over the ring and past the end of the image.
        const std::uint32_t end = std::min(kRecordArea4Mbit + kCodeSlotSize, recordBase);
        std::fill(out.begin() + kRecordArea4Mbit, out.begin() + end, 0xFF);
        std::copy(rec.begin(), rec.end(), out.begin() + kRecordArea4Mbit);
    }
    return true;
}

bool writeImageFile(const std::filesystem::path& file, const ImageSpec& plan, std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (!generateImage(plan, bytes, error)) return false;
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    if (!f) {
        error = "cannot create " + file.string();
        return false;
    }
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        error = "cannot write " + file.string();
        return false;
    }
    return true;
}

bool parseNumber(const std::string& text, std::uint32_t& value) {
    if (text.empty()) return false;
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    } else if (digits.size() > 1 && (digits.back() == 'h' || digits.back() == 'H')) {
        digits.pop_back();
        base = 16;
    }
    if (digits.empty()) return false;
    std::uint64_t v = 0;
    for (char ch : digits) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (base == 16 && ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

bool parseByte(const std::string& text, std::uint8_t& value) {
    std::uint32_t v = 0;
    if (!parseNumber(text, v) || v > 0xFF) return false;
    value = static_cast<std::uint8_t>(v);
    return true;
}

}  // namespace ardenvel::image
