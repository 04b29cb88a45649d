#pragma once
// Drive discovery: counting drive letters and physical drives, mapping the
// letters to disks, and probing physical drives 0-9 for enclosures.
//
// The counts run on the window's thread; a pass (RunDiscovery) runs on
// DriveDetectThread, works on its own copy of the tables and publishes it
// whole into DeviceState::finished. The window takes it over with
// ApplyDiscoveryResult once it has seen DiscoveryDone.

#include <array>
#include <cstdint>
#include <stop_token>
#include <string>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr char kReadLba58Error[] = "Read Error for LBA = 58 and sector count = 1";
inline constexpr char kTooManyLetters[] = "Drive Count Must less than 20.";

// The bridge query a USB bridge may answer in place of the 0x8B read, and
// what its answer starts with.
inline constexpr unsigned kIdentityQueryRow = 3;  // opcode 0x78
inline bool isIdentityQueryAnswer(const std::uint8_t* answer) {
    return answer[0] == 0x50 && answer[1] == 0x8B;
}

// What a pass works from, taken under resultMutex when it starts.
struct DriveCounts {
    std::array<char, kMaxDriveLetters + 1> letters{};
    unsigned letterCount = 0;
    unsigned physicalDriveCount = 0;
};
DriveCounts SnapshotDriveCounts(DeviceState& dev);

// Window's thread. Rewrites DeviceState::driveLetters and driveLetterCount
// and returns the count (at most 24).
unsigned EnumerateDriveLetters(DeviceState& dev);
// Window's thread. How many of physical drives 0-9 open; stores nothing and
// never waits for a device operation.
unsigned CountPhysicalDrives(DeviceState& dev);
// Window's thread: both counts; stores the physical count too. True when
// either count differs from the stored one.
bool RecountDrives(DeviceState& dev);
// Raises a pass request (DiscoveryPending first, then DiscoveryRequest).
void RequestDiscovery(DeviceState& dev);
// DriveDetectThread, after a pass: DiscoveryDone, then DiscoveryPending
// cleared unless another pass has been asked for meanwhile.
void PublishDiscoveryResult(DeviceState& dev);
// A pass is asked for, running, or finished and not yet applied: the table
// the window works from is about to change.
inline bool DiscoveryAhead(const DeviceState& dev) {
    return dev.discoveryPending || dev.discoveryDone;
}

// Fills tables.logicalDrives for the first 20 letters of `counts`. Records
// whose extent request fails keep what they held. A stop request ends it
// between letters.
void ScanLogicalDrives(DeviceState& dev, const DriveCounts& counts, DiscoveryTables& tables,
                       std::stop_token stop = {});
// Probes physical drives 0-9 until counts.physicalDriveCount of them have
// opened; fills tables.deviceTable (at most 8 words) and tables.sectorBuffers.
// Returns the number of enclosures stored. A stop request ends it between
// drives.
unsigned ProbeDevices(DeviceState& dev, const DriveCounts& counts, DiscoveryTables& tables,
                      std::stop_token stop = {});
// One pass, from the last finished tables; publishes into dev.finished.
// False when stopped before the end (nothing is published then).
bool RunDiscovery(DeviceState& dev, std::stop_token stop = {});

// Window's thread: dev.tables = dev.finished (a new tablesGeneration), and
// the box about too many drive letters when that pass saw them.
void ApplyDiscoveryResult(DeviceState& dev);

// "1/2 Device1[EF]": selected slot, device count, then the fixed volumes on
// the selected enclosure's disk.
std::string BuildDeviceCaption(const DiscoveryTables& tables, std::uint8_t selectedDevice);
std::string BuildDeviceCaption(const DeviceState& dev);

}  // namespace ardenvel
