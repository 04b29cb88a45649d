#pragma once
// The kernel's mount table (/proc/self/mounts), read as the list of volumes
// that stand in for drive letters.

#include <string>
#include <string_view>
#include <vector>

namespace ardenvel::linuxhost {

struct MountEntry {
    std::string source;
    std::string mountPoint;
    std::string fsType;

    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

// Every well-formed line, in mount order, with the octal escapes (\040 for
// a space and the like) decoded.
std::vector<MountEntry> parseMountTable(std::string_view text);

// The sources that name block devices (/dev/...), each once, in the order of
// their first mount. Pseudo file systems have sources such as "proc" or
// "tmpfs" and drop out here.
std::vector<std::string> blockDeviceSources(const std::vector<MountEntry>& entries);

}  // namespace ardenvel::linuxhost
