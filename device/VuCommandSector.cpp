#include <cstring>

#include "device/VuChannel.h"

namespace ardenvel {

bool hasSignature(const std::uint8_t* answer) {
    return answer[kSignatureAt] == kVuSignature0 && answer[kSignatureAt + 1] == kVuSignature1;
}

void sealCommandSector(Sector& sector) {
    std::uint32_t sum = 0;
    for (std::size_t i = 7; i <= 509; ++i) sum += sector[i];
    sector[510] = static_cast<std::uint8_t>(sum);
    sector[511] = static_cast<std::uint8_t>(sum >> 8);
}

}  // namespace ardenvel
