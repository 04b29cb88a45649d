#pragma once
// What the device logic needs from any host: disks opened by number or letter,
// 10-byte CDBs and ATA task files carried to them, and the volume map.
// Every implementation (Linux, Win32, the virtual enclosure) answers with a
// plain success flag, as the Windows pass-through calls do: sense data and
// SCSI status are never looked at by the callers.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace ardenvel {

using DriveHandle = std::intptr_t;
inline constexpr DriveHandle kInvalidHandle = -1;

enum class DataDirection : std::uint8_t {
    ToDevice = 0,  // DataIn 0
    ToHost = 1,    // DataIn 1
};

// The seven task-file registers, in the order the IDE pass-through request
// carries them (bytes 0-6).
struct TaskFile {
    std::uint8_t features = 0;
    std::uint8_t sectorCount = 0;
    std::uint8_t lbaLow = 0;
    std::uint8_t lbaMid = 0;
    std::uint8_t lbaHigh = 0;
    std::uint8_t device = 0;
    std::uint8_t command = 0;

    friend bool operator==(const TaskFile&, const TaskFile&) = default;
};

// Which disk a handle reached. A disk that goes and comes back, or another
// disk that takes its number, has another identity, so work that began on
// one disk can tell when a later open reaches a different one.
struct DiskIdentity {
    // Never reused while the host runs: Linux's diskseq, the virtual host's
    // count of disks put in. 0 when the host has none.
    std::uint64_t sequence = 0;
    // dev_t on Linux, the device number on Windows.
    std::uint64_t device = 0;
    // Serial number or WWN; on Windows the instance path and the serial.
    std::string name;

    // An identity that says nothing matches every disk.
    bool known() const { return sequence != 0 || device != 0 || !name.empty(); }
    // Only a sequence number cannot come back with another disk.
    bool unique() const { return sequence != 0; }
    friend bool operator==(const DiskIdentity&, const DiskIdentity&) = default;
};

// What became of a CDB beyond its success flag, for the host helper, which
// grants a disk standing only on an answer the disk itself gave whole.
struct CdbStatus {
    std::optional<std::uint8_t> scsiStatus;  // nullopt when the host cannot tell
    std::uint32_t residue = 0;               // bytes asked for that did not move
    bool good() const { return scsiStatus == 0 && residue == 0; }
};

// ATA status register bits that make a returned task file a failure.
inline constexpr std::uint8_t kAtaStatusError = 0x01;
inline constexpr std::uint8_t kAtaStatusDeviceFault = 0x20;
// DRDY and DSC: a drive ready and without error.
inline constexpr std::uint8_t kAtaStatusReady = 0x50;
inline bool ataReturnFailed(const TaskFile& returned) {
    return (returned.command & (kAtaStatusError | kAtaStatusDeviceFault)) != 0;
}

// GetDriveTypeA's answers that matter here.
inline constexpr std::uint8_t kDriveUnknown = 0;
inline constexpr std::uint8_t kDriveNoRootDir = 1;
inline constexpr std::uint8_t kDriveRemovable = 2;
inline constexpr std::uint8_t kDriveFixed = 3;
inline constexpr std::uint8_t kDriveRemote = 4;
inline constexpr std::uint8_t kDriveCdrom = 5;

class Host {
public:
    virtual ~Host() = default;

    // "\\.\PhysicalDriveN" and "\\.\X:"; kInvalidHandle when the open fails.
    virtual DriveHandle openPhysicalDrive(unsigned number) = 0;
    virtual DriveHandle openVolume(char letter) = 0;
    virtual void closeDrive(DriveHandle handle) = 0;

    // One SCSI pass-through request. data.size() is the transfer length; it
    // is read for ToDevice and filled for ToHost.
    virtual bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                         std::span<std::uint8_t> data, unsigned timeoutSeconds) = 0;

    // One ATA pass-through request with optional data-in (a multiple of 512
    // bytes, possibly empty). Success means the drive's task file came back;
    // a path that refuses ATA pass-through (a USB bridge without it) fails.
    // The registers are replaced by the task file the drive returned, whether
    // or not the request succeeded; dataIn is written only on success.
    virtual bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) = 0;

    // sendCdb with the SCSI status and residue where the host knows them.
    virtual bool sendCdbWithStatus(DriveHandle handle, std::span<const std::uint8_t, 10> cdb,
                                   DataDirection direction, std::span<std::uint8_t> data,
                                   unsigned timeoutSeconds, CdbStatus& status) {
        status = {};
        return sendCdb(handle, cdb, direction, data, timeoutSeconds);
    }

    // The disk an open physical drive's handle reached; an unknown identity
    // where the host cannot tell.
    virtual DiskIdentity driveIdentity(DriveHandle) { return {}; }

    // IOCTL_SCSI_RESCAN_BUS; its result is never used.
    virtual void rescanBus(DriveHandle handle) = 0;

    // GetLogicalDrives: bit 0 is A:, bit 2 is C:.
    virtual std::uint32_t logicalDriveMask() = 0;
    // GetDriveTypeA of "X:\".
    virtual std::uint8_t driveType(char letter) = 0;
    // The physical disk of the first extent of an open volume.
    virtual bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) = 0;

    // Called, on any thread, whenever devices came or went.
    virtual void setDeviceChangeHandler(std::function<void()> handler) = 0;

    // Whether closing a drive raises a device-change notice of its own
    // shortly after (udev's watch, where a host passes every uevent on). Only
    // then may notices right after a recount be taken for its echoes.
    virtual bool closesRaiseNotices() const { return false; }
};

// One device operation at a time on the whole machine: every Ardenvel
// process holds this lock for each operation on a drive and each probe of
// one. It is separate from Host: when the requests travel to a helper
// process, the process that runs the operation still holds the lock.
//
// Both calls come from the same thread for one hold (a Windows mutex belongs
// to a thread); the caller keeps its own threads in order.
class MachineLock {
public:
    virtual ~MachineLock() = default;

    // Takes the lock when no other process holds it, and never waits. A
    // failed try keeps a place in line: while this process keeps trying, the
    // holder's next try fails once it has let go, so a waiter waits for one
    // operation and not for a run of them.
    virtual bool tryLock() = 0;
    virtual void unlock() = 0;
    // Gives up the place in line kept by failed tries.
    virtual void stopWaiting() = 0;
};

}  // namespace ardenvel
