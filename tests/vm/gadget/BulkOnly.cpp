#include "tests/vm/gadget/BulkOnly.h"

#include <algorithm>

namespace ardenvel::vmgadget {
namespace {

constexpr std::uint32_t kCommandSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kStatusSignature = 0x53425355;   // "USBS"
constexpr std::uint8_t kStatusPassed = 0;
constexpr std::uint8_t kStatusFailed = 1;

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

void putLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::optional<CommandBlock> parseCommandBlock(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 31 || le32(bytes, 0) != kCommandSignature) return std::nullopt;
    CommandBlock block;
    block.tag = le32(bytes, 4);
    block.length = le32(bytes, 8);
    block.dataIn = (bytes[12] & 0x80) != 0;
    block.lun = bytes[13] & 0x0F;
    block.cbLength = bytes[14] & 0x1F;
    if (block.cbLength < 1 || block.cbLength > 16) return std::nullopt;
    std::copy_n(bytes.begin() + 15, 16, block.cb.begin());
    return block;
}

BulkReply planReply(const CommandBlock& block, const ScsiResult& result) {
    BulkReply reply;
    std::uint32_t residue = block.length;
    if (block.dataIn) {
        const std::size_t sent = std::min<std::size_t>(result.data.size(), block.length);
        reply.data = std::span<const std::uint8_t>(result.data).first(sent);
        residue = block.length - static_cast<std::uint32_t>(sent);
        // A short packet would end the transfer only when the data is not a
        // whole number of packets; a halt ends it in every case.
        reply.haltIn = residue != 0;
    } else {
        // Data to the device has been taken whole before the command ran.
        residue = 0;
    }
    putLe32(reply.status, 0, kStatusSignature);
    putLe32(reply.status, 4, block.tag);
    putLe32(reply.status, 8, residue);
    reply.status[12] = result.good ? kStatusPassed : kStatusFailed;
    return reply;
}

}  // namespace ardenvel::vmgadget
