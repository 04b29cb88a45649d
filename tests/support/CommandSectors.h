#pragma once
// What a virtual bridge received as command sectors, and the shape of the
// scan block among them.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/ByteOrder.h"
#include "device/VuChannel.h"
#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::test {

// A sealed command sector as a client would forge one: signature, code,
// argument, address, checksum; a page program also gets its 0x55 mark.
inline Sector SealedCommand(std::uint8_t code, std::uint8_t argument = 0, std::uint32_t address = 0) {
    Sector s{};
    stampSignature(s);
    s[kVuCodeAt] = code;
    s[kVuArgumentAt] = argument;
    writeBe24(s, kVuAddressAt, address);
    if (code == kVuProgram) s[kVuProgramMarkAt] = kVuProgramMark;
    sealCommandSector(s);
    return s;
}

// The sectors written to LBA 20 of `drive`, in order.
inline std::vector<std::vector<std::uint8_t>> CommandSectorsTo(const virt::VirtualHost& host,
                                                               unsigned drive) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& e : host.trace()) {
        if (e.kind != virt::TraceEntry::Kind::Cdb || e.drive != drive || e.cdb[0] != 0x2A) continue;
        if (readBe32(e.cdb, 2) == kCommandLba) out.push_back(e.data);
    }
    return out;
}

// Command 0x24 stopping the scan of `port` over LBAs 0 to `lastLba`.
inline void ExpectScanStopBlock(const std::vector<std::uint8_t>& s, int port, std::uint32_t lastLba) {
    ASSERT_GE(s.size(), 19u);
    EXPECT_EQ(s[0], 0x33);
    EXPECT_EQ(s[1], 0x58);
    EXPECT_EQ(s[2], 0x24);
    EXPECT_EQ(s[3], 1);  // stop
    EXPECT_EQ(s[4], port);
    EXPECT_EQ(readLe32(s, 7), 0u);
    EXPECT_EQ(readLe16(s, 11), 0u);
    EXPECT_EQ(readLe32(s, 13), lastLba);
    EXPECT_EQ(readLe16(s, 17), 0u);
}

}  // namespace ardenvel::test
