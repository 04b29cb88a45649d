#include "device/Discovery.h"

#include <algorithm>
#include <mutex>

#include "device/Transport.h"
#include "device/VuChannel.h"

namespace ardenvel {
namespace {

constexpr std::uint8_t kVolumeUnopenable = 0xFF;
constexpr std::uint8_t kInquiryAdditionalLength = 0x1F;

// The USB route: INQUIRY must look like the bridge's, then the 0x8B read and
// query 0x78 with the opcode at byte 1, then at byte 2. Returns the flags won.
std::uint32_t probeUsbRoute(DeviceState& dev, DriveHandle h, Sector& b, std::stop_token stop) {
    if (!InquiryDevice(dev, h, b.data()) || b[4] != kInquiryAdditionalLength) return 0;
    for (const std::uint8_t shift : {std::uint8_t{1}, std::uint8_t{0}}) {
        if (stop.stop_requested()) return 0;
        dev.cdbShift = shift;
        bool hit = BridgeTransfer(dev, BridgeKind::SignatureRead, b.data(), 0) && hasSignature(b.data());
        if (!hit) {
            dev.bridgeBuffer[0] = 0;
            hit = BridgeQuery(dev, kIdentityQueryRow) && isIdentityQueryAnswer(dev.bridgeBuffer.data());
        }
        if (hit) return shift ? kShiftPath | kUsbPath : kUsbPath;
    }
    return 0;
}

// The routes one drive answers on. A stop request ends it between two
// requests, with what it has: the pass is thrown away then, and closing the
// window waits for one request at the most.
std::uint32_t probeDrive(DeviceState& dev, DriveHandle h, Sector& b, std::stop_token stop, bool& readFailed) {
    std::uint32_t word = 0;
    if (!ReadSectors(dev, h, kIdentifyLba, b.data(), 1))
        readFailed = true;
    else if (hasSignature(b.data()))
        word |= kLbaPath;
    if (stop.stop_requested()) return word;

    TaskFile identify = kIdentifyRegisters;
    if (AtaCommand(dev, h, identify, b.data(), 1, stop) && hasSignature(b.data())) word |= kAtaPath;

    if ((word & kPathFlags) == 0 && !stop.stop_requested()) word |= probeUsbRoute(dev, h, b, stop);
    return word;
}

}  // namespace

DriveCounts SnapshotDriveCounts(DeviceState& dev) {
    std::lock_guard lock(dev.resultMutex);
    DriveCounts c;
    c.letters = dev.driveLetters;
    c.letterCount = dev.driveLetterCount;
    c.physicalDriveCount = dev.physicalDriveCount;
    return c;
}

unsigned EnumerateDriveLetters(DeviceState& dev) {
    std::array<char, kMaxDriveLetters + 1> letters{};
    unsigned n = 0;
    std::uint32_t mask = dev.host.logicalDriveMask() >> 2;
    char letter = 'C';
    while (mask != 0) {
        dev.ui.processEvents();
        if (mask & 1) {
            letters[n++] = letter;
            if (n == kMaxDriveLetters) break;
        }
        ++letter;
        mask >>= 1;
    }
    letters[n] = 0;
    std::lock_guard lock(dev.resultMutex);
    dev.driveLetters = letters;
    dev.driveLetterCount = n;
    return n;
}

unsigned CountPhysicalDrives(DeviceState& dev) {
    // Opening sends nothing to a drive, so counting is no device operation:
    // it neither waits for one nor uses the handle slot of one.
    unsigned n = 0;
    for (unsigned drive = 0; drive < kMaxPhysicalDrives; ++drive) {
        dev.ui.processEvents();
        const DriveHandle h = dev.host.openPhysicalDrive(drive);
        if (h != kInvalidHandle) {
            ++n;
            dev.host.closeDrive(h);
        }
    }
    return n;
}

bool RecountDrives(DeviceState& dev) {
    // Only this thread writes the counts, so reading them unlocked is safe.
    const unsigned oldLetters = dev.driveLetterCount;
    const unsigned letters = EnumerateDriveLetters(dev);
    const unsigned physical = CountPhysicalDrives(dev);
    if (letters == oldLetters && physical == dev.physicalDriveCount) return false;
    std::lock_guard lock(dev.resultMutex);
    dev.physicalDriveCount = physical;
    return true;
}

void RequestDiscovery(DeviceState& dev) {
    // Under the lock PublishDiscoveryResult takes: a pass that ends meanwhile
    // must not clear this request's pending flag.
    std::lock_guard lock(dev.resultMutex);
    // Pending first: the polling thread must stand back before the pass can start.
    dev.discoveryPending = true;
    dev.discoveryRequest = true;
}

void PublishDiscoveryResult(DeviceState& dev) {
    std::lock_guard lock(dev.resultMutex);
    // Done first: whoever finds pending cleared finds done set, never neither.
    dev.discoveryDone = true;
    if (!dev.discoveryRequest) dev.discoveryPending = false;
}

void ScanLogicalDrives(DeviceState& dev, const DriveCounts& counts, DiscoveryTables& tables,
                       std::stop_token stop) {
    tables.tooManyLetters = false;
    unsigned i = 0;
    for (; i < counts.letterCount; ++i) {
        if (i == kLogicalDriveRecords) {
            tables.tooManyLetters = true;
            break;
        }
        if (!dev.operationLock.lockUnless(stop)) break;
        std::unique_lock lock(dev.operationLock, std::adopt_lock);
        LogicalDrive& rec = tables.logicalDrives[i];
        const char letter = counts.letters[i];
        rec.letter = letter;
        rec.driveType = dev.host.driveType(letter);
        const DriveHandle h = OpenDrive(dev, static_cast<std::uint8_t>(letter));
        if (h == kInvalidHandle) {
            rec.driveType = kVolumeUnopenable;
            continue;
        }
        std::uint32_t disk = 0;
        if (dev.host.volumeDiskNumber(h, disk)) rec.diskNumber = static_cast<std::uint8_t>(disk);
        CloseDrive(dev);
    }
    tables.logicalDriveCount = i;
}

unsigned ProbeDevices(DeviceState& dev, const DriveCounts& counts, DiscoveryTables& tables,
                      std::stop_token stop) {
    unsigned count = 0;
    unsigned opened = 0;
    for (unsigned drive = 0; drive < kMaxPhysicalDrives && !stop.stop_requested(); ++drive) {
        std::uint32_t word = drive;
        bool readFailed = false;
        {
            if (!dev.operationLock.lockUnless(stop)) break;
            std::unique_lock lock(dev.operationLock, std::adopt_lock);
            const DriveHandle h = OpenDrive(dev, static_cast<std::uint8_t>(drive));
            if (h == kInvalidHandle) continue;
            word |= probeDrive(dev, h, tables.sectorBuffers[drive], stop, readFailed);
            // Beyond 8 enclosures the table is full; the window shows 4 at most.
            if ((word & kPathFlags) != 0 && count < kDeviceTableSize) {
                tables.identities[count] = dev.host.driveIdentity(h);
                tables.deviceTable[count++] = word;
            }
            ++opened;
            CloseDrive(dev);
        }
        // Outside the lock: the window may be waiting for it while it
        // delivers this text.
        if (readFailed) dev.ui.setStatusText(kPanelMessages, kReadLba58Error);
        if (opened >= counts.physicalDriveCount) break;
    }
    return count;
}

bool RunDiscovery(DeviceState& dev, std::stop_token stop) {
    const DriveCounts counts = SnapshotDriveCounts(dev);
    // Starting from the last finished tables keeps the disk numbers of
    // volumes whose extent request fails this time.
    DiscoveryTables work;
    {
        std::lock_guard lock(dev.resultMutex);
        work = dev.finished;
    }
    ScanLogicalDrives(dev, counts, work, stop);
    work.deviceCount = static_cast<std::uint8_t>(ProbeDevices(dev, counts, work, stop));
    if (stop.stop_requested()) return false;
    std::lock_guard lock(dev.resultMutex);
    dev.finished = work;
    return true;
}

void ApplyDiscoveryResult(DeviceState& dev) {
    bool tooManyLetters = false;
    {
        std::lock_guard lock(dev.resultMutex);
        dev.tables = dev.finished;
        ++dev.tablesGeneration;
        tooManyLetters = dev.finished.tooManyLetters;
        dev.finished.tooManyLetters = false;  // once per pass
    }
    if (tooManyLetters) showPlain(dev.ui, kTooManyLetters);
}

std::string BuildDeviceCaption(const DiscoveryTables& tables, std::uint8_t selectedDevice) {
    const unsigned slot = selectedDevice + 1u;
    const unsigned drive = driveNumberOf(tables.deviceTable[selectedDevice % kDeviceTableSize]);
    std::string caption = std::to_string(slot) + "/" + std::to_string(tables.deviceCount) + " Device" +
                          std::to_string(slot) + "[";
    const unsigned records = std::min(tables.logicalDriveCount, kLogicalDriveRecords);
    for (unsigned i = 0; i < records; ++i) {
        const LogicalDrive& rec = tables.logicalDrives[i];
        if (rec.driveType == kDriveFixed && rec.diskNumber == drive) caption += rec.letter;
    }
    return caption + "]";
}

std::string BuildDeviceCaption(const DeviceState& dev) {
    return BuildDeviceCaption(dev.tables, dev.selectedDevice);
}

}  // namespace ardenvel
