#pragma once
// The device subsystem's process-wide state, in one object: the one
// current-device handle, the vendor buffers, the discovery tables and the
// flags shared with the worker threads. The program makes one; each test
// makes its own.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>

#include "device/DeviceLock.h"
#include "platform/Clock.h"
#include "platform/Host.h"
#include "platform/Ui.h"

namespace ardenvel {

inline constexpr unsigned kSector = 512;
inline constexpr unsigned kMaxPhysicalDrives = 10;
inline constexpr unsigned kDeviceTableSize = 8;
inline constexpr unsigned kMaxDriveLetters = 24;
inline constexpr unsigned kLogicalDriveRecords = 20;

using Sector = std::array<std::uint8_t, kSector>;

// Route flags of a device word; bits 0-3 hold the physical drive number.
inline constexpr std::uint32_t kAtaPath = 0x10;
inline constexpr std::uint32_t kUsbPath = 0x20;
inline constexpr std::uint32_t kLbaPath = 0x40;
inline constexpr std::uint32_t kShiftPath = 0x80;
inline constexpr std::uint32_t kPathFlags = 0xF0;
inline constexpr unsigned driveNumberOf(std::uint32_t word) {
    return word & 0x0F;
}

struct LogicalDrive {
    char letter = 0;
    std::uint8_t driveType = 0;   // GetDriveTypeA; 0xFF when the volume would not open
    std::uint8_t diskNumber = 0;  // low byte of the first extent's disk
};

// What one discovery pass produces. A pass fills its own copy and hands it
// over whole, so the window never reads a table that is being written.
struct DiscoveryTables {
    std::array<std::uint32_t, kDeviceTableSize> deviceTable{};
    // The disk each device word was found on.
    std::array<DiskIdentity, kDeviceTableSize> identities{};
    std::uint8_t deviceCount = 0;
    std::array<Sector, kMaxPhysicalDrives> sectorBuffers{};
    std::array<LogicalDrive, kLogicalDriveRecords> logicalDrives{};
    unsigned logicalDriveCount = 0;  // filled records, at most 20
    // More than 20 letters were present. The pass runs off the window's
    // thread, so the box telling the user waits until the result is applied.
    bool tooManyLetters = false;
};

struct DeviceState {
    DeviceState(Host& h, Ui& u, Clock& c) : host(h), ui(u), clock(c) {}
    DeviceState(const DeviceState&) = delete;
    DeviceState& operator=(const DeviceState&) = delete;

    Host& host;
    Ui& ui;
    Clock& clock;

    // Held by every device operation, from its open to its close, and by a
    // discovery pass for each drive it probes: the handle slot, CdbShift and
    // the buffers below serve one operation at a time, and the bridges one
    // process at a time.
    DeviceLock operationLock;
    // The program is closing: an operation still waiting for the device
    // gives up.
    std::atomic<bool> closing{false};

    // The one current-device handle.
    DriveHandle handle = kInvalidHandle;
    // 1: vendor CDBs carry their opcode at byte 1; 0: at byte 2.
    std::uint8_t cdbShift = 1;
    Sector bridgeBuffer{};
    // The one vendor command sector; never cleared between commands.
    Sector vuCommandSector{};
    std::minstd_rand random{1};
    std::uint32_t lastRandomLba = 0;

    std::atomic<std::uint32_t> spiProgress{0};
    std::uint32_t spiSize = 0x80000;

    // Drive letters from C upward (window's thread), with their count.
    std::array<char, kMaxDriveLetters + 1> driveLetters{};
    unsigned driveLetterCount = 0;
    unsigned physicalDriveCount = 0;

    // The tables the window works from: the last finished pass, applied on
    // the window's thread once DiscoveryDone was seen.
    DiscoveryTables tables;
    // Counts the results taken over, so that work begun on an older table
    // can tell (window's thread).
    std::uint32_t tablesGeneration = 0;
    std::uint8_t selectedDevice = 0;

    // Hand-off with DriveDetectThread.
    std::atomic<bool> discoveryRequest{false};
    std::atomic<bool> discoveryPending{false};
    std::atomic<bool> discoveryDone{false};
    // Device-change notices may arrive on a host monitor thread.
    std::atomic<std::uint8_t> deviceChangeCountdown{0};
    // From a recount of the settling to the next tick: notices meanwhile are
    // the echoes of its own opens, not news.
    std::atomic<bool> recountEchoes{false};
    // An operation found another disk where the table has an enclosure: the
    // next settling asks for a pass even when no count changed.
    std::atomic<bool> tableStale{false};
    std::mutex resultMutex;    // guards `finished` and the letter snapshot
    DiscoveryTables finished;  // written by the pass, read when applied

    // Set while a claim holds the device (DeviceOperation.h): the word of
    // the drive all its requests go to.
    std::optional<std::uint32_t> pinnedWord;
    // The disk that claim's work is for: the one discovery found under the
    // word, else the one its first open reached. Every open must reach it.
    DiskIdentity pinnedDisk;
    // An open reached another disk: the claim sends nothing more.
    bool pinnedDiskLost = false;

    std::uint32_t selectedWord() const {
        return pinnedWord ? *pinnedWord : tables.deviceTable[selectedDevice & 7];
    }
};

}  // namespace ardenvel
