#include "hosts/linux/BlockDevices.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <set>

namespace ardenvel::linuxhost {
namespace fs = std::filesystem;
namespace {

struct Token {
    enum Kind { Number, DiskLetters, Alpha } kind;
    std::string_view text;
};

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Families whose disks are told apart by a letter suffix (sda, vdb, xvdc).
constexpr std::array<std::string_view, 4> kLetterFamilies = {"xvd", "sd", "hd", "vd"};

std::vector<Token> tokenize(std::string_view name) {
    std::vector<Token> tokens;
    std::size_t at = 0;
    while (at < name.size()) {
        const bool digits = isDigit(name[at]);
        std::size_t end = at;
        while (end < name.size() && isDigit(name[end]) == digits) ++end;
        std::string_view run = name.substr(at, end - at);
        if (digits) {
            tokens.push_back({Token::Number, run});
        } else if (tokens.empty()) {
            bool split = false;
            for (std::string_view family : kLetterFamilies) {
                if (run.size() > family.size() && run.starts_with(family)) {
                    tokens.push_back({Token::Alpha, family});
                    tokens.push_back({Token::DiskLetters, run.substr(family.size())});
                    split = true;
                    break;
                }
            }
            if (!split) tokens.push_back({Token::Alpha, run});
        } else {
            tokens.push_back({Token::Alpha, run});
        }
        at = end;
    }
    return tokens;
}

int compareNumbers(std::string_view a, std::string_view b) {
    const auto strip = [](std::string_view s) {
        const auto first = s.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view{} : s.substr(first);
    };
    const std::string_view sa = strip(a), sb = strip(b);
    if (sa.size() != sb.size()) return sa.size() < sb.size() ? -1 : 1;
    if (const int c = sa.compare(sb); c != 0) return c;
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
}

int compareTokens(const Token& a, const Token& b) {
    if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
    switch (a.kind) {
        case Token::Number: return compareNumbers(a.text, b.text);
        case Token::DiskLetters:
            if (a.text.size() != b.text.size()) return a.text.size() < b.text.size() ? -1 : 1;
            return a.text.compare(b.text);
        case Token::Alpha: return a.text.compare(b.text);
    }
    return 0;
}

std::string readFirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<std::string> wholeDiskOf(const fs::path& sysfsRoot, const std::string& name, int depth) {
    if (depth > 8 || name.empty()) return std::nullopt;
    std::error_code ec;
    fs::path node = sysfsRoot / "class" / "block" / name;
    if (!fs::exists(node, ec)) node = sysfsRoot / "block" / name;
    if (!fs::exists(node, ec)) return std::nullopt;

    if (fs::exists(node / "partition", ec)) {
        const fs::path real = fs::canonical(node, ec);
        if (ec) return std::nullopt;
        return real.parent_path().filename().string();
    }
    // A mapped or RAID device: its first extent lies on one of the devices
    // below it. sysfs does not say which comes first, so take the lowest name.
    std::vector<std::string> slaves;
    for (const auto& entry : fs::directory_iterator(node / "slaves", ec)) {
        slaves.push_back(entry.path().filename().string());
    }
    if (!slaves.empty()) {
        const auto first = std::min_element(
            slaves.begin(), slaves.end(), [](const auto& a, const auto& b) { return kernelNameLess(a, b); });
        return wholeDiskOf(sysfsRoot, *first, depth + 1);
    }
    return name;
}

}  // namespace

bool kernelNameLess(std::string_view a, std::string_view b) {
    const auto ta = tokenize(a), tb = tokenize(b);
    const std::size_t n = std::min(ta.size(), tb.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (const int c = compareTokens(ta[i], tb[i]); c != 0) return c < 0;
    }
    if (ta.size() != tb.size()) return ta.size() < tb.size();
    return a < b;
}

bool isVirtualDiskName(std::string_view name) {
    constexpr std::array<std::string_view, 12> kPrefixes = {
        "loop", "ram", "zram", "dm-", "md", "sr", "nbd", "fd", "mtdblock", "ubiblock", "rbd", "zd"};
    for (std::string_view prefix : kPrefixes) {
        if (name.starts_with(prefix)) return true;
    }
    if (name.starts_with("mmcblk") &&
        (name.find("boot") != std::string_view::npos || name.find("rpmb") != std::string_view::npos)) {
        return true;
    }
    return false;
}

std::vector<std::string> listPhysicalDisks(const fs::path& sysfsRoot) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysfsRoot / "block", ec)) {
        std::string name = entry.path().filename().string();
        if (isVirtualDiskName(name)) continue;
        // Only disks with a device behind them; virtual block devices of any
        // other kind have no "device" link.
        if (!fs::exists(entry.path() / "device", ec)) continue;
        // Per-controller paths of a multipath NVMe namespace.
        if (readFirstLine(entry.path() / "hidden") == "1") continue;
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return kernelNameLess(a, b); });
    return names;
}

std::optional<std::string> wholeDiskOf(const fs::path& sysfsRoot, const std::string& name) {
    return wholeDiskOf(sysfsRoot, name, 0);
}

std::optional<std::string> blockDeviceName(const fs::path& sysfsRoot, const fs::path& devRoot,
                                           std::string_view source) {
    constexpr std::string_view kDev = "/dev/";
    if (!source.starts_with(kDev) || source.size() == kDev.size()) return std::nullopt;
    const fs::path path = devRoot / source.substr(kDev.size());
    std::error_code ec;

    const fs::path real = fs::canonical(path, ec);
    if (!ec) {
        std::string name = real.filename().string();
        if (fs::exists(sysfsRoot / "class" / "block" / name, ec)) return name;
    }
    // A node whose name sysfs does not know (renamed by udev rules): go by
    // its device number instead.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        const fs::path link = sysfsRoot / "dev" / "block" /
                              (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        const fs::path target = fs::canonical(link, ec);
        if (!ec) return target.filename().string();
    }
    return std::nullopt;
}

namespace {

// The previous slots of the names still present, below slotCount, each name once.
SlotMap keepPresent(const SlotMap& previous, const std::vector<std::string>& present, unsigned slotCount,
                    std::set<std::string>& placed) {
    const std::set<std::string> here(present.begin(), present.end());
    SlotMap slots;
    for (const auto& [slot, name] : previous) {
        if (slot < slotCount && here.contains(name) && placed.insert(name).second) slots[slot] = name;
    }
    return slots;
}

// Gives each name not yet placed the lowest free slot from `first` on, below slotCount.
void placeNew(SlotMap& slots, std::set<std::string>& placed, const std::vector<std::string>& names,
              unsigned first, unsigned slotCount) {
    unsigned next = first;
    for (const std::string& name : names) {
        if (placed.contains(name)) continue;
        while (next < slotCount && slots.contains(next)) ++next;
        if (next >= slotCount) return;
        slots[next] = name;
        placed.insert(name);
    }
}

bool isNumbered(const std::string& component, std::string_view prefix) {
    return component.size() > prefix.size() && component.starts_with(prefix) &&
           std::all_of(component.begin() + static_cast<std::ptrdiff_t>(prefix.size()), component.end(),
                       isDigit);
}

}  // namespace

SlotMap assignSlots(const SlotMap& previous, const std::vector<std::string>& present, unsigned slotCount) {
    std::set<std::string> placed;
    SlotMap slots = keepPresent(previous, present, slotCount, placed);
    placeNew(slots, placed, present, 0, slotCount);
    return slots;
}

SlotMap numberDrives(const SlotMap& previous, const std::vector<std::string>& frontDisks,
                     const std::vector<std::string>& otherDisks) {
    constexpr unsigned kNoLimit = ~0u;
    std::vector<std::string> all = frontDisks;
    all.insert(all.end(), otherDisks.begin(), otherDisks.end());
    std::set<std::string> placed;
    SlotMap slots = keepPresent(previous, all, kNoLimit, placed);
    // Beyond ten front disks the rest go behind, with the others.
    placeNew(slots, placed, frontDisks, 0, kNoLimit);
    placeNew(slots, placed, otherDisks, kFrontDriveNumbers, kNoLimit);
    return slots;
}

DiskTransport transportOfDevicePath(const fs::path& devicePath) {
    DiskTransport found = DiskTransport::Other;
    for (const auto& part : devicePath) {
        const std::string component = part.string();
        // The bus nearest the disk decides (a USB adapter on a PCI port, say).
        if (isNumbered(component, "usb")) found = DiskTransport::Usb;
        if (isNumbered(component, "ata")) found = DiskTransport::Ata;
    }
    return found;
}

DiskTransport diskTransport(const fs::path& sysfsRoot, const std::string& name) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    const fs::path real = fs::canonical(sysfsRoot / "block" / name, ec);
    return ec ? DiskTransport::Other : transportOfDevicePath(real.lexically_relative(root));
}

}  // namespace ardenvel::linuxhost
