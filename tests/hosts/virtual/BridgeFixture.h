#pragma once
// A virtual host with one enclosure, reached through the real transport, and
// helpers that build command sectors the way the vendor channel does.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "device/ByteOrder.h"
#include "device/DeviceState.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "firmware/ImageLayout.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel::virt::test {

class BridgeTest : public ::testing::Test {
public:
    VirtualHost host;
    ardenvel::test::TestUi ui;
    ardenvel::test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    VirtualEnclosure* bridge = nullptr;
    DriveHandle h = kInvalidHandle;

    void attach(EnclosureConfig config, unsigned drive = 1) {
        bridge = &host.addEnclosure(drive, std::move(config));
        h = OpenDrive(dev, static_cast<std::uint8_t>(drive));
        ASSERT_NE(h, kInvalidHandle);
    }
    void attach(Route route, unsigned drive = 1) {
        EnclosureConfig c;
        c.route = route;
        attach(std::move(c), drive);
    }

    static Sector command(std::uint8_t code, std::uint8_t arg, std::uint32_t address = 0) {
        Sector s{};
        s[0] = kVuSignature0;
        s[1] = kVuSignature1;
        s[2] = code;
        s[3] = arg;
        writeBe24(s, 4, address);
        sealCommandSector(s);
        return s;
    }
    static Sector program(std::uint32_t address, const std::uint8_t* page256) {
        Sector s = command(kVuProgram, 0x02, address);
        std::memcpy(s.data() + 7, page256, 256);
        s[509] = 0x55;
        sealCommandSector(s);
        return s;
    }

    bool write(std::uint32_t lba, const Sector& s) { return WriteSectors(dev, h, lba, s.data(), 1); }
    Sector read(std::uint32_t lba) {
        Sector s{};
        EXPECT_TRUE(ReadSectors(dev, h, lba, s.data(), 1)) << "LBA " << lba;
        return s;
    }
    // Mode commands at a reserved LBA of the random family.
    bool mode(std::uint8_t code, std::uint8_t arg, std::uint32_t lba = 77) {
        return write(lba, command(code, arg));
    }
    void openSpi() { ASSERT_TRUE(mode(kVuSpiAccess, 1)); }
    void unlock() { ASSERT_TRUE(mode(kVuProtection, 1)); }
    // What a firmware upgrade sets before it changes the flash.
    void openForChanges() {
        ASSERT_TRUE(mode(kVuUpdateMode, 1));
        openSpi();
    }

    // 512 flash bytes through the address command and LBA 60.
    Sector flashRead(std::uint32_t address) {
        EXPECT_TRUE(write(99, command(kVuSetReadAddress, 0x03, address)));
        return read(kFlashDataLba);
    }

    bool ata(std::uint8_t features, std::uint32_t address = 0) {
        TaskFile r;
        r.features = features;
        r.lbaLow = static_cast<std::uint8_t>(address);
        r.lbaMid = static_cast<std::uint8_t>(address >> 8);
        r.lbaHigh = static_cast<std::uint8_t>(address >> 16);
        r.device = 0xE0;
        r.command = kAtaVendorCommand;
        return AtaCommand(dev, h, r, nullptr, 0);
    }

    bool usb(BridgeKind kind, std::uint8_t* buffer, std::uint32_t address, std::uint8_t shift) {
        dev.cdbShift = shift;
        return BridgeTransfer(dev, kind, buffer, address);
    }
};

}  // namespace ardenvel::virt::test
