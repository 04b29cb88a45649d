#pragma once
// An emulated host with enclosures on chosen routes, the device state that
// works on them, and a reading of the request trace as the bridge saw it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device/ByteOrder.h"
#include "device/DeviceState.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel::test {

// The device word discovery would have stored for an enclosure on `route`.
inline std::uint32_t deviceWordFor(unsigned drive, virt::Route route) {
    switch (route) {
        case virt::Route::UsbShift:
        case virt::Route::UsbQuery: return drive | kUsbPath | kShiftPath;
        case virt::Route::UsbNoShift: return drive | kUsbPath;
        case virt::Route::Lba: return drive | kLbaPath;
        case virt::Route::Ata: return drive | kAtaPath;
        case virt::Route::LbaAta: return drive | kLbaPath | kAtaPath;
    }
    return drive;
}

inline const char* routeName(virt::Route r) {
    switch (r) {
        case virt::Route::UsbShift: return "UsbShift";
        case virt::Route::UsbNoShift: return "UsbNoShift";
        case virt::Route::UsbQuery: return "UsbQuery";
        case virt::Route::Lba: return "Lba";
        case virt::Route::Ata: return "Ata";
        case virt::Route::LbaAta: return "LbaAta";
    }
    return "?";
}

inline std::uint32_t cdbLba(const virt::TraceEntry& e) {
    return (std::uint32_t(e.cdb[2]) << 24) | (std::uint32_t(e.cdb[3]) << 16) |
           (std::uint32_t(e.cdb[4]) << 8) | e.cdb[5];
}

inline bool isSectorWrite(const virt::TraceEntry& e) {
    return e.kind == virt::TraceEntry::Kind::Cdb && e.cdb[0] == 0x2A;
}
inline bool isSectorRead(const virt::TraceEntry& e) {
    return e.kind == virt::TraceEntry::Kind::Cdb && e.cdb[0] == 0x28;
}
inline bool isVendorCdb(const virt::TraceEntry& e) {
    return e.kind == virt::TraceEntry::Kind::Cdb && e.cdb[0] == 0xFE;
}
inline bool isRandomLba(std::uint32_t lba) {
    return lba >= 3 && lba <= 130;
}

// The vendor opcode and address of a vendor CDB, wherever its shift put them.
struct VendorCdb {
    std::uint8_t opcode = 0;
    std::uint32_t address = 0;
    std::uint8_t flag = 0;
    bool shifted = false;
};
inline VendorCdb decodeVendor(const virt::TraceEntry& e) {
    VendorCdb v;
    v.shifted = e.cdb[1] != 0xFE;
    const std::size_t at = v.shifted ? 1 : 2;
    v.opcode = e.cdb[at];
    v.address = (std::uint32_t(e.cdb[at + 2]) << 16) | (std::uint32_t(e.cdb[at + 3]) << 8) | e.cdb[at + 4];
    v.flag = e.cdb[at + 6];
    return v;
}

inline std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

// The SendVuMode code a mode command sector stands for; 0 when it is none.
inline int modeOfSector(const std::vector<std::uint8_t>& s) {
    if (s.size() < 4) return 0;
    if (s[2] == 0x03) return s[3] == 1 ? 3 : s[3] == 0 ? 2 : 0;
    if (s[2] == 0x04) return s[3] == 1 ? 4 : s[3] == 0 ? 5 : 0;
    if (s[2] == 0x10) return s[3] == 1 ? 17 : s[3] == 0 ? 16 : 0;
    return 0;
}

// One token per request, so a whole exchange compares as a list:
// "open" "close" "mode N" "addr A" "prog A" "erase A" "settings" "scan"
// "read LBA" "usb read|write|erase|scan A"; "?" for anything else.
inline std::string token(const virt::TraceEntry& e) {
    using K = virt::TraceEntry::Kind;
    if (e.kind == K::Open) return "open";
    if (e.kind == K::Close) return "close";
    if (e.kind == K::Rescan) return "rescan";
    if (e.kind == K::Ata) {
        if (e.taskIn.command != 0x88) return "?";
        if (e.taskIn.features == 0x01)
            return "addr " + hex(e.taskIn.lbaLow | (e.taskIn.lbaMid << 8) | (e.taskIn.lbaHigh << 16));
        return "mode " + std::to_string(e.taskIn.features);
    }
    if (isSectorRead(e)) return "read " + std::to_string(cdbLba(e));
    if (isSectorWrite(e)) {
        const std::uint32_t lba = cdbLba(e);
        const auto& s = e.data;
        if (s.size() != 512) return "?";
        const std::uint32_t address = readBe24(s, 4);
        // The random LBAs include 20, so the code tells the two kinds apart.
        switch (s[2]) {
            case 0x00: return isRandomLba(lba) ? "addr " + hex(address) : "?";
            case 0x03:
            case 0x04:
            case 0x10: {
                const int mode = modeOfSector(s);
                return isRandomLba(lba) && mode ? "mode " + std::to_string(mode) : "?";
            }
        }
        if (lba != 20) return "?";
        switch (s[2]) {
            case 0x01: return "erase " + hex(address);
            case 0x02: return "prog " + hex(address);
            case 0x20: return "settings";
            case 0x24: return "scan";
            default: return "?";
        }
    }
    if (isVendorCdb(e)) {
        const VendorCdb v = decodeVendor(e);
        const std::string a = " " + hex(v.address);
        if (v.opcode == 0x85) return (v.flag ? "usb scan" : "usb read") + a;
        if (v.opcode == 0x89) return "usb write" + a;
        if (v.opcode == 0x81) return "usb erase" + a;
        return "usb ?" + a;
    }
    return "?";
}

inline std::vector<std::string> tokens(const std::vector<virt::TraceEntry>& trace) {
    std::vector<std::string> out;
    for (const auto& e : trace) out.push_back(token(e));
    return out;
}

inline std::vector<std::string> modeTokens(const std::vector<virt::TraceEntry>& trace) {
    std::vector<std::string> out;
    for (const auto& e : trace)
        if (const std::string t = token(e); t.starts_with("mode ")) out.push_back(t);
    return out;
}

// 16-bit sum of bytes 7..509 as the bridge checks it.
inline bool checksumHolds(const std::vector<std::uint8_t>& s) {
    std::uint32_t sum = 0;
    for (std::size_t i = 7; i <= 509; ++i) sum += s[i];
    return s[510] == std::uint8_t(sum) && s[511] == std::uint8_t(sum >> 8);
}

class ChannelTest : public ::testing::Test {
protected:
    ChannelTest() : dev(host, ui, clock) {}

    // Adds an enclosure on drive `drive` as the next device slot.
    virt::VirtualEnclosure& addEnclosure(unsigned drive, virt::Route route) {
        virt::EnclosureConfig config;
        config.route = route;
        auto& enc = host.addEnclosure(drive, config);
        dev.tables.deviceTable[dev.tables.deviceCount++] = deviceWordFor(drive, route);
        host.clearTrace();
        return enc;
    }

    std::vector<std::string> traceTokens() const { return tokens(host.trace()); }

    virt::VirtualHost host;
    TestUi ui;
    FixedClock clock;
    DeviceState dev;
};

}  // namespace ardenvel::test
