#pragma once
// The frame every device operation runs in: hold the device, refuse when no
// enclosure is known, open the selected drive into the current-device
// handle, close it at the end. Holding the device keeps a discovery pass on
// its own thread, an operation of the window and the operations of other
// Ardenvel processes from overlapping.

#include <cstdint>

#include "device/DeviceState.h"

namespace ardenvel {

// Waits for the device lock, letting the window handle its events between
// tries; gives up when the program is closing.
bool AcquireDevice(DeviceState& dev);

// Holds the device for one operation or for a run of them (a firmware
// command): takes the device lock as AcquireDevice does, and pins the device
// word that was selected when the claim was made, so that every request
// until its end goes to that drive, whatever the selection or the tables do
// meanwhile. A claim inside another one adds nothing to it.
class DeviceClaim {
public:
    explicit DeviceClaim(DeviceState& dev);
    ~DeviceClaim();
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    // False when the wait was given up.
    bool held() const { return held_; }
    // Moves the claim to the table's `slot`, for work that picks its
    // enclosure once it holds the device.
    void select(std::uint8_t slot);
    // Lets go before the end of the scope: before a box, nobody is to wait
    // for the user's answer.
    void release();
    // Whether an open under the claim may go on with the disk it reached:
    // the claim's disk, or its first, which then becomes the claim's disk.
    // Another disk loses the claim for good.
    bool admit(const DiskIdentity& reached);

private:
    DeviceState& dev_;
    std::uint32_t word_;
    DiskIdentity disk_;
    bool held_ = false;
    bool pinned_ = false;
};

class DeviceOperation {
public:
    explicit DeviceOperation(DeviceState& dev) : dev_(dev), claim_(dev) {}
    ~DeviceOperation();
    DeviceOperation(const DeviceOperation&) = delete;
    DeviceOperation& operator=(const DeviceOperation&) = delete;

    // False, after telling the user, when discovery found no enclosure;
    // false and silent when the wait for the device was given up.
    bool deviceKnown();
    // The table's `slot` becomes the selected device, and this operation's.
    void select(std::uint8_t slot) { claim_.select(slot); }
    // Opens the drive of the selected device word; false, after the box, when
    // the handle is invalid or reaches another disk than the claim's. Once
    // the claim has lost its disk, false without a word.
    bool open();
    bool begin() { return deviceKnown() && open(); }
    // Closes the handle; the destructor does it for an early return.
    void close();

    DriveHandle handle() const { return dev_.handle; }

private:
    DeviceState& dev_;
    DeviceClaim claim_;
    bool open_ = false;
};

}  // namespace ardenvel
