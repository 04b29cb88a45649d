#include <cstring>

#include "device/VuChannel.h"

namespace ardenvel {
namespace {

std::uint16_t commandSectorSum(const std::uint8_t* sector) {
    std::uint32_t sum = 0;
    for (std::size_t i = 7; i <= 509; ++i) sum += sector[i];
    return static_cast<std::uint16_t>(sum);
}

}  // namespace

bool hasSignature(const std::uint8_t* answer) {
    return answer[kSignatureAt] == kVuSignature0 && answer[kSignatureAt + 1] == kVuSignature1;
}

void sealCommandSector(Sector& sector) {
    const std::uint16_t sum = commandSectorSum(sector.data());
    sector[510] = static_cast<std::uint8_t>(sum);
    sector[511] = static_cast<std::uint8_t>(sum >> 8);
}

bool isSealedCommandSector(std::span<const std::uint8_t> sector) {
    if (sector.size() != kSector || sector[0] != kVuSignature0 || sector[1] != kVuSignature1) return false;
    const std::uint16_t sum = commandSectorSum(sector.data());
    return sector[510] == static_cast<std::uint8_t>(sum) &&
           sector[511] == static_cast<std::uint8_t>(sum >> 8);
}

}  // namespace ardenvel
