#include "hosts/linux/DriveAccess.h"

#include <system_error>

#include "hosts/linux/LinuxHost.h"

namespace ardenvel::linuxhost {

std::optional<std::uint64_t> effectiveCapabilities(std::string_view procStatus) {
    constexpr std::string_view kKey = "CapEff:";
    std::size_t at = 0;
    while (at < procStatus.size()) {
        std::size_t end = procStatus.find('\n', at);
        if (end == std::string_view::npos) end = procStatus.size();
        std::string_view line = procStatus.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(kKey)) continue;
        line.remove_prefix(kKey.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line.size() > 16) return std::nullopt;
        std::uint64_t value = 0;
        for (const char c : line) {
            unsigned digit = 0;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
            value = value << 4 | digit;
        }
        return value;
    }
    return std::nullopt;
}

DriveOpenMode driveOpenMode(std::optional<std::uint64_t> capabilities) {
    const bool rawIo = capabilities && (*capabilities >> kCapSysRawio & 1) != 0;
    return rawIo ? DriveOpenMode::ReadOnly : DriveOpenMode::ReadWrite;
}

std::string privilegeMessage(bool root, std::string_view device, int error) {
    if (!root) return kLinuxPrivilegeMessage;
    return "Ardenvel runs as root, but the kernel refused it " + std::string(device) + ": " +
           std::generic_category().message(error) +
           ". A container or a device policy (a device cgroup, SELinux or AppArmor) probably keeps the "
           "disks from it.";
}

}  // namespace ardenvel::linuxhost
