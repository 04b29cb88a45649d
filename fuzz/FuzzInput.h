#pragma once
// What the fuzz targets share: a check that aborts where libFuzzer sees it,
// and a reader of the input's bytes that gives zeros once they run out.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                           \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace ardenvel::fuzz {

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    // 24 bits, high byte first, as flash addresses travel.
    std::uint32_t address() {
        const std::uint32_t high = byte();
        return (high << 16) | (std::uint32_t{byte()} << 8) | byte();
    }
};

}  // namespace ardenvel::fuzz
