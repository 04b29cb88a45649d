#include "hosts/virtual/EnclosureSet.h"

#include "device/DeviceState.h"

namespace ardenvel::virt {

bool loadEnclosureSet(VirtualHost& host, const std::vector<std::string>& dirs, std::string& error) {
    if (dirs.size() > kMaxPhysicalDrives) {
        error = "At most " + std::to_string(kMaxPhysicalDrives) + " virtual enclosures can be given.";
        return false;
    }
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        std::string why;
        if (!host.loadEnclosure(static_cast<unsigned>(i), dirs[i], why)) {
            error = "Cannot load the virtual enclosure " + dirs[i] + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace ardenvel::virt
