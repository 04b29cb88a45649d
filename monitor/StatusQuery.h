#pragma once
// The status query: one slot's ControllerStatus, read fresh from its enclosure.

#include <cstdint>

#include "device/DeviceState.h"
#include "monitor/ControllerStatus.h"

namespace ardenvel {

// Selects `slot` (0..3) and reads its record into buffers[slot]. True means
// every field of the block is current; false means the block is not to be
// trusted (it holds whatever the failed read left) and the slot is gone.
bool QueryControllerStatus(DeviceState& dev, StatusBuffers& buffers, std::uint8_t slot);

}  // namespace ardenvel
