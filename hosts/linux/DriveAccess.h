#pragma once
// How the Linux host opens drives, and what it tells a user whom the kernel
// refused. Kept free of state so that tests reach every case.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ardenvel::linuxhost {

inline constexpr unsigned kCapSysRawio = 17;

// The effective capability set from the text of /proc/self/status
// ("CapEff:\t0000003fffffffff"); nullopt when the line is missing or bad.
std::optional<std::uint64_t> effectiveCapabilities(std::string_view procStatus);

enum class DriveOpenMode { ReadOnly, ReadWrite };

// With CAP_SYS_RAWIO the kernel lets SG_IO carry every command on a
// read-only descriptor, and closing a read-only descriptor starts no udev
// re-read ("change" uevent). Without it, WRITE(10) passes only on a
// descriptor opened for writing, and the reserved-LBA route needs that.
DriveOpenMode driveOpenMode(std::optional<std::uint64_t> capabilities);

// What to tell the user after the kernel refused `device` with `error`. An
// ordinary user is told to run the tool as root; root is told which device
// and why, and that a container or a device policy is the likely cause.
std::string privilegeMessage(bool root, std::string_view device, int error);

}  // namespace ardenvel::linuxhost
