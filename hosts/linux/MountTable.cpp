#include "hosts/linux/MountTable.h"

#include <set>

namespace ardenvel::linuxhost {
namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
            isOctal(field[i + 3])) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        std::size_t end = line.find_first_of(" \t", start);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

}  // namespace

std::vector<MountEntry> parseMountTable(std::string_view text) {
    std::vector<MountEntry> entries;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const auto fields = splitFields(text.substr(at, end - at));
        if (fields.size() >= 3)
            entries.push_back({unescape(fields[0]), unescape(fields[1]), unescape(fields[2])});
        at = end + 1;
    }
    return entries;
}

std::vector<std::string> blockDeviceSources(const std::vector<MountEntry>& entries) {
    std::vector<std::string> sources;
    std::set<std::string> seen;
    for (const MountEntry& entry : entries) {
        if (!entry.source.starts_with("/dev/") || entry.source.size() <= 5) continue;
        if (seen.insert(entry.source).second) sources.push_back(entry.source);
    }
    return sources;
}

}  // namespace ardenvel::linuxhost
