#include "device/DeviceOperation.h"

#include "device/Transport.h"
#include "device/VuChannel.h"

namespace ardenvel {

DeviceOperation::DeviceOperation(DeviceState& dev) : dev_(dev), lock_(dev.operationLock) {}

DeviceOperation::~DeviceOperation() {
    close();
}

bool DeviceOperation::deviceKnown() {
    if (dev_.tables.deviceCount != 0) return true;
    dev_.ui.setStatusText(kPanelMessages, kTextDeviceNotFound);
    showMessage(dev_.ui, kTextNoDeviceFound);
    return false;
}

bool DeviceOperation::open() {
    const auto drive = static_cast<std::uint8_t>(driveNumberOf(dev_.selectedWord()));
    if (OpenDrive(dev_, drive) == kInvalidHandle) {
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
