#pragma once
// Little-endian fields inside records, and the big-endian 24-bit flash
// addresses of command sectors and CDBs.

#include <cstddef>
#include <cstdint>
#include <span>

namespace ardenvel {

inline std::uint16_t readLe16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t readLe24(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16);
}
inline std::uint32_t readLe32(std::span<const std::uint8_t> b, std::size_t at) {
    return readLe24(b, at) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline void writeLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void writeLe24(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
}
inline void writeLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    writeLe24(b, at, v);
    b[at + 3] = static_cast<std::uint8_t>(v >> 24);
}
// Flash addresses travel bits 23-16 first.
inline void writeBe24(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 16);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t readBe24(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 16) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           b[at + 2];
}
// CDB block addresses are big-endian too.
inline std::uint32_t readBe32(std::span<const std::uint8_t> b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | readBe24(b, at + 1);
}

}  // namespace ardenvel
