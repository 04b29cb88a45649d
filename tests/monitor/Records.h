#pragma once
// Status records for tests, built field by field.

#include <string>

#include "device/ByteOrder.h"
#include "monitor/ControllerStatus.h"

namespace ardenvel::test {

inline void putAtaText(StatusBlock& b, std::size_t at, std::size_t length, const std::string& text) {
    for (std::size_t i = 0; i < length; ++i)
        b[at + (i ^ 1)] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

struct RecordBuilder {
    StatusBlock b{};

    RecordBuilder() {
        settings(0x13);
        mode(1);
        ports(0x22);
        volume(1953525168);
        disk(0, "P0SERIAL", "P0 MODEL", 1953525168);
        disk(1, "P1SERIAL", "P1 MODEL", 976773168);
        b[status::kSataGenerations] = 0x32;  // P0 gen 2, P1 gen 3
    }
    RecordBuilder& settings(std::uint8_t flags) {
        b[status::kSettingFlags] = flags;
        return *this;
    }
    RecordBuilder& mode(std::uint8_t code) {
        b[status::kRaidModeOfSystem] = code;
        return *this;
    }
    RecordBuilder& ports(std::uint8_t state) {
        b[status::kPortState] = state;
        return *this;
    }
    RecordBuilder& activity(std::uint8_t flags, std::uint8_t percent) {
        b[status::kActivityFlags] = flags;
        b[status::kProgressPercent] = percent;
        return *this;
    }
    RecordBuilder& volume(std::uint32_t sectors) {
        writeLe32(b, status::kConfiguredCapacity, sectors);
        return *this;
    }
    RecordBuilder& disk(int port, const std::string& serial, const std::string& model,
                        std::uint32_t sectors) {
        putAtaText(b, port == 0 ? status::kP0Serial : status::kP1Serial, status::kSerialLength, serial);
        putAtaText(b, port == 0 ? status::kP0Model : status::kP1Model, status::kModelLength, model);
        writeLe32(b, port == 0 ? status::kP0Capacity : status::kP1Capacity, sectors);
        return *this;
    }
    StatusBlock build() const { return b; }
    operator StatusBlock() const { return b; }  // NOLINT: a builder stands for its record
};

inline std::string padded(const std::string& s, std::size_t n) {
    return s + std::string(n - s.size(), ' ');
}

}  // namespace ardenvel::test
