// The built command-line tool over emulated enclosures described in
// directories, as a user or a script runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"
#include "tests/support/HostUnderTest.h"

namespace {

namespace fs = std::filesystem;

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Both runs of the suite, and other checkouts' runs, may be under way at once.
        dir = fs::temp_directory_path() /
              ("ardenvel-cli-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "logs");
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path enclosure(const std::string& name, const std::string& json) {
        const fs::path d = dir / name;
        fs::create_directories(d);
        std::ofstream(d / "description.json") << json;
        return d;
    }

    CliRun run(const std::string& args) {
        CliRun r;
        const fs::path out = dir / "out.txt", err = dir / "err.txt";
        const std::string helper = ardenvel::test::overHelper()
                                       ? std::string(" --helper ") + ARDENVEL_EMULATED_HELPER
                                       : std::string();
        const std::string cmd = "LC_ALL=C " + std::string(ARDENVEL_CLI) + helper + " " + args + " >" +
                                out.string() + " 2>" + err.string() + " </dev/null";
        const int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        // The tool sends only what the helper lets through.
        EXPECT_EQ(r.err.find("helper: refused"), std::string::npos) << r.err;
        return r;
    }

    fs::path dir;
};

std::string route(const std::string& r, const std::string& rev = "090619.0") {
    return R"({ "route": ")" + r + R"(", "firmwareRevision": ")" + rev + R"(", "model": "ARDV Test Box",
  "status": { "raidModeOfSystem": 1, "portState": "0x22", "configuredCapacity": 1953525168,
    "ports": [ { "serial": "WD-WCAV0000000000001", "model": "WDC WD10EARS-00Y5B1", "capacity": 1953525168, "sataGeneration": 2 },
               { "serial": "WD-WCAV0000000000002", "model": "WDC WD10EARS-00Y5B1", "capacity": 1953525168, "sataGeneration": 3 } ] } })";
}

const char* const kRoutes[] = {"lba", "ata", "lba+ata", "usb-shift", "usb-noshift", "usb-query"};
const char* const kRouteFlags[] = {"LBA", "ATA", "LBA,ATA", "USB(shift)", "USB", "USB(shift)"};

TEST_F(Cli, ListAndStatusOnEveryRoute) {
    for (std::size_t i = 0; i < std::size(kRoutes); ++i) {
        SCOPED_TRACE(kRoutes[i]);
        const fs::path e = enclosure(kRoutes[i], route(kRoutes[i]));
        const CliRun list = run("--virtual " + e.string() + " list");
        ASSERT_EQ(list.code, 0) << list.err;
        EXPECT_NE(list.out.find(std::string(" ") + kRouteFlags[i] + " "), std::string::npos) << list.out;
        // A bridge found only by its query answer leaves the INQUIRY answer as its identity.
        if (std::string(kRoutes[i]) != "usb-query") {
            EXPECT_NE(list.out.find("090619.0  ARDV Test Box"), std::string::npos) << list.out;
        }

        const CliRun status = run("--virtual " + e.string() + " status");
        ASSERT_EQ(status.code, 0) << status.err;
        EXPECT_NE(status.out.find("RAID Mode of System: Mirror"), std::string::npos) << status.out;
        EXPECT_NE(status.out.find("Capacity: 931 GB (1953525168 sectors)"), std::string::npos);
        EXPECT_NE(status.out.find("P1: initialized (SATA3) Serial# WD-WCAV0000000000002"), std::string::npos)
            << status.out;
        EXPECT_NE(status.out.find("Volume: Normal"), std::string::npos);
    }
}

TEST_F(Cli, StatusJsonCarriesWhatTheWindowLeavesOut) {
    const fs::path e = enclosure("e", R"({ "route": "lba", "settingFlags": "0xF1",
  "status": { "raidModeOfSystem": 63, "portState": "0x42", "activityFlags": "0x05", "progressPercent": 37,
              "badSectors": [ 100, 200, 300 ] } })");
    const CliRun r = run("--virtual " + e.string() + " status --json");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(R"("raidMode": "Bypass")"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(R"("modeSource": "jumper")"), std::string::npos);
    EXPECT_NE(r.out.find(R"("buzzer": "sounding")"), std::string::npos);
    EXPECT_NE(r.out.find(R"("autoScan": false)"), std::string::npos);
    EXPECT_NE(r.out.find(R"("state": "absent")"), std::string::npos);
    EXPECT_NE(r.out.find(R"("count": 3)"), std::string::npos);
    const std::regex latest(R"("latest": \[\s*100,\s*200,\s*300\s*\])");
    EXPECT_TRUE(std::regex_search(r.out, latest)) << r.out;
    // 0x80 is off: a rebuild onto P0.
    const std::regex act(R"("kind": "rebuild",\s*"port": 0,\s*"percent": 37)");
    EXPECT_TRUE(std::regex_search(r.out, act)) << r.out;
}

// The time stamps of a log line, as the C locale writes them.
std::string withoutTimes(const std::string& text) {
    static const std::regex t(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)");
    return std::regex_replace(text, t, "<T>");
}

TEST_F(Cli, MonitorWritesTheDaysLogAsTheWindowWould) {
    const fs::path e = enclosure("e", R"({ "route": "lba+ata", "firmwareRevision": "090619.0",
  "status": { "raidModeOfSystem": 1, "portState": "0x22", "configuredCapacity": 1953525168,
    "ports": [ { "serial": "WD-WCAV0000000000001", "model": "M0", "capacity": 1953525168, "sataGeneration": 2 },
               { "serial": "WD-WCAV0000000000002", "model": "M1", "capacity": 976773168, "sataGeneration": 3 } ] },
  "timeline": [ { "afterReads": 1, "event": "remove-disk", "port": 1 },
                { "afterReads": 3, "event": "activity", "flags": "0x81", "percent": 10 },
                { "afterReads": 4, "event": "activity", "flags": "0x81", "percent": 11 },
                { "afterReads": 5, "event": "end-activity" } ] })");
    const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                         " monitor --interval 0.05 --count 6");
    ASSERT_EQ(r.code, 0) << r.err;

    const std::string sep(73, '-');
    const std::string expected = sep + "\r\n" +
                                 "GUI has started from <T>\r\n"
                                 "Device1 information :\r\n"
                                 "Mirror, F/W Rev. 090619.0\r\n"
                                 "Configured Capacity : 931 GB(1953525168 Sectors)\r\n"
                                 "  P0 is present.(SATA2)\r\n"
                                 "    Serial no.: \"WD-WCAV0000000000001\"\r\n"
                                 "    Capacity : 931 GB(1953525168 Sectors)\r\n"
                                 "  P1 is present.(SATA3)\r\n"
                                 "    Serial no.: \"WD-WCAV0000000000002\"\r\n"
                                 "    Capacity : 465 GB(976773168 Sectors)\r\n" +
                                 sep + "\r\n" +
                                 "D1 P1 was removed, <T>\r\n"
                                 "D1 P0 Scan 10%, <T>\r\n"
                                 "D1 P0 Scan 11%, <T>\r\n";
    std::vector<fs::path> logs;
    for (const auto& f : fs::directory_iterator(dir / "logs")) logs.push_back(f.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_match(logs[0].filename().string(), std::regex(R"(\d{6}\.log)")));
    EXPECT_EQ(withoutTimes(slurp(logs[0])), expected);
    // Standard output printed the same lines as they were written.
    std::string printed = expected;
    printed = std::regex_replace(printed, std::regex("\r\n"), "\n");
    EXPECT_EQ(withoutTimes(r.out), printed);
}

// Each run starts the emulated bridge afresh from its description, so what it
// received is read from the trace: the block carries the changed setting and
// the bridge's own value of the other one.
TEST_F(Cli, BuzzerAndAutoScanChangeOnlyTheirOwnSetting) {
    // Buzzer sounding, auto scan off.
    const fs::path e = enclosure("e", R"({ "route": "lba", "settingFlags": "0x11" })");
    const fs::path t = dir / "t.txt";
    ASSERT_EQ(run("--virtual " + e.string() + " --trace " + t.string() + " buzzer mute").code, 0);
    EXPECT_NE(slurp(t).find("ok sector 33 58 20 00 00"), std::string::npos) << slurp(t);
    ASSERT_EQ(run("--virtual " + e.string() + " --trace " + t.string() + " autoscan on").code, 0);
    EXPECT_NE(slurp(t).find("ok sector 33 58 20 01 01"), std::string::npos) << slurp(t);

    const fs::path muted = enclosure("muted", R"({ "route": "usb-noshift", "settingFlags": "0x12" })");
    ASSERT_EQ(run("--virtual " + muted.string() + " --trace " + t.string() + " buzzer sound").code, 0);
    EXPECT_NE(slurp(t).find("ok sector 33 58 20 01 01"), std::string::npos) << slurp(t);
    ASSERT_EQ(run("--virtual " + muted.string() + " --trace " + t.string() + " autoscan off").code, 0);
    EXPECT_NE(slurp(t).find("ok sector 33 58 20 00 00"), std::string::npos) << slurp(t);
}

TEST_F(Cli, ScanStopNeedsConfirmationOffATerminal) {
    const fs::path e = enclosure("e", route("usb-shift"));
    const CliRun refused = run("--virtual " + e.string() + " scan stop P1");
    EXPECT_EQ(refused.code, 2);
    const CliRun r =
        run("--virtual " + e.string() + " --trace " + (dir / "t.txt").string() + " scan stop P1 --yes");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("Do You want to terminate the scan process?"), std::string::npos);
    // The stop block for P1, last LBA = capacity - 1 = 0x74706DAF.
    const std::string trace = slurp(dir / "t.txt");
    EXPECT_NE(trace.find("cdb 2A 00 00 00 00 14 00 00 01 00 out 512 ok sector 33 58 24 01 01"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("00 00 00 00 00 00 AF 6D 70 74 00 00"), std::string::npos);
}

TEST_F(Cli, TraceOfStatusShowsEachRoutesRequests) {
    struct Case {
        const char* route;
        const char* line;
    } cases[] = {
        {"lba", "PhysicalDrive0 cdb 28 00 00 00 00 21 00 00 01 00 in 512 ok"},
        {"ata", "PhysicalDrive0 cdb 28 00 00 00 00 21 00 00 01 00 in 512 ok"},
        {"usb-shift", "PhysicalDrive0 cdb FE 85 00 07 80 00 00 01 00 00 in 512 ok"},
        {"usb-noshift", "PhysicalDrive0 cdb FE FE 85 00 07 80 00 00 01 00 in 512 ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.route);
        const fs::path e = enclosure(c.route, route(c.route));
        const fs::path t = dir / (std::string(c.route) + ".trace");
        ASSERT_EQ(run("--virtual " + e.string() + " --trace " + t.string() + " status").code, 0);
        const std::string trace = slurp(t);
        EXPECT_NE(trace.find(c.line), std::string::npos) << trace;
        EXPECT_NE(trace.find("PhysicalDrive0 open ok"), std::string::npos);
        EXPECT_NE(trace.find("PhysicalDrive0 close"), std::string::npos);
    }
    const std::string ata = slurp(dir / "ata.trace");
    EXPECT_NE(ata.find("PhysicalDrive0 rescan"), std::string::npos);
    EXPECT_NE(ata.find("ata 00 00 00 00 00 E0 EC ->"), std::string::npos) << ata;
    // Discovery asks with the opcode at byte 1 first; a byte-2 bridge says
    // why it refused, when it runs in the tool's own process.
    if (ardenvel::test::overHelper()) return;
    const std::string noshift = slurp(dir / "usb-noshift.trace");
    EXPECT_NE(
        noshift.find("FE 8B 00 00 00 00 00 00 00 00 in 512 fail\n    rejected: vendor opcode at the byte"),
        std::string::npos)
        << noshift;
}

TEST_F(Cli, ExitCodes) {
    EXPECT_EQ(run("").code, 2);
    EXPECT_EQ(run("frobnicate").code, 2);
    EXPECT_EQ(run("status --bogus").code, 2);
    EXPECT_EQ(run("--help").code, 0);
    EXPECT_EQ(run("buzzer --help").code, 0);
    const fs::path e = enclosure("e", route("lba"));
    EXPECT_EQ(run("--virtual " + e.string() + " buzzer loud").code, 2);
    EXPECT_EQ(run("--virtual " + e.string() + " status --device 2").code, 2);
    EXPECT_EQ(run("--virtual " + e.string() + " buzzer mute --device 2").code, 2);
    EXPECT_EQ(run("--device 2 --virtual " + e.string() + " status").code, 2);
    // A directory that does not describe an enclosure is refused as a failure.
    EXPECT_EQ(run("--virtual " + (dir / "nothing").string() + " list").code, 1);
    // A foreign INQUIRY answer: the drive is no enclosure.
    const fs::path foreign =
        enclosure("foreign", R"({ "route": "usb-shift", "inquiryAdditionalLength": 91 })");
    const CliRun none = run("--virtual " + foreign.string() + " list");
    EXPECT_EQ(none.code, 3);
    EXPECT_NE(none.err.find("No Drive found! "), std::string::npos);
    EXPECT_EQ(run("firmware check " + (dir / "missing.bin").string()).code, 1);
}

// A mistake is found before anything starts, and a command that reads no
// disk starts nothing: the helper here notes that it ran, then declines.
TEST_F(Cli, NothingStartsForAMistakeOrForACommandThatReadsNoDisk) {
    const fs::path helper = dir / "helper.sh", ran = dir / "ran";
    std::ofstream(helper) << "#!/bin/sh\ntouch " << ran.string() << "\nexit 126\n";
    fs::permissions(helper, fs::perms::owner_all);
    struct Row {
        std::string args;
        int code;
        bool starts;
        const char* says;
    };
    const Row rows[] = {
        {"buzzer loud", 2, false, "buzzer takes mute or sound, not \"loud\""},
        {"autoscan", 2, false, "autoscan needs on or off"},
        {"scan stop P2 --yes", 2, false, "scan stop takes P0 or P1, not \"P2\""},
        {"list --yes", 2, false, "list does not take --yes"},
        {"status --count 3", 2, false, "status does not take --count"},
        {"firmware check x.bin --device 2", 2, false, "firmware check does not take --device"},
        {"status --interval 9", 2, false, "status does not take --interval (an option of monitor)"},
        {"scan stop P0", 2, false, "give --yes when not on a terminal"},
        {"monitor --interval 0.5", 2, false, "--interval must be at least 1 second"},
        {"firmware check " + (dir / "missing.bin").string(), 1, false, ""},
        {"monitor --test --exec /bin/true", 0, false, ""},
        {"list", 5, true, "Administrator rights were not given"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args);
        fs::remove(ran);
        const CliRun c = run("--helper " + helper.string() + " " + r.args);
        EXPECT_EQ(c.code, r.code) << c.err;
        EXPECT_EQ(fs::exists(ran), r.starts);
        EXPECT_NE(c.err.find(r.says), std::string::npos) << c.err;
    }
}

// What a script can tell apart by the exit code: no rights (5) is not no
// enclosure (3), and a helper that is not there is neither.
TEST_F(Cli, AHelperThatCannotComeUpSaysWhy) {
    struct Row {
        const char* script;
        int code;
        const char* says;
    };
    const Row rows[] = {
        {"exit 126", 5, "Administrator rights were not given"},
        {"echo 'Error executing command as another user: No authentication agent found.' >&2; exit 127", 5,
         "No authentication agent is running"},
        {"echo 'Error creating textual authentication agent: Error opening current controlling terminal for "
         "the process (`/dev/tty'\\''): No such device or address' >&2; exit 127",
         5, "No authentication agent is running"},
        {"echo 'Error accessing /usr/libexec/x: No such file or directory' >&2; exit 127", 1,
         "The host helper /usr/libexec/x is not installed"},
        {"echo 'ardenvel-host-helper: needs root' >&2; exit 1", 1,
         "ardenvel-host-helper: needs root (exit status 1)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.script);
        const fs::path helper = dir / "helper.sh";
        std::ofstream(helper) << "#!/bin/sh\n" << r.script << "\n";
        fs::permissions(helper, fs::perms::owner_all);
        const CliRun c = run("--helper " + helper.string() + " status");
        EXPECT_EQ(c.code, r.code) << c.err;
        EXPECT_NE(c.err.find(r.says), std::string::npos) << c.err;
    }
    const CliRun missing = run("--helper " + (dir / "nowhere").string() + " status");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("is not installed"), std::string::npos) << missing.err;
}

struct FlashView {
    std::string bytes;
    std::uint32_t u24(std::size_t at) const {
        return ardenvel::readLe24({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, at);
    }
    std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(bytes[i]); }
    // The newest record: the end of the run of used slots from the first one.
    std::size_t newestRecord() const {
        const std::size_t base = u24(ardenvel::image::kRecordAreaAddressOffset);
        std::size_t s = 0;
        while (s < 128 && at(base + s * 256) == 0xFF) ++s;
        std::size_t newest = s;
        while (s + 1 < 128 && at(base + (s + 1) * 256) != 0xFF &&
               at(base + (s + 1) * 256) == at(base + s * 256) + 1)
            newest = ++s;
        return base + newest * 256;
    }
    // The 48 KB the record at `rec` names for code type `type`; empty when none.
    std::string codeOf(std::size_t rec, std::uint8_t type) const {
        for (std::size_t k = 0; k < 10; ++k) {
            const std::size_t e = rec + ardenvel::image::codeEntryOffset(k);
            if (at(e) == type) return bytes.substr(u24(e + 1), 0xC000);
        }
        return {};
    }
    bool recordWhole(std::size_t rec) const {
        const std::span<const std::uint8_t> r(reinterpret_cast<const std::uint8_t*>(bytes.data()) + rec, 256);
        return r[1] == ardenvel::image::kConfigVersion &&
               ardenvel::readLe16(r, 254) == ardenvel::image::recordChecksum(r);
    }
};

TEST_F(Cli, FirmwareUpgradeLeavesTheImagesCodeInTheSlotsTheRecordNames) {
    const fs::path e = enclosure("e", route("lba"));
    const fs::path img = dir / "v2.bin";
    ASSERT_EQ(
        std::system((std::string(MAKE_IMAGE) + " --version v2 " + img.string() + " >/dev/null").c_str()), 0);
    ASSERT_EQ(run("firmware check " + img.string()).code, 0);
    ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);  // lays out the flash
    const FlashView before{slurp(e / "flash.bin")};
    ASSERT_EQ(before.bytes.size(), 0x80000u);

    const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                         " firmware upgrade " + img.string() + " --yes");
    const std::string image = slurp(img);
    const FlashView imageView{image};
    const std::size_t tmpl = image.size() - ardenvel::image::kRecordAreaSize;
    unsigned marked = 0;
    for (std::size_t k = 0; k < 10; ++k)
        marked += imageView.at(tmpl + ardenvel::image::codeEntryOffset(k) + 4) == 0x5A &&
                  imageView.at(tmpl + ardenvel::image::codeEntryOffset(k)) != 0xFF;
    ASSERT_GT(marked, 0u);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("Firmware Upgrade " + std::to_string(marked) + "/" + std::to_string(marked) +
                         "completed!"),
              std::string::npos)
        << r.err;

    const FlashView after{slurp(e / "flash.bin")};
    EXPECT_EQ(after.bytes.substr(0, 0xC000), before.bytes.substr(0, 0xC000)) << "boot area changed";
    const std::size_t rec = after.newestRecord();
    for (std::size_t k = 0; k < 10; ++k) {
        const std::size_t ie = tmpl + ardenvel::image::codeEntryOffset(k);
        if (imageView.at(ie) == 0xFF || imageView.at(ie + 4) != 0x5A) continue;
        // The flash record's entry of the same code type names a slot holding the image's code.
        bool found = false;
        for (std::size_t p = 0; p < 10 && !found; ++p) {
            const std::size_t fe = rec + ardenvel::image::codeEntryOffset(p);
            if (after.at(fe) != imageView.at(ie)) continue;
            found = true;
            const std::uint32_t slot = after.u24(fe + 1);
            EXPECT_EQ(after.bytes.substr(slot, 0xC000), image.substr(imageView.u24(ie + 1), 0xC000))
                << "code type " << int(imageView.at(ie));
        }
        EXPECT_TRUE(found);
    }
}

TEST_F(Cli, FirmwareUpgradeThatRecordsNotEveryCodeTypeExitsWithFour) {
    const fs::path e = enclosure("e", route("lba"));
    ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);
    const fs::path logs = dir / "logs";
    // 0x36 is not in the bridge's record: the loop runs and skips it.
    const fs::path missing = dir / "missing.bin";
    ASSERT_EQ(std::system(
                  (std::string(MAKE_IMAGE) + " --version v2 --code 0x36 " + missing.string() + " >/dev/null")
                      .c_str()),
              0);
    CliRun r = run("--virtual " + e.string() + " --log-dir " + logs.string() + " firmware upgrade " +
                   missing.string() + " --yes");
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("Firmware Upgrade 0/1completed!"), std::string::npos) << r.err;

    // A file the loader refuses never reaches the loop.
    const fs::path junk = dir / "junk.bin";
    std::ofstream(junk, std::ios::binary) << std::string(0x80000, '\0');
    r = run("--virtual " + e.string() + " --log-dir " + logs.string() + " firmware upgrade " + junk.string() +
            " --yes");
    EXPECT_EQ(r.code, 1) << r.err;
}

TEST_F(Cli, FirmwareUpgradeRepairsTheRecordRingFirstAndSaysSoInTheDaysLog) {
    const fs::path e = enclosure("e", route("lba"));
    ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);
    // Records 0 to 16: the sector before the one record 16 opened was never erased.
    std::string flash = slurp(e / "flash.bin");
    for (std::size_t slot = 1; slot <= 16; ++slot) {
        std::string rec = flash.substr(0x78000, 256);
        rec[0] = static_cast<char>(slot);
        std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(rec.data()), rec.size());
        ardenvel::writeLe16(bytes, 254, ardenvel::image::recordChecksum(bytes));
        flash.replace(0x78000 + slot * 256, 256, rec);
    }
    std::ofstream(e / "flash.bin", std::ios::binary) << flash;
    const fs::path img = dir / "v2.bin";
    ASSERT_EQ(
        std::system(
            (std::string(MAKE_IMAGE) + " --version v2 --code 0x31 " + img.string() + " >/dev/null").c_str()),
        0);

    const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                         " firmware upgrade " + img.string() + " --yes");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string said = "SPI record area repaired: 1 sector of older records erased";
    EXPECT_NE(r.err.find(said + "\n"), std::string::npos) << r.err;
    std::vector<fs::path> logs;
    for (const auto& f : fs::directory_iterator(dir / "logs")) logs.push_back(f.path());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_search(slurp(logs[0]), std::regex("D1 " + said + ", [^\r\n]+\r\n")))
        << slurp(logs[0]);
    EXPECT_EQ(slurp(e / "flash.bin").substr(0x78000, 0x1000), std::string(0x1000, '\xFF'));
}

// --- odd devices and faults, described in the enclosure's directory ---------

// How many requests a trace holds up to and including the first line with `needle`.
unsigned requestsUpTo(const std::string& trace, const std::string& needle) {
    std::istringstream lines(trace);
    unsigned n = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" cdb ") != std::string::npos || line.find(" ata ") != std::string::npos) ++n;
        if (line.find(needle) != std::string::npos) return n;
    }
    return 0;
}

const char kTwoDisks[] =
    R"("ports": [ { "serial": "WD-WCAV0000000000001", "model": "M0", "capacity": 1953525168, "sataGeneration": 2 },
               { "serial": "WD-WCAV0000000000002", "model": "M1", "capacity": 1953525168, "sataGeneration": 3 } ])";

TEST_F(Cli, StatusAndListJsonStayValidWhateverBytesTheBridgeSends) {
    const fs::path e =
        enclosure("e", R"({ "route": "lba", "modelHex": "42 6F 78 FF", "firmwareRevision": "090619  ",
  "status": { "ports": [ { "serialHex": "41 FF 0D E9 00 42" }, null ] } })");
    for (const char* command : {"status --json", "list --json"}) {
        SCOPED_TRACE(command);
        const CliRun r = run("--virtual " + e.string() + " " + command);
        ASSERT_EQ(r.code, 0) << r.err;
        std::ofstream(dir / "out.json", std::ios::binary) << r.out;
        const std::string check = "python3 -m json.tool " + (dir / "out.json").string() + " >/dev/null";
        EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
        EXPECT_NE(r.out.find("\"model\": \"Box\xC3\xBF\""), std::string::npos) << r.out;
        // The bridge pads its revision with blanks.
        EXPECT_NE(r.out.find("\"firmware\": \"090619\""), std::string::npos) << r.out;
    }
    // One character per byte, U+FFFD for CR, the rest cut at the NUL.
    EXPECT_NE(run("--virtual " + e.string() + " status --json")
                  .out.find("\"serial\": \"A\xC3\xBF\xEF\xBF\xBD\xC3\xA9\""),
              std::string::npos);
}

TEST_F(Cli, FailedStatusReadIsReadFalse) {
    const std::string description = R"({ "route": "lba" )";
    const fs::path clean = enclosure("clean", description + "}");
    ASSERT_EQ(run("--virtual " + clean.string() + " --trace " + (dir / "t.txt").string() + " status").code,
              0);
    const unsigned statusRead = requestsUpTo(slurp(dir / "t.txt"), "cdb 28 00 00 00 00 21");
    ASSERT_GT(statusRead, 0u);

    const fs::path e = enclosure(
        "e", description + R"(, "faults": { "failRequests": [ )" + std::to_string(statusRead) + " ] } }");
    const CliRun r = run("--virtual " + e.string() + " status --json");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.out.find("\"read\": false"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("raidMode"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Read Error for LBA = 33 and sector count = 1"), std::string::npos) << r.err;
}

TEST_F(Cli, DroppedWritesFailTheVerifyAndLeaveTheFlash) {
    const fs::path e = enclosure("e", R"({ "route": "lba", "faults": { "dropWritesFrom": 1 } })");
    const fs::path img = dir / "v2.bin";
    ASSERT_EQ(std::system((std::string(MAKE_IMAGE) + " --version v2 --code 0x31 --code 0x32:keep " +
                           img.string() + " >/dev/null")
                              .c_str()),
              0);
    ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);
    const std::string before = slurp(e / "flash.bin");
    const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                         " firmware upgrade " + img.string() + " --yes");
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("CodeType 0x31 Verify Fail"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Firmware Upgrade 0/1completed!"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(e / "flash.bin"), before);
}

// The power goes at a point of the upgrade and comes back a few requests
// later; the bridge boots what its newest record names, so that record must
// be whole and every slot it names must hold whole code, old or new.
TEST_F(Cli, PowerCutMidUpgradeLeavesOldOrNewCodeAndAWholeRecord) {
    const fs::path img = dir / "v2.bin";
    ASSERT_EQ(
        std::system((std::string(MAKE_IMAGE) + " --version v2 " + img.string() + " >/dev/null").c_str()), 0);
    const std::string image = slurp(img);
    const FlashView imageView{image};
    const std::size_t tmpl = image.size() - ardenvel::image::kRecordAreaSize;

    const fs::path clean = enclosure("clean", R"({ "route": "lba" })");
    const std::string upgrade = " firmware upgrade " + img.string() + " --yes";
    ASSERT_EQ(run("--virtual " + clean.string() + " --trace " + (dir / "t.txt").string() + upgrade).code, 0);
    const unsigned total = requestsUpTo(slurp(dir / "t.txt") + "end cdb \n", "end cdb");

    for (const unsigned part : {2u, 5u, 8u}) {
        const unsigned cut = total * part / 10;
        SCOPED_TRACE(cut);
        const fs::path e = enclosure("cut" + std::to_string(cut), R"({ "route": "lba",
  "faults": { "cutPowerAfter": )" + std::to_string(cut) + R"(, "powerOnAfter": 3 } })");
        ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);
        const FlashView before{slurp(e / "flash.bin")};
        const std::size_t oldRecord = before.newestRecord();
        const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() + upgrade);
        EXPECT_NE(r.code, 0) << "nothing failed";

        const FlashView after{slurp(e / "flash.bin")};
        const std::size_t rec = after.newestRecord();
        EXPECT_TRUE(after.recordWhole(rec));
        for (std::size_t k = 0; k < 10; ++k) {
            const std::uint8_t type = after.at(rec + ardenvel::image::codeEntryOffset(k));
            if (type == 0xFF) continue;
            const std::string code = after.codeOf(rec, type);
            EXPECT_TRUE(code == before.codeOf(oldRecord, type) || code == imageView.codeOf(tmpl, type))
                << "code type " << int(type);
        }
        // Powered on again, the enclosure answers.
        const CliRun status = run("--virtual " + e.string() + " status");
        EXPECT_EQ(status.code, 0) << status.err;
    }
}

TEST_F(Cli, FallingBadSectorCountLogsNothing) {
    const fs::path e = enclosure("e", std::string(R"({ "route": "lba",
  "status": { "activityFlags": "0x04", "badSectors": [ 100, 200, 300 ], )") +
                                          kTwoDisks + R"( },
  "timeline": [ { "afterReads": 2, "event": "bad-sector-count", "count": 1 },
                { "afterReads": 4, "event": "bad-sector", "port": 0, "lba": 999 } ] })");
    const CliRun r = run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                         " monitor --interval 0.05 --count 6");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string sep(73, '-');
    // 3, 3, 1, 1, 2, 2: the fall says nothing, and the count it fell to is
    // where the next rise is counted from.
    EXPECT_EQ(withoutTimes(r.out), sep + "\n" +
                                       "GUI has started from <T>\n"
                                       "Device1 information :\n"
                                       "Mirror, F/W Rev. 090619.0\n"
                                       "Configured Capacity : 931 GB(1953525168 Sectors)\n"
                                       "  P0 is present.(SATA2)\n"
                                       "    Serial no.: \"WD-WCAV0000000000001\"\n"
                                       "    Capacity : 931 GB(1953525168 Sectors)\n"
                                       "  P1 is present.(SATA3)\n"
                                       "    Serial no.: \"WD-WCAV0000000000002\"\n"
                                       "    Capacity : 931 GB(1953525168 Sectors)\n" +
                                       sep + "\n" +
                                       "D1 P0 Bad Sector was found. <T>\n"
                                       "  LBA: 100\n"
                                       "  LBA: 200\n"
                                       "  LBA: 300\n"
                                       "D1 P0 Bad Sector was found. <T>\n"
                                       "  LBA: 999\n");
}

}  // namespace

// Seconds since midnight of a trace line's time, "14:03:59.123456 ...".
double secondsOf(const std::string& line) {
    return std::stoi(line.substr(0, 2)) * 3600.0 + std::stoi(line.substr(3, 2)) * 60.0 +
           std::stod(line.substr(6, 9));
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.push_back(l);
    return lines;
}

// Two processes over the same enclosure: the second one, started while the
// first upgrades the flash, touches the disks only once the first is done.
TEST_F(Cli, ASecondProcessWaitsForTheFirstsOperationToEnd) {
    const fs::path e = enclosure("e", route("lba"));
    const fs::path img = dir / "v2.bin";
    ASSERT_EQ(
        std::system((std::string(MAKE_IMAGE) + " --version v2 " + img.string() + " >/dev/null").c_str()), 0);
    ASSERT_EQ(run("--virtual " + e.string() + " list").code, 0);  // lays out the flash
    const fs::path locks = dir / "locks";
    fs::create_directories(locks);
    const std::string cli = "LC_ALL=C " + std::string(ARDENVEL_CLI) + " --virtual " + e.string() +
                            " --lock-dir " + locks.string();
    const fs::path a = dir / "a.trace", b = dir / "b.trace", started = dir / "b.started";
    // The second starts once the first has put the bridge into update mode.
    const std::string script = "(" + cli + " --log-dir " + (dir / "logs").string() + " --trace " +
                               a.string() + " firmware upgrade " + img.string() +
                               " --yes >/dev/null 2>&1 &\n"
                               "for i in $(seq 2000); do grep -q 'sector 33 58 10 01' " +
                               a.string() +
                               " 2>/dev/null && break; sleep 0.005; done\n"
                               "date +%H:%M:%S.%N >" +
                               started.string() + "\n" + cli + " --trace " + b.string() +
                               " status >/dev/null 2>&1; echo $? >" + (dir / "b.code").string() + "\nwait)";
    ASSERT_EQ(std::system(("bash -c '" + std::regex_replace(script, std::regex("'"), "'\\''") + "'").c_str()),
              0);

    ASSERT_EQ(slurp(dir / "b.code"), "0\n");
    const auto first = linesOf(slurp(a));
    const auto second = linesOf(slurp(b));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(slurp(a).find("sector 33 58 10 00"), std::string::npos) << "the first never left update mode";
    const double firstEnd = secondsOf(first.back());
    EXPECT_LT(secondsOf(slurp(started)), firstEnd) << "the second started too late to meet the first";
    EXPECT_GE(secondsOf(second.front()), firstEnd) << second.front() << "\n" << first.back();
}
