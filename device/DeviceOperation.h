#pragma once
// The frame every device operation runs in: refuse when no enclosure is
// known, open the selected drive into the current-device handle, close it at
// the end. The frame holds operationLock for its whole life, so a discovery
// pass on its own thread and an operation of the window never overlap.

#include <mutex>

#include "device/DeviceState.h"

namespace ardenvel {

class DeviceOperation {
public:
    explicit DeviceOperation(DeviceState& dev);
    ~DeviceOperation();
    DeviceOperation(const DeviceOperation&) = delete;
    DeviceOperation& operator=(const DeviceOperation&) = delete;

    // False, after telling the user, when discovery found no enclosure.
    bool deviceKnown();
    // Opens the drive of the selected device word; false, after the box, when
    // the handle is invalid.
    bool open();
    bool begin() { return deviceKnown() && open(); }
    // Closes the handle; the destructor does it for an early return.
    void close();

    DriveHandle handle() const { return dev_.handle; }

private:
    DeviceState& dev_;
    std::lock_guard<std::recursive_mutex> lock_;
    bool open_ = false;
};

}  // namespace ardenvel
