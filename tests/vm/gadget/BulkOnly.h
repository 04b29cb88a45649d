#pragma once
// Bulk-Only Transport framing: the 31-byte command block wrapper the host
// sends, and what the device sends back for it (data, a halt of the bulk-in
// pipe when the data falls short, the 13-byte status wrapper).

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "tests/vm/gadget/ScsiTarget.h"

namespace ardenvel::vmgadget {

struct CommandBlock {
    std::uint32_t tag = 0;
    std::uint32_t length = 0;  // bytes the host means to move
    bool dataIn = false;
    std::uint8_t lun = 0;
    std::array<std::uint8_t, 16> cb{};
    std::uint8_t cbLength = 0;

    std::span<const std::uint8_t> cdb() const { return std::span<const std::uint8_t>(cb).first(cbLength); }
};

// nullopt unless the bytes are exactly one valid wrapper.
std::optional<CommandBlock> parseCommandBlock(std::span<const std::uint8_t> bytes);

struct BulkReply {
    std::span<const std::uint8_t> data;  // to send on bulk-in before the status
    bool haltIn = false;                 // the host expected more: stall so it stops waiting
    std::array<std::uint8_t, 13> status{};
};

// The reply to `block` for `result`; `data` points into result.data.
BulkReply planReply(const CommandBlock& block, const ScsiResult& result);

}  // namespace ardenvel::vmgadget
