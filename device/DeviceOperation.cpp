#include "device/DeviceOperation.h"

#include <chrono>
#include <thread>

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

// The word is taken before the wait: the events handled meanwhile may move
// the selection, and this is the drive the work was meant for.
DeviceClaim::DeviceClaim(DeviceState& dev) : dev_(dev), word_(dev.selectedWord()) {
    held_ = AcquireDevice(dev);
    if (held_ && !dev.pinnedWord) {
        dev.pinnedWord = word_;
        pinned_ = true;
    }
}

DeviceClaim::~DeviceClaim() {
    release();
}

void DeviceClaim::select(std::uint8_t slot) {
    dev_.selectedDevice = slot;
    if (pinned_) dev_.pinnedWord = dev_.tables.deviceTable[slot % kDeviceTableSize];
}

void DeviceClaim::release() {
    if (pinned_) dev_.pinnedWord.reset();
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
    if (!claim_.held()) return false;
    const auto drive = static_cast<std::uint8_t>(driveNumberOf(dev_.selectedWord()));
    if (OpenDrive(dev_, drive) == kInvalidHandle) {
        claim_.release();
        showPlain(dev_.ui, kTextInvalidDrive);
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
