#include "device/DeviceOperation.h"

#include <chrono>
#include <thread>

#include "device/DeviceChange.h"
#include "device/Transport.h"
#include "device/VuChannel.h"

namespace ardenvel {

bool AcquireDevice(DeviceState& dev) {
    return dev.operationLock.acquire([&dev] {
        if (dev.closing) return false;
        dev.ui.processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return !dev.closing.load();
    });
}

namespace {

DiskIdentity tableDisk(const DeviceState& dev, std::uint8_t slot) {
    return dev.tables.identities[slot % kDeviceTableSize];
}

}  // namespace

// The word is taken before the wait: the events handled meanwhile may move
// the selection, and this is the drive the work was meant for.
DeviceClaim::DeviceClaim(DeviceState& dev)
    : dev_(dev), word_(dev.selectedWord()), disk_(tableDisk(dev, dev.selectedDevice)) {
    held_ = AcquireDevice(dev);
    if (held_ && !dev.pinnedWord) {
        dev.pinnedWord = word_;
        dev.pinnedDisk = disk_;
        dev.pinnedDiskLost = false;
        pinned_ = true;
    }
}

DeviceClaim::~DeviceClaim() {
    release();
}

void DeviceClaim::select(std::uint8_t slot) {
    dev_.selectedDevice = slot;
    if (!pinned_) return;
    dev_.pinnedWord = dev_.tables.deviceTable[slot % kDeviceTableSize];
    dev_.pinnedDisk = tableDisk(dev_, slot);
    dev_.pinnedDiskLost = false;
}

bool DeviceClaim::admit(const DiskIdentity& reached) {
    if (dev_.pinnedDiskLost) return false;
    // A host that cannot tell disks apart is taken at its word.
    if (!dev_.pinnedDisk.known() || !reached.known()) {
        if (!dev_.pinnedDisk.known()) dev_.pinnedDisk = reached;
        return true;
    }
    if (reached == dev_.pinnedDisk) return true;
    dev_.pinnedDiskLost = true;
    return false;
}

void DeviceClaim::release() {
    if (pinned_) {
        dev_.pinnedWord.reset();
        dev_.pinnedDisk = {};
    }
    pinned_ = false;
    if (held_) dev_.operationLock.unlock();
    held_ = false;
}

DeviceOperation::~DeviceOperation() {
    close();
}

bool DeviceOperation::deviceKnown() {
    if (!claim_.held()) return false;
    if (dev_.tables.deviceCount != 0) return true;
    claim_.release();
    dev_.ui.setStatusText(kPanelMessages, kTextDeviceNotFound);
    showMessage(dev_.ui, kTextNoDeviceFound);
    return false;
}

bool DeviceOperation::open() {
    if (!claim_.held() || dev_.pinnedDiskLost) return false;
    const auto drive = static_cast<std::uint8_t>(driveNumberOf(dev_.selectedWord()));
    if (OpenDrive(dev_, drive) == kInvalidHandle) {
        claim_.release();
        showPlain(dev_.ui, kTextInvalidDrive);
        return false;
    }
    if (!claim_.admit(dev_.host.driveIdentity(dev_.handle))) {
        // Nothing has been sent on this handle, and nothing will be.
        CloseDrive(dev_);
        claim_.release();
        // The table names a disk that is gone: the next settling rebuilds it.
        dev_.tableStale = true;
        dev_.deviceChangeCountdown = kCountdownStart;
        dev_.ui.setStatusText(kPanelMessages, diskChangedText(drive));
        showPlain(dev_.ui, diskChangedText(drive));
        return false;
    }
    open_ = true;
    return true;
}

void DeviceOperation::close() {
    if (!open_) return;
    open_ = false;
    CloseDrive(dev_);
}

}  // namespace ardenvel
