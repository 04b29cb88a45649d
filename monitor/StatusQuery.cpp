#include "monitor/StatusQuery.h"

#include "device/SpiFlash.h"

namespace ardenvel {

bool QueryControllerStatus(DeviceState& dev, StatusBuffers& buffers, std::uint8_t slot) {
    if (slot >= buffers.size()) return false;
    dev.selectedDevice = slot;
    return ReadSpiRecord(dev, buffers[slot].data());
}

}  // namespace ardenvel
