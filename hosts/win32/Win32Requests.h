#pragma once
// The request layouts the Windows pass-through calls take, built by pure
// functions so that a test can read them byte by byte apart from the call
// that sends them.

#ifdef _WIN32
// windows.h first: the others build on its types.
#include <windows.h>

#include <ntddscsi.h>
#include <winioctl.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Host.h"

namespace ardenvel::win32 {

#ifndef IOCTL_IDE_PASS_THROUGH
inline constexpr unsigned long kIoctlIdePassThrough = 0x4D028;
#else
inline constexpr unsigned long kIoctlIdePassThrough = IOCTL_IDE_PASS_THROUGH;
#endif
inline constexpr unsigned long kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr unsigned long kIoctlScsiRescanBus = 0x4101C;

#ifdef _WIN32
// SCSI_PASS_THROUGH_DIRECT, a 4-byte filler, then the sense area: 80 bytes
// with the 32-bit layout of the structure (44 bytes), 96 with the 64-bit one.
struct ScsiRequest {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kIoctlScsiRescanBus == IOCTL_SCSI_RESCAN_BUS);
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(ScsiRequest, sense) == 60);
static_assert(sizeof(ScsiRequest) == 96);
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(ScsiRequest, sense) == 48);
static_assert(sizeof(ScsiRequest) == 80);
#endif

ScsiRequest buildScsiRequest(std::span<const std::uint8_t, 10> cdb, DataDirection direction, void* data,
                             std::uint32_t length, unsigned timeoutSeconds);
#endif

// The IDE pass-through buffer: registers in bytes 0-6, a zero, the data
// length (32-bit little-endian) in 8-11, the data from byte 12; n x 512 + 16
// bytes in all.
inline constexpr std::size_t kIdeHeader = 12;
std::size_t ideBufferSize(std::size_t dataBytes);
void fillIdeRequest(std::span<std::uint8_t> buffer, const TaskFile& registers, std::uint32_t dataBytes);
TaskFile ideRegistersOf(std::span<const std::uint8_t> buffer);

// A STORAGE_DEVICE_DESCRIPTOR's serial number: the text at the offset held
// at byte 24, blanks trimmed; empty when the offset is 0 or points outside
// the bytes the driver returned.
std::string descriptorSerial(std::span<const std::uint8_t> descriptor);

}  // namespace ardenvel::win32
