// What the host helper lets through to a disk: a whole session of the device
// logic arrives unchanged, and each request the tool never sends stops at
// the helper, out of the disk's trace.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <random>

#include "device/ByteOrder.h"
#include "device/Discovery.h"
#include "device/SpiFlash.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "firmware/Upgrade.h"
#include "hosts/TracingHost.h"
#include "hosts/remote/InProcessHelper.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/CommandSectors.h"
#include "tests/support/SwapSweep.h"
#include "tests/support/TestUi.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;
using virt::Route;

// A plain system disk with C: on drive 0, an enclosure with E: on drive 1.
void populate(virt::VirtualHost& host, Route route) {
    host.addOrdinaryDisk(0);
    host.addVolume('C', kDriveFixed, 0);
    virt::EnclosureConfig c;
    c.route = route;
    host.addEnclosure(1, c);
    host.addVolume('E', kDriveFixed, 1);
    // Beyond what discovery probes.
    host.addOrdinaryDisk(12);
}

struct Refusals {
    std::mutex mutex;
    std::vector<std::string> lines;
    remote::HostServer::RefusalSink sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
};

struct Side {
    explicit Side(Host& h) : dev(h, ui, clock) {}
    TestUi ui;
    FixedClock clock;
    DeviceState dev;
};

// Discovery, a poll, a settings command and an upgrade, as the window runs them.
void fullSession(DeviceState& dev, const fs::path& dumpDir) {
    EnumerateDriveLetters(dev);
    dev.physicalDriveCount = CountPhysicalDrives(dev);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    ASSERT_EQ(dev.tables.deviceCount, 1);
    Sector record{};
    EXPECT_TRUE(ReadSpiRecord(dev, record.data()));
    std::array<std::uint8_t, 4> cooldown{}, aborts{};
    PanelCommandInput in;
    in.activePage = 0;
    in.buzzerMuteTicked = true;
    EXPECT_TRUE(SetBuzzerAutoScan(dev, in, {cooldown, aborts, {}}));
    FirmwareState fw;
    image::ImageSpec plan;
    plan.versionTag = "v2";
    plan.codes = {{0x31, 0xC000, true}, {0x32, 0x18000, false}};
    std::string error;
    ASSERT_TRUE(image::generateImage(plan, fw.image.bytes, error)) << error;
    QuietProgress progress;
    EXPECT_TRUE(StartUpgrade(fw, dev, progress, dumpDir));
}

std::vector<std::string> traceLines(const virt::VirtualHost& host) {
    std::vector<std::string> lines;
    for (const virt::TraceEntry& e : host.trace()) {
        const std::array regs{e.taskIn.command, e.taskIn.features, e.taskOut.command, e.taskOut.features};
        lines.push_back(std::to_string(static_cast<int>(e.kind)) + " drive " + std::to_string(e.drive) + " " +
                        hexBytes(e.cdb) + " len " + std::to_string(e.length) + " t " +
                        std::to_string(e.timeoutSeconds) + " ata " + hexBytes(regs) +
                        (e.ok ? " ok " : " fail ") + hexBytes(e.data));
    }
    return lines;
}

class HelperPasses : public ::testing::TestWithParam<Route> {};

TEST_P(HelperPasses, EveryRequestOfAWholeSessionReachesTheDiskUnchanged) {
    const fs::path dumps =
        fs::temp_directory_path() / ("ardenvel-helper-" + std::to_string(std::random_device{}()));
    fs::create_directories(dumps);
    virt::VirtualHost direct, served;
    populate(direct, GetParam());
    populate(served, GetParam());
    Refusals refusals;
    {
        Side plain(direct);
        fullSession(plain.dev, dumps);
        remote::InProcessHelper helper(served, refusals.sink());
        Side remote(helper.host());
        fullSession(remote.dev, dumps);
    }
    EXPECT_EQ(refusals.count(), 0u) << refusals.lines.front();
    const auto want = traceLines(direct), got = traceLines(served);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "request " << i;
    fs::remove_all(dumps);
}

INSTANTIATE_TEST_SUITE_P(Routes, HelperPasses,
                         ::testing::Values(Route::Lba, Route::Ata, Route::LbaAta, Route::UsbShift,
                                           Route::UsbNoShift, Route::UsbQuery),
                         [](const auto& info) {
                             std::string name = virt::routeName(info.param);
                             std::erase_if(name, [](char c) { return c == '-' || c == '+'; });
                             return name;
                         });

// The helper tells the disk's identity with each open, so work through it
// stops at a swapped-in disk as it does on the host itself.
TEST(HelperRoad, AnUpgradeSendsNothingToADiskSwappedInAtAnyStep) {
    const SwapSweepResult r = sweepSwaps(Route::Lba, 8, 5, [](virt::VirtualHost& host, auto work) {
        Refusals refusals;
        remote::InProcessHelper helper(host, refusals.sink());
        Side side(helper.host());
        work(side.dev);
    });
    EXPECT_EQ(r.requestsToNewcomers, 0u);
}

Sector commandSector(std::uint8_t code, std::uint8_t argument = 0, std::uint32_t address = 0) {
    return SealedCommand(code, argument, address);
}

TEST(HelperRefuses, RequestsTheToolNeverSendsAndNoneReachesADisk) {
    virt::VirtualHost host;
    populate(host, Route::Lba);
    Refusals refusals;
    remote::InProcessHelper helper(host, refusals.sink());
    Side side(helper.host());
    // Discovery has seen drive 1 answer as a bridge, drive 0 as a plain disk.
    DeviceState& dev = side.dev;
    EnumerateDriveLetters(dev);
    dev.physicalDriveCount = CountPhysicalDrives(dev);
    ASSERT_TRUE(RunDiscovery(dev));
    ApplyDiscoveryResult(dev);
    // In update mode, with the flash head read: as far as an upgrade gets
    // before it erases.
    ASSERT_TRUE(SendVuMode(dev, kModeEnterUpdate));
    Sector head{};
    ASSERT_TRUE(SpiRead(dev, 0, kSpiReadStep, head.data()));
    Host& h = helper.host();
    const DriveHandle bridge = h.openPhysicalDrive(1), plain = h.openPhysicalDrive(0),
                      volume = h.openVolume('E');
    ASSERT_NE(bridge, kInvalidHandle);
    ASSERT_NE(plain, kInvalidHandle);
    ASSERT_NE(volume, kInvalidHandle);

    const auto write = [&](DriveHandle d, std::uint32_t lba, Sector s) {
        return h.sendCdb(d, sectorCdb(kWrite10, lba, 1), DataDirection::ToDevice, s, kRequestTimeoutSeconds);
    };
    Sector unsigned20 = commandSector(kVuBuzzerAutoScan);
    unsigned20[0] = 0;
    Sector badSum = commandSector(kVuBuzzerAutoScan);
    badSum[100] ^= 1;
    Sector padded = commandSector(kVuBuzzerAutoScan);
    padded[300] = 1;
    sealCommandSector(padded);
    const auto read = [&](DriveHandle d, std::uint32_t lba) {
        Sector s{};
        return h.sendCdb(d, sectorCdb(kRead10, lba, 1), DataDirection::ToHost, s, kRequestTimeoutSeconds);
    };
    struct Case {
        const char* what;
        std::function<bool()> send;
        std::function<void()> before = {};
    } cases[] = {
        {"WRITE(10) to LBA 0", [&] { return write(bridge, 0, commandSector(kVuBuzzerAutoScan)); }},
        {"WRITE(10) to LBA 1000", [&] { return write(bridge, 1000, commandSector(kVuBuzzerAutoScan)); }},
        {"WRITE(10) to LBA 20 without the signature", [&] { return write(bridge, 20, unsigned20); }},
        {"WRITE(10) to LBA 20 with a wrong checksum", [&] { return write(bridge, 20, badSum); }},
        {"WRITE(10) of two sectors",
         [&] {
             std::vector<std::uint8_t> two(1024);
             return h.sendCdb(bridge, sectorCdb(kWrite10, 20, 2), DataDirection::ToDevice, two, 2);
         }},
        {"a command sector to a disk that never answered as a bridge",
         [&] { return write(plain, 20, commandSector(kVuBuzzerAutoScan)); }},
        {"READ(10) of LBA 0",
         [&] {
             Sector s{};
             return h.sendCdb(bridge, sectorCdb(kRead10, 0, 1), DataDirection::ToHost, s, 2);
         }},
        {"an unknown opcode (FORMAT UNIT)",
         [&] {
             const std::array<std::uint8_t, 10> cdb{0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0};
             return h.sendCdb(bridge, cdb, DataDirection::ToDevice, {}, 2);
         }},
        {"a flash page program to a plain disk",
         [&] {
             std::vector<std::uint8_t> page(256);
             return h.sendCdb(plain, bridgeTransferCdb(BridgeKind::WritePage, 0x1000, 1),
                              DataDirection::ToDevice, page, 2);
         }},
        {"ATA WRITE SECTORS",
         [&] {
             TaskFile r{.sectorCount = 1, .device = 0xE0, .command = 0x30};
             Sector s{};
             return h.sendAta(bridge, r, s);
         }},
        {"a request to a volume", [&] { return write(volume, 20, commandSector(kVuBuzzerAutoScan)); }},
        {"a sealed sector of a code the tool never sends",
         [&] { return write(bridge, 20, commandSector(0x30)); }},
        {"an erase at a random LBA",
         [&] { return write(bridge, 50, commandSector(kVuErase, 0x20, 0xC000)); }},
        {"a settings sector with a byte set that the tool leaves zero",
         [&] { return write(bridge, 20, padded); }},
        {"an unlock of the boot area", [&] { return write(bridge, 50, commandSector(kVuProtection, 1)); }},
        {"an erase of the boot area",
         [&] { return write(bridge, 20, commandSector(kVuErase, 0x20, 0x1000)); }},
        {"an erase past the record ring",
         [&] { return write(bridge, 20, commandSector(kVuErase, 0x20, 0x80000)); }},
        {"READ(10) of LBA 33 of a disk that never answered as a bridge",
         [&] { return read(plain, kRecordLba); }},
        {"a bridge query other than discovery's",
         [&] {
             std::array<std::uint8_t, 8> answer{};
             return h.sendCdb(bridge, bridgeQueryCdb(0, 1), DataDirection::ToHost, answer, 2);
         }},
        {"a page program outside update mode",
         [&] { return write(bridge, 20, commandSector(kVuProgram, 0x02, 0xC000)); },
         [&] { EXPECT_TRUE(write(bridge, 77, commandSector(kVuUpdateMode, 0))); }},
        {"a handle the helper never opened",
         [&] { return write(bridge + 1000, 20, commandSector(kVuErase)); }},
        {"a volume open that is not one of the letters", [&] { return h.openVolume('1') != kInvalidHandle; }},
        {"a drive discovery never probes", [&] { return h.openPhysicalDrive(12) != kInvalidHandle; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.before) c.before();
        const std::size_t traced = host.trace().size(), refused = helper.server().refusals();
        EXPECT_FALSE(c.send());
        EXPECT_EQ(host.trace().size(), traced) << "reached the disk";
        EXPECT_EQ(helper.server().refusals(), refused + 1);
    }
    // The same command sector passes where the tool sends it.
    EXPECT_TRUE(write(bridge, 20, commandSector(kVuBuzzerAutoScan)));
    // A plain disk's LBA 58 is read, but its bytes stay with the helper.
    Sector userData{};
    userData.fill(0xA5);
    const DriveHandle direct = host.openPhysicalDrive(0);
    ASSERT_TRUE(
        host.sendCdb(direct, sectorCdb(kWrite10, kIdentifyLba, 1), DataDirection::ToDevice, userData, 2));
    host.closeDrive(direct);
    Sector lba58{};
    lba58.fill(0x77);
    EXPECT_TRUE(h.sendCdb(plain, sectorCdb(kRead10, kIdentifyLba, 1), DataDirection::ToHost, lba58, 2));
    EXPECT_EQ(lba58, Sector{});
}

}  // namespace
}  // namespace ardenvel::test
