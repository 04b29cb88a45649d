// make-firmware-image: writes a synthetic firmware image file.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/ImageLayout.h"
#include "tools/ImageGenerator.h"

namespace {

using namespace ardenvel::image;

const char kUsage[] =
    "usage: make-firmware-image [options] OUTPUT.bin\n"
    "  --size 512K|1M|BYTES       image size (default 512K)\n"
    "  --code TYPE[@SLOT][:keep]  a code type, its slot (next free one if left out),\n"
    "                             marked for update unless :keep; repeat up to 10 times\n"
    "  --no-codes                 an empty code table\n"
    "  --free-slot ADDRESS        FreeSlotAddress (default: first slot no code uses)\n"
    "  --version TAG              version tag written into every header (default v1)\n"
    "  --raid-mode CODE           RaidModeInSpi and RaidModeOfSystem (default 1, Mirror)\n"
    "  --setting-flags BYTE       SettingFlags (default 0x13)\n"
    "  --chip-option BYTE         ChipOption (default 0x85)\n"
    "Numbers take decimal, 0x.. or ..h. Without --code the types 0x31, 0x32 and 0x35\n"
    "are laid out in the first three slots, all marked for update.\n";

int usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "make-firmware-image: %s\n", why.c_str());
    std::fputs(kUsage, stderr);
    return 1;
}

bool parseSize(const std::string& text, std::uint32_t& size) {
    if (text == "512K" || text == "512k") return size = 0x80000, true;
    if (text == "1M" || text == "1m") return size = 0x100000, true;
    return parseNumber(text, size);
}

struct PendingCode {
    std::uint8_t type = 0;
    bool slotGiven = false;
    std::uint32_t slot = 0;
    bool update = true;
};

bool parseCode(std::string text, PendingCode& code) {
    const auto colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string mark = text.substr(colon + 1);
        if (mark == "keep")
            code.update = false;
        else if (mark != "update")
            return false;
        text = text.substr(0, colon);
    }
    const auto at = text.find('@');
    if (at != std::string::npos) {
        if (!parseNumber(text.substr(at + 1), code.slot) || code.slot > 0xFFFFFF) return false;
        code.slotGiven = true;
        text = text.substr(0, at);
    }
    return parseByte(text, code.type) && code.type != kEmptyCodeType;
}

}  // namespace

int main(int argc, char** argv) {
    ImageSpec plan;
    std::vector<PendingCode> codes;
    bool noCodes = false;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--size") {
            if (!value(v) || !parseSize(v, plan.size)) return usage("bad --size");
        } else if (arg == "--code") {
            PendingCode c;
            if (!value(v) || !parseCode(v, c)) return usage("bad --code, expected TYPE[@SLOT][:keep]");
            codes.push_back(c);
        } else if (arg == "--no-codes") {
            noCodes = true;
        } else if (arg == "--free-slot") {
            if (!value(v) || !parseNumber(v, plan.freeSlot) || plan.freeSlot > 0xFFFFFF)
                return usage("bad --free-slot");
        } else if (arg == "--version") {
            if (!value(plan.versionTag) || plan.versionTag.empty()) return usage("bad --version");
        } else if (arg == "--raid-mode") {
            if (!value(v) || !parseByte(v, plan.raidModeInSpi)) return usage("bad --raid-mode");
            plan.raidModeOfSystem = plan.raidModeInSpi;
        } else if (arg == "--setting-flags") {
            if (!value(v) || !parseByte(v, plan.settingFlags)) return usage("bad --setting-flags");
        } else if (arg == "--chip-option") {
            if (!value(v) || !parseByte(v, plan.chipOption)) return usage("bad --chip-option");
        } else if (!arg.empty() && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (output.empty()) {
            output = arg;
        } else {
            return usage("only one output file");
        }
    }
    if (output.empty()) return usage("no output file given");
    if (noCodes && !codes.empty()) return usage("--no-codes and --code exclude each other");

    // Codes without a slot take the next one nobody asked for.
    std::uint32_t next = kCodeSlotSize;
    auto taken = [&](std::uint32_t a) {
        for (const PendingCode& c : codes)
            if (c.slotGiven && c.slot == a) return true;
        return false;
    };
    for (PendingCode& c : codes) {
        if (c.slotGiven) continue;
        while (taken(next)) next += kCodeSlotSize;
        c.slot = next;
        c.slotGiven = true;
        next += kCodeSlotSize;
    }
    for (const PendingCode& c : codes) plan.codes.push_back({c.type, c.slot, c.update});
    plan.useDefaultCodes = !noCodes;

    std::string error;
    if (!writeImageFile(output, plan, error)) {
        std::fprintf(stderr, "make-firmware-image: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s: %u bytes, record area at 0x%05X, version %s\n", output.c_str(), plan.size,
                plan.size - kRecordAreaSize, plan.versionTag.c_str());
    const std::vector<CodeSpec> shown = plan.codes.empty() && !noCodes ? defaultCodes() : plan.codes;
    for (const CodeSpec& c : shown)
        std::printf("  code type 0x%02X at 0x%06X%s\n", c.type, c.slot, c.update ? " (update)" : "");
    return 0;
}
