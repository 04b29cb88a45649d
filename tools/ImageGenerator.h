#pragma once
// Synthetic firmware images in the flash layout of firmware/ImageLayout.h. No
// real firmware exists for this project: the boot area and every code slot are
// filled with recognisable text and patterns, so that a test or a person with a
// hex viewer can tell which code type, and which version of it, sits where.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ardenvel::image {

struct CodeSpec {
    std::uint8_t type = 0x31;
    // Where the code lives. A valid slot (non-zero multiple of 0xC000 below the
    // record area) gets the code's contents; any other value is written to the
    // table only, which is how test images with bad entries are made.
    std::uint32_t slot = 0xC000;
    bool update = true;  // update mark 0x5A, else 0x00
};

struct ImageSpec {
    std::uint32_t size = 0x80000;  // 512 KB or 1 MB
    // At most 10. Empty: the default set (see defaultCodes).
    std::vector<CodeSpec> codes;
    bool useDefaultCodes = true;  // only looked at when `codes` is empty
    // 0: the first valid slot that no entry uses.
    std::uint32_t freeSlot = 0;
    // Goes into every header and seeds the patterns, so two versions differ.
    std::string versionTag = "v1";
    std::uint8_t raidModeInSpi = 1;    // Mirror
    std::uint8_t settingFlags = 0x13;  // mode from SPI, buzzer sounding, auto scan on
    std::uint8_t raidModeOfSystem = 1;
    std::uint8_t chipOption = 0x85;
    std::uint8_t sensorSupport = 0x11;
    std::uint16_t fanAlarmLimit = 1200;
    std::uint8_t thermalAlarmLimit = 55;
    bool scheduleBackup = false;
    bool fastBackup = false;
    // The loader checks ConfigVersion at 0x78001, where a 4 Mbit image keeps
    // its record. A larger image gets a copy of its record at 0x78000 so that
    // it passes the same check, unless a code type lives in that slot.
    bool fourMbitRecordCopy = true;
};

// Three code types in the first three slots, all marked for update.
std::vector<CodeSpec> defaultCodes();

bool isValidCodeSlot(std::uint32_t address, std::uint32_t imageSize);

// Fills `out` with a whole image; false with a reason when it cannot be laid out.
bool generateImage(const ImageSpec& plan, std::vector<std::uint8_t>& out, std::string& error);
bool writeImageFile(const std::filesystem::path& file, const ImageSpec& plan, std::string& error);

// The recognisable contents of one code slot; generateImage puts exactly this at the slot.
std::vector<std::uint8_t> codeSlotContents(std::uint8_t type, const std::string& versionTag);

// Parses "0x31", "31h", "49" and the like; false on anything else.
bool parseByte(const std::string& text, std::uint8_t& value);
bool parseNumber(const std::string& text, std::uint32_t& value);

}  // namespace ardenvel::image
