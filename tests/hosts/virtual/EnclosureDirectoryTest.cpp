// Enclosures described by a directory: description.json and flash.bin.

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "monitor/ControllerStatus.h"
#include "tests/hosts/virtual/BridgeFixture.h"
#include "tests/support/ScratchDir.h"

namespace ardenvel::virt::test {
namespace {

namespace fs = std::filesystem;

class DirectoryTest : public BridgeTest {
public:
    fs::path dir;
    void SetUp() override {
        dir = ardenvel::test::scratchDir(std::string("enclosure-") +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void describe(const std::string& json) { std::ofstream(dir / "description.json") << json; }
    std::string loadError() {
        std::string error;
        EXPECT_EQ(host.loadEnclosure(1, dir, error), nullptr);
        EXPECT_FALSE(error.empty());
        return error;
    }
};

TEST_F(DirectoryTest, DescriptionSetsTheBridgeAndAMissingFlashIsGenerated) {
    describe(R"({
      "route": "ata", "firmwareRevision": "090701.0", "model": "DIR BOX",
      "settingFlags": "0xF1", "raidModeInSpi": 3, "flashSize": 1048576,
      "flash": {"versionTag": "v7", "codes": [{"type": "0x31", "slot": "0x18000", "update": false}]},
      "status": {"raidModeOfSystem": 3, "portState": "0x42", "configuredCapacity": 4096,
                 "ports": [{"serial": "AAA", "model": "M0", "capacity": 4096, "sataGeneration": 1}, null],
                 "badSectors": [7, 8, 9]},
      "timeline": [{"afterReads": 1, "event": "insert-disk", "port": 1, "disk": {"serial": "BBB"}}]
    })");
    std::string error;
    VirtualEnclosure* b = host.loadEnclosure(1, dir, error);
    ASSERT_NE(b, nullptr) << error;
    bridge = b;
    h = OpenDrive(dev, 1);
    EXPECT_EQ(b->route(), Route::Ata);
    ASSERT_TRUE(fs::exists(dir / "flash.bin"));
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), 0x100000u);
    EXPECT_EQ(b->recordAreaAddress(), 0xF8000u);
    EXPECT_EQ(b->flash()[0x18000], 'A');

    const Sector firstRecord = read(kRecordLba);
    const StatusView first(firstRecord);
    EXPECT_EQ(first.settingFlags(), 0xF1);
    EXPECT_EQ(first.raidModeInSpi(), 3);
    EXPECT_EQ(first.raidModeOfSystem(), 3);
    EXPECT_EQ(first.portState(), 0x42);
    EXPECT_EQ(first.badSectorCount(), 3);
    EXPECT_EQ(first.badSectorLba(2), 9u);
    EXPECT_EQ(first.serial(0).substr(0, 3), "AAA");
    const Sector secondRecord = read(kRecordLba);
    const StatusView second(secondRecord);
    EXPECT_EQ(second.portState(), 0x12);
    EXPECT_EQ(second.serial(1).substr(0, 3), "BBB");
}

TEST_F(DirectoryTest, FlashChangesSurviveARestart) {
    describe(R"({"route": "lba"})");
    const fs::path flashFile = dir / "flash.bin";
    {
        VirtualHost first;
        std::string error;
        ASSERT_NE(first.loadEnclosure(1, dir, error), nullptr) << error;
        DeviceState d{first, ui, clock};
        const DriveHandle hh = OpenDrive(d, 1);
        const Sector update = command(kVuUpdateMode, 1);
        ASSERT_TRUE(WriteSectors(d, hh, 39, update.data(), 1));
        const Sector open = command(kVuSpiAccess, 1);
        ASSERT_TRUE(WriteSectors(d, hh, 40, open.data(), 1));
        const Sector erase = command(kVuErase, 0x20, 0x30000);
        ASSERT_TRUE(WriteSectors(d, hh, kCommandLba, erase.data(), 1));
        std::uint8_t page[256];
        std::fill(std::begin(page), std::end(page), 0x42);
        const Sector prog = program(0x30000, page);
        ASSERT_TRUE(WriteSectors(d, hh, kCommandLba, prog.data(), 1));
        auto onDisk = [&] {
            std::ifstream f(flashFile, std::ios::binary);
            f.seekg(0x30000);
            return f.get();
        };
        EXPECT_EQ(onDisk(), 0xFF) << "a code-area page waits for the next flush";
        const Sector close = command(kVuSpiAccess, 0);
        ASSERT_TRUE(WriteSectors(d, hh, 41, close.data(), 1));
        EXPECT_EQ(onDisk(), 0x42) << "closing SPI access writes back, before the host goes away";
    }
    VirtualHost second;
    std::string error;
    VirtualEnclosure* b = second.loadEnclosure(1, dir, error);
    ASSERT_NE(b, nullptr) << error;
    EXPECT_EQ(b->flash()[0x30000], 0x42);
    EXPECT_EQ(b->flash()[0x300FF], 0x42);
    EXPECT_EQ(b->flash()[0x30100], 0xFF);
}

TEST_F(DirectoryTest, UsbRecordWriteIsWrittenBackAtOnce) {
    describe(R"({"route": "usb-noshift"})");
    std::string error;
    VirtualEnclosure* b = host.loadEnclosure(2, dir, error);
    ASSERT_NE(b, nullptr) << error;
    DeviceState d{host, ui, clock};
    OpenDrive(d, 2);
    d.cdbShift = 0;
    std::uint8_t rec[256];
    std::fill(std::begin(rec), std::end(rec), 0x01);
    ASSERT_TRUE(BridgeTransfer(d, BridgeKind::WritePage, rec, 0x78100));
    std::ifstream f(dir / "flash.bin", std::ios::binary);
    f.seekg(0x78100);
    EXPECT_EQ(f.get(), 0x01);
}

TEST_F(DirectoryTest, EachBrokenRuleIsNamedWithFileAndFieldAndNothingLoads) {
    host.addOrdinaryDisk(1);
    const std::string file = (dir / "description.json").string() + ": ";
    const struct {
        const char* json;
        const char* reason;  // after the file's name
    } cases[] = {
        {"{ \"route\": ", "not valid JSON"},
        {"[1, 2]", "must be an object"},
        {R"({"route": "firewire"})", "\"route\" must be one of usb-shift, usb-noshift, usb-query, lba"},
        {R"({"rout": "lba"})", "\"rout\" is not a known key"},
        {R"({"model": 42})", "\"model\" must be a string"},
        {R"({"flashSize": 1000})", "\"flashSize\" must be from 4096 to 16777216"},
        {R"({"flashSize": "0x2000000"})", "\"flashSize\" must be from 4096 to 16777216"},
        {R"({"flashSize": 524544})", "\"flashSize\" must be a multiple of 4096"},
        {R"({"flashSize": -4096})", "\"flashSize\" must be a whole number"},
        {R"({"status": {"portState": 300}})", "\"status.portState\" must be from 0 to 255"},
        {R"({"status": {"ports": [null]}})", "\"status.ports\" must be a list of 2 entries"},
        {R"({"status": {"ports": [null, {"serial": "123456789012345678901"}]}})",
         "\"status.ports[1].serial\" is longer than 20 characters"},
        {R"({"status": {"badSectors": [1, "x"]}})", "\"status.badSectors\" must hold LBAs"},
        {R"({"flash": {"codes": [{"type": 255}]}})", "\"flash.codes[0].type\" must be from 0 to 254"},
        {R"({"timeline": [{"afterReads": 1, "event": "explode"}]})", "\"timeline[0].event\" must be one of"},
        {R"({"timeline": [{"event": "plug"}, {"event": "activity", "lba": 5}]})",
         "\"timeline[1].lba\" is not a field of the \"activity\" event"},
        {R"({"timeline": [{"event": "bad-sector", "port": 2}]})", "\"timeline[0].port\" must be from 0 to 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        describe(c.json);
        EXPECT_EQ(loadError().substr(0, file.size() + std::strlen(c.reason)), file + c.reason);
    }
    fs::remove(dir / "description.json");
    EXPECT_NE(loadError().find("cannot read"), std::string::npos);

    // A flash.bin of the wrong size is left exactly as it was.
    describe(R"({"route": "lba"})");
    std::ofstream(dir / "flash.bin", std::ios::binary) << "tiny";
    EXPECT_EQ(loadError(), (dir / "flash.bin").string() +
                               ": holds 4 bytes, but \"flashSize\" in description.json is 524288");
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), 4u);

    // None of this touched drive 1.
    EXPECT_EQ(host.enclosure(1), nullptr);
    EXPECT_NE(host.openPhysicalDrive(1), kInvalidHandle);
}

// A flash that ended inside a page let a page program near its end write
// past the buffer. The loader refuses such a size, and the bridge never
// writes beyond a flash it was handed.
TEST_F(DirectoryTest, FlashSize0x80010IsRefusedAndAPageWriteNearItsEndStaysInside) {
    describe(R"({"route": "lba", "flashSize": "0x80010"})");
    {
        std::ofstream f(dir / "flash.bin", std::ios::binary);
        const std::string bytes(0x80010, '\xFF');
        f << bytes;
    }
    EXPECT_NE(loadError().find("\"flashSize\" must be a multiple of 4096"), std::string::npos);
    EXPECT_EQ(fs::file_size(dir / "flash.bin"), 0x80010u);

    EnclosureConfig odd;
    odd.flashSize = 0x80010;
    attach(odd);
    ASSERT_EQ(bridge->flash().size(), 0x80010u);
    openForChanges();
    std::uint8_t page[256];
    std::fill(std::begin(page), std::end(page), 0x00);
    ASSERT_TRUE(write(kCommandLba, program(0x80008, page)));
    EXPECT_EQ(bridge->flash()[0x8000F], 0x00);
    EXPECT_EQ(bridge->flash()[0x80000], 0x00);
    EXPECT_EQ(bridge->flash().size(), 0x80010u);
}

TEST_F(DirectoryTest, OddDevicesAndFaultsCanBeDescribed) {
    describe(R"({
      "route": "lba", "serialHex": "41 FF 00 0D", "modelHex": "4d e9", "firmwareRevisionHex": "3039303631392E30",
      "flash": {"ring": "garbled-newest"},
      "faults": {"failRequests": [3, 9], "cutPowerAfter": 40, "powerOnAfter": 5, "dropWritesFrom": 70,
                 "delayPerRequestUs": 250, "tornRequest": 12, "tornFraction": 7, "staleRead": 13,
                 "garbledRead": 14, "droppedWrite": 15},
      "status": {"progressPercent": 255, "activityFlags": "0x04", "badSectors": [1, 2, 3],
                 "ports": [{"serialHex": "FF 00 0D E9"}, {"model": "M1"}]},
      "timeline": [{"event": "bad-sector-count", "count": 1},
                   {"event": "activity", "flags": 1, "percent": 200}]
    })");
    EnclosureConfig c;
    std::vector<TimelineEvent> timeline;
    std::string error;
    ASSERT_TRUE(readEnclosureDescription(dir, c, timeline, error)) << error;
    EXPECT_EQ(c.serial, std::string("A\xFF\0\r", 4));
    EXPECT_EQ(c.model, "M\xE9");
    EXPECT_EQ(c.firmwareRevision, "090619.0");
    EXPECT_EQ(c.flashRing, RingState::GarbledNewest);
    EXPECT_EQ(c.faults.failRequests, (std::vector<unsigned>{3, 9}));
    EXPECT_EQ(c.faults.cutPowerAfter, 40u);
    EXPECT_EQ(c.faults.powerOnAfter, 5u);
    EXPECT_EQ(c.faults.dropWritesFrom, 70u);
    EXPECT_EQ(c.faults.delayPerRequest, std::chrono::microseconds(250));
    EXPECT_EQ(c.faults.tornRequest, 12u);
    EXPECT_EQ(c.faults.tornFraction, 7);
    EXPECT_EQ(c.faults.staleRead, 13u);
    EXPECT_EQ(c.faults.garbledRead, 14u);
    EXPECT_EQ(c.faults.droppedWrite, 15u);
    EXPECT_EQ(c.status.progressPercent, 255);
    EXPECT_EQ(c.status.disks[0]->serial, std::string("\xFF\0\r\xE9", 4));
    ASSERT_EQ(timeline.size(), 2u);
    EXPECT_EQ(timeline[0].kind, TimelineEvent::Kind::SetBadSectorCount);
    EXPECT_EQ(timeline[0].value, 1);
    EXPECT_EQ(timeline[1].percent, 200);

    // Served as given: the bytes, the progress byte, a count that went down.
    VirtualEnclosure& b = host.addEnclosure(1, c);
    for (const TimelineEvent& e : timeline) b.addTimeline(e);
    const auto record = b.currentRecord();
    const StatusView r(record);
    EXPECT_EQ(r.serial(0).substr(0, 4), std::string("\xFF\0\r\xE9", 4));
    EXPECT_EQ(r.progressPercent(), 200);
    EXPECT_EQ(r.badSectorCount(), 1);
}

TEST_F(DirectoryTest, BadNewFieldsNameTheirKey) {
    const struct {
        const char* json;
        const char* says;
    } cases[] = {
        {R"({"serial": "A", "serialHex": "41"})", R"("serialHex" cannot be given with "serial")"},
        {R"({"serialHex": "4G"})", R"("serialHex" must be bytes in hexadecimal)"},
        {R"({"modelHex": "4 1"})", R"("modelHex" must be bytes in hexadecimal)"},
        {R"({"firmwareRevisionHex": "30 31 32 33 34 35 36 37 38"})",
         R"("firmwareRevisionHex" holds more than 8)"},
        {R"({"status": {"ports": [{"serialHex": 65}, null]}})",
         R"("status.ports[0].serialHex" must be bytes)"},
        {R"({"status": {"progressPercent": 256}})", "progressPercent"},
        {R"({"flash": {"ring": "bent"}})", R"("flash.ring" must be one of written, empty)"},
        {R"({"faults": {"failRequests": [0]}})", "failRequests"},
        {R"({"faults": {"powerOnAfter": 3}})", R"("faults.powerOnAfter" needs "cutPowerAfter")"},
        {R"({"faults": {"tornFraction": 3}})", R"("faults.tornFraction" needs "tornRequest")"},
        {R"({"faults": {"tornRequest": 1, "tornFraction": 256}})",
         R"("faults.tornFraction" must be from 1 to 255)"},
        {R"({"faults": {"dropWritesFrom": 0}})", R"("faults.dropWritesFrom" must be from 1 to)"},
        {R"({"faults": {"delayPerRequestUs": 10000001}})", "delayPerRequestUs"},
        {R"({"faults": {"cutPower": 3}})", R"("faults.cutPower" is not a known key)"},
        {R"({"timeline": [{"event": "bad-sector-count", "count": 256}]})",
         R"("timeline[0].count" must be from 0 to 255)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        describe(c.json);
        const std::string error = loadError();
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

#ifndef _WIN32
// Whoever may write the directory must not steer the emulator's reads or
// writes to another file through a link in it.
TEST_F(DirectoryTest, LinksInTheDirectoryAreNeverFollowed) {
    const fs::path victim = dir.string() + "-victim";
    struct Row {
        const char* what;
        std::function<void()> plant;
        bool loads;
    } rows[] = {
        {"flash.bin a link", [&] { fs::create_symlink(victim, dir / "flash.bin"); }, false},
        {"description.json a link",
         [&] {
             fs::rename(dir / "description.json", dir.string() + "-described");
             fs::create_symlink(dir.string() + "-described", dir / "description.json");
         },
         false},
        {"flash.bin a FIFO", [&] { ::mkfifo((dir / "flash.bin").c_str(), 0600); }, false},
        {"flash.bin.tmp a link", [&] { fs::create_symlink(victim, dir / "flash.bin.tmp"); }, true},
        {"flash.bin.tmp a hard link", [&] { fs::create_hard_link(victim, dir / "flash.bin.tmp"); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(victim, std::ios::trunc) << "victim";
        describe(R"({"route": "lba"})");
        row.plant();
        std::string error;
        VirtualHost fresh;
        EXPECT_EQ(fresh.loadEnclosure(1, dir, error) != nullptr, row.loads) << error;
        std::ifstream in(victim);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "victim");
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(dir / "flash.bin")), row.loads);
    }
    fs::remove(victim);
    fs::remove(dir.string() + "-described");
}
#endif

TEST(Examples, EveryShippedEnclosureLoads) {
    const fs::path examples = fs::path(ARDENVEL_SOURCE_DIR) / "examples";
    unsigned n = 0;
    for (const auto& entry : fs::directory_iterator(examples)) {
        if (!entry.is_directory()) continue;
        SCOPED_TRACE(entry.path().string());
        EnclosureConfig config;
        std::vector<TimelineEvent> timeline;
        std::string error;
        EXPECT_TRUE(readEnclosureDescription(entry.path(), config, timeline, error)) << error;
        ++n;
    }
    EXPECT_GE(n, 3u);
}

}  // namespace
}  // namespace ardenvel::virt::test
