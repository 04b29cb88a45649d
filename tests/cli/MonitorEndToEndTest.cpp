// ardenvel-cli monitor as a service runs it: hook programs over an emulated
// timeline, hooks that hang or fail, the metrics file under a reader, a scan
// stopped from another process, and what a restart must not repeat.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// A timeline event of an enclosure's description.
std::string at(unsigned reads, const std::string& rest) {
    return R"({ "afterReads": )" + std::to_string(reads) + R"(, "event": )" + rest + " }";
}

// A mirror whose P1 is empty; `timeline` happens to it.
std::string mirrorWithEmptyP1(const std::vector<std::string>& timeline, const std::string& extra = "") {
    std::string events;
    for (const auto& e : timeline) events += (events.empty() ? "" : ",\n    ") + e;
    return R"({ "route": "lba", "firmwareRevision": "090619.0", "model": "ARDV Timeline Box",
  "status": { "raidModeOfSystem": 1, "portState": "0x42", "configuredCapacity": 1953525168)" +
           extra + R"(,
    "ports": [ { "serial": "WD-P0-SERIAL", "model": "WDC P0", "capacity": 1953525168, "sataGeneration": 2 }, null ] },
  "timeline": [ )" +
           events + " ] }";
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("ardenvel-monitor-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        // Each call: one line, the fields apart by '|', the message's line breaks as '/'.
        hook("record.sh",
             "n=$(env | grep -c '^ARDENVEL_')\n"
             "msg=$(printf '%s' \"$ARDENVEL_MESSAGE\" | tr '\\n' '/')\n"
             "printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$ARDENVEL_EVENT\" \"$ARDENVEL_SEVERITY\" "
             "\"$ARDENVEL_DEVICE\" \"$ARDENVEL_PORT\" \"$ARDENVEL_SERIAL\" \"$ARDENVEL_MODEL\" "
             "\"$ARDENVEL_PERCENT\" \"$ARDENVEL_LBAS\" \"$ARDENVEL_REMINDER\" \"$msg\" \"$n\" >>" +
                 (dir / "calls").string() +
                 "\n"
                 "printf '%s\\n' \"$ARDENVEL_TIME\" >>" +
                 (dir / "times").string() + "\n");
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path enclosure(const std::string& name, const std::string& json) {
        const fs::path d = dir / name;
        fs::create_directories(d);
        std::ofstream(d / "description.json") << json;
        return d;
    }
    fs::path hook(const std::string& name, const std::string& body) {
        const fs::path p = dir / name;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        fs::permissions(p, fs::perms::owner_all);
        return p;
    }
    std::string cli() const { return "LC_ALL=C ARDENVEL_INCREMENT= " + std::string(ARDENVEL_CLI); }
    // Runs the tool to its end; its exit code.
    int run(const std::string& args) {
        const std::string cmd = cli() + " " + args + " >>" + (dir / "out").string() + " 2>>" +
                                (dir / "err").string() + " </dev/null";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The hooks' calls, the times of the log lines made alike.
    std::vector<std::string> calls() const {
        static const std::regex t(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)");
        return linesOf(std::regex_replace(slurp(dir / "calls"), t, "<T>"));
    }
    // Waits until `file` holds `text`.
    bool waitFor(const fs::path& file, const std::string& text, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (slurp(file).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    fs::path dir;
};

// Insert, rebuild 0 to 100 in steps of 5, fail, bad sectors, unplug.
std::vector<std::string> fullTimeline() {
    std::vector<std::string> t = {
        at(1, R"("insert-disk", "port": 1, "disk": { "serial": "WD-P1-SERIAL", "model": "WDC P1" })")};
    unsigned read = 2;
    for (unsigned pct = 0; pct <= 95; pct += 5, ++read)
        t.push_back(at(read, R"("activity", "flags": "0x02", "percent": )" + std::to_string(pct)));
    t.push_back(at(read++, R"("activity", "flags": "0x02", "percent": 99)"));
    t.push_back(at(read, R"("end-activity")"));
    t.push_back(at(read++, R"("initialize", "port": 1)"));
    t.push_back(at(read++, R"("fail-disk", "port": 0)"));
    t.push_back(at(read, R"("bad-sector", "port": 1, "lba": 1000)"));
    t.push_back(at(read++, R"("bad-sector", "port": 1, "lba": 2000)"));
    t.push_back(at(read++, R"("unplug")"));
    return t;
}

// EVENT|SEVERITY|DEVICE|PORT|SERIAL|MODEL|PERCENT|LBAS|REMINDER|MESSAGE|number of ARDENVEL_ variables
const std::vector<std::string> kTimelineCalls = {
    "enclosure-found|info|1|||ARDV Timeline Box|||0|Device1 found|11",
    "disk-inserted|info|1|1|WD-P1-SERIAL|WDC P1|||0|D1 P1 was inserted, <T>|11",
    "rebuild-progress|info|1|1|WD-P1-SERIAL|WDC P1|0||0|D1 P0 --> P1 0%, <T>|11",
    "rebuild-progress|info|1|1|WD-P1-SERIAL|WDC P1|20||0|D1 P0 --> P1 20%, <T>|11",
    "rebuild-progress|info|1|1|WD-P1-SERIAL|WDC P1|40||0|D1 P0 --> P1 40%, <T>|11",
    "rebuild-progress|info|1|1|WD-P1-SERIAL|WDC P1|60||0|D1 P0 --> P1 60%, <T>|11",
    "rebuild-progress|info|1|1|WD-P1-SERIAL|WDC P1|80||0|D1 P0 --> P1 80%, <T>|11",
    "disk-initialized|info|1|1|WD-P1-SERIAL|WDC P1|||0|D1 P1 was initialized, (SATA2), <T>/  Serial no.: "
    "\"WD-P1-SERIAL        \"/  Capacity : 931 GB(1953525168 Sectors)|11",
    "rebuild-done|info|1|1|WD-P1-SERIAL|WDC P1|100||0|D1 P0 --> P1 Done, <T>|11",
    "disk-failed|critical|1|0|WD-P0-SERIAL|WDC P0|||0|D1 P0 was failed, Capacity too small.<T>/  Serial no.: "
    "\"WD-P0-SERIAL        \"/  Capacity : 931 GB(1953525168 Sectors)|11",
    "bad-sectors|critical|1|1|WD-P1-SERIAL|WDC P1||1000 2000|0|D1 P1 Bad Sector was found. <T>/  LBA: 1000/  "
    "LBA: "
    "2000|11",
    "enclosure-lost|warning|1|||ARDV Timeline Box|||0|Device1 lost: its status cannot be read|11",
};

TEST_F(Monitor, HooksGetEveryEventOfATimelineWithItsEnvironmentAndProgressAtTheIncrements) {
    const fs::path e = enclosure("e", mirrorWithEmptyP1(fullTimeline()));
    ASSERT_EQ(run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                  " monitor --interval 0.02 --count 30 --exec " + (dir / "record.sh").string()),
              0)
        << slurp(dir / "err");
    EXPECT_EQ(calls(), kTimelineCalls) << slurp(dir / "calls");
    for (const auto& t : linesOf(slurp(dir / "times")))
        EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << t;
    // The log is the window's: every line a hook was told of is in it.
    EXPECT_NE(slurp(dir / "out").find("D1 P0 --> P1 45%"), std::string::npos);

    // The same set-up checked by hand: one test event, then the tool exits.
    fs::remove(dir / "calls");
    ASSERT_EQ(run("monitor --test --exec " + (dir / "record.sh").string()), 0);
    EXPECT_EQ(calls(), std::vector<std::string>{
                           "test|info|||||||0|Test event from Ardenvel: alerts reach this program|11"});
}

TEST_F(Monitor, AHungHookIsKilledAtItsLimitAndAFailingOneIsReportedWhilePollsKeepTheirCadence) {
    const fs::path hang = hook("hang.sh", "sleep 60 &\necho $$ $! >>" + (dir / "pids").string() + "\nwait\n");
    const fs::path fail = hook("fail.sh", "readlink /proc/$$/fd/* >>" + (dir / "fds").string() +
                                              "\necho from the hook >&2\nexit 3\n");
    const fs::path e = enclosure("e", mirrorWithEmptyP1(fullTimeline()));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() + " --trace " +
                  (dir / "trace").string() + " monitor --interval 0.2 --count 30 --exec-timeout 0.3 --exec " +
                  hang.string() + " --exec " + fail.string()),
              0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string err = slurp(dir / "err");
    EXPECT_NE(
        err.find("hook " + hang.string() + " for enclosure-found was killed after its time limit of 300 ms"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("hook " + fail.string() + " for disk-failed failed with exit status 3"),
              std::string::npos);
    EXPECT_NE(err.find("from the hook"), std::string::npos);
    // A hook gets none of the tool's own files.
    EXPECT_NE(slurp(dir / "fds"), "");
    EXPECT_EQ(slurp(dir / "fds").find((dir / "trace").string()), std::string::npos) << slurp(dir / "fds");
    // Every event ran both hooks: 12 events, each 0.3 s of hanging.
    EXPECT_GE(seconds, 12 * 0.3);

    // The status reads (LBA 33) kept their 0.2 s pace through it all: a poll
    // that waited for the hooks would come 0.5 s or more after the last, at
    // each of the 12 events. A loaded machine may hold one poll back now and
    // then; that is not this.
    std::vector<double> reads;
    for (const auto& line : linesOf(slurp(dir / "trace")))
        if (line.find("cdb 28 00 00 00 00 21 00 00 01 00 in 512") != std::string::npos)
            reads.push_back(std::stoi(line.substr(0, 2)) * 3600.0 + std::stoi(line.substr(3, 2)) * 60.0 +
                            std::stod(line.substr(6, 9)));
    ASSERT_GE(reads.size(), 26u);
    std::vector<std::size_t> late;
    for (std::size_t i = 1; i < reads.size(); ++i)
        if (reads[i] - reads[i - 1] >= 0.45) late.push_back(i);
    EXPECT_LE(late.size(), 2u) << "polls after a gap of 0.45 s or more: " << ::testing::PrintToString(late);

    // Nothing a hook started outlives its limit (a zombie left to init is dead).
    const auto pids = linesOf(slurp(dir / "pids"));
    EXPECT_FALSE(pids.empty());
    for (const auto& line : pids) {
        std::istringstream in(line);
        for (int pid; in >> pid;) {
            const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
            const auto state = stat.find(") ");
            EXPECT_TRUE(stat.empty() || stat[state + 2] == 'Z')
                << "process " << pid << " still runs: " << stat;
        }
    }
}

TEST_F(Monitor, AScanStoppedByAnotherProcessIsLoggedAsUserAbort) {
    // A scan of P0 at 10 %; the bridge reports it ended from the second read on.
    const fs::path e = enclosure("e", R"({ "route": "lba", "firmwareRevision": "090619.0",
  "status": { "portState": "0x22", "activityFlags": "0x81", "progressPercent": 10 },
  "timeline": [ { "afterReads": 1, "event": "end-activity" } ] })");
    const fs::path out = dir / "monitor.out";
    // A long interval: the monitor polls again only because of the stop's note.
    const std::string monitor = cli() + " --virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                                " monitor --interval 300 >" + out.string() + " 2>&1 & echo $! >" +
                                (dir / "pid").string();
    ASSERT_EQ(std::system(monitor.c_str()), 0);
    ASSERT_TRUE(waitFor(out, "D1 P0 Scan 10%", std::chrono::seconds(30))) << slurp(out);
    ASSERT_EQ(run("--virtual " + e.string() + " scan stop P0 --yes"), 0) << slurp(dir / "err");
    const bool aborted = waitFor(out, "D1 P0 Scan User Abort, ", std::chrono::seconds(30));
    ::kill(std::stoi(slurp(dir / "pid")), SIGTERM);
    EXPECT_TRUE(aborted) << slurp(out);
    EXPECT_EQ(slurp(out).find("P0 OK, P1 OK"), std::string::npos) << slurp(out);
}

// What the Prometheus text format asks of every line, and what the file
// must hold whole.
void expectWholeMetrics(const std::string& text) {
    static const std::regex sample(R"re(ardenvel_[a-z_]+(\{([a-z_]+="([^"\\]|\\.)*",?)*\})? -?[0-9.e+]+)re");
    static const std::regex comment(R"(# (HELP|TYPE) ardenvel_[a-z_]+ .+)");
    const auto lines = linesOf(text);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(text.back(), '\n');
    for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, sample) || std::regex_match(l, comment)) << l;
    // The last line of a whole file.
    EXPECT_EQ(lines.back().rfind("ardenvel_monitor_polls_total ", 0), 0u) << lines.back();
}

TEST_F(Monitor, AReaderNeverSeesAHalfWrittenMetricsFileAndPromtoolAcceptsIt) {
    const fs::path e = enclosure("e", mirrorWithEmptyP1(fullTimeline()));
    const fs::path metrics = dir / "metrics" / "ardenvel.prom";
    const std::string command = "(" + cli() + " --virtual " + e.string() + " --log-dir " +
                                (dir / "logs").string() + " monitor --interval 0.005 --count 400 --metrics " +
                                metrics.string() + " --state " + (dir / "status.json").string() +
                                " >/dev/null 2>&1; touch " + (dir / "done").string() + ") &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    unsigned reads = 0;
    bool sawFailedRead = false;
    while (!fs::exists(dir / "done")) {
        std::ifstream f(metrics, std::ios::binary);
        if (!f) continue;
        std::stringstream s;
        s << f.rdbuf();
        ++reads;
        SCOPED_TRACE(reads);
        expectWholeMetrics(s.str());
        // After the unplug: the read failed, and no state of the record is claimed.
        if (s.str().find("ardenvel_status_read_success{device=\"1\"} 0") != std::string::npos) {
            sawFailedRead = true;
            EXPECT_EQ(s.str().find("ardenvel_port_state{"), std::string::npos);
        }
        if (HasFailure()) break;
    }
    while (!fs::exists(dir / "done")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(reads, 50u);
    EXPECT_TRUE(sawFailedRead);
    // Discovery has been told of the unplug by now, and found nothing.
    EXPECT_NE(slurp(metrics).find("ardenvel_enclosures 0\n"), std::string::npos) << slurp(metrics);
    EXPECT_EQ(slurp(dir / "status.json"), "{\n  \"version\": 1,\n  \"enclosures\": []\n}\n");

    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP()
            << "promtool not installed (Debian package prometheus): the format was checked here only";
    }
    // A file of the middle of the timeline, with every family filled.
    const fs::path mid =
        enclosure("mid", mirrorWithEmptyP1({at(0, R"("activity", "flags": "0x02", "percent": 40)")}));
    ASSERT_EQ(run("--virtual " + mid.string() + " --log-dir " + (dir / "logs").string() +
                  " monitor --count 1 --metrics " + (dir / "mid.prom").string()),
              0);
    for (const fs::path& file : {metrics, dir / "mid.prom"}) {
        const std::string check =
            "promtool check metrics <" + file.string() + " >" + (dir / "promtool").string() + " 2>&1";
        EXPECT_EQ(std::system(check.c_str()), 0) << slurp(dir / "promtool");
    }
}

// Two runs with one state directory: the second starts where the first
// ended (a disk failed, two bad sectors) and must alert nothing again; a
// fresh state directory alerts that state once.
TEST_F(Monitor, ARestartRepeatsNoEventAndAStillFailedDiskIsNotAnnouncedAgain) {
    const fs::path first = enclosure("first", mirrorWithEmptyP1(fullTimeline()));
    const std::string common = " --log-dir " + (dir / "logs").string() + " monitor --interval 0.02 --exec " +
                               (dir / "record.sh").string() + " --state-dir ";
    ASSERT_EQ(run("--virtual " + first.string() + common + (dir / "state").string() + " --count 26"), 0);
    const auto before = calls();
    ASSERT_EQ(before.size(), kTimelineCalls.size() - 1) << slurp(dir / "calls");  // all but the loss

    // As the first left it: P0 failed, P1 rebuilt, bad sectors 1000 and 2000.
    const std::string failed =
        R"({ "route": "lba", "firmwareRevision": "090619.0", "model": "ARDV Timeline Box",
  "status": { "raidModeOfSystem": 1, "portState": "0x28", "activityFlags": "0x08", "configuredCapacity": 1953525168,
    "ports": [ { "serial": "WD-P0-SERIAL", "model": "WDC P0", "capacity": 1953525168, "sataGeneration": 2 },
               { "serial": "WD-P1-SERIAL", "model": "WDC P1", "capacity": 1953525168, "sataGeneration": 2 } ],
    "badSectors": [ 1000, 2000 ] } })";
    const fs::path second = enclosure("second", failed);
    ASSERT_EQ(run("--virtual " + second.string() + common + (dir / "state").string() + " --count 3"), 0);
    EXPECT_EQ(calls(), before) << slurp(dir / "calls");
    // The log still tells the day what it sees, as the window's would.
    EXPECT_NE(slurp(dir / "out").rfind("D1 P1 Bad Sector was found."),
              slurp(dir / "out").find("D1 P1 Bad Sector"));

    fs::remove(dir / "calls");
    ASSERT_EQ(run("--virtual " + second.string() + common + (dir / "fresh").string() + " --count 3"), 0);
    const std::vector<std::string> fresh = calls();
    ASSERT_EQ(fresh.size(), 3u) << slurp(dir / "calls");
    EXPECT_EQ(fresh[0].substr(0, 16), "enclosure-found|");
    EXPECT_EQ(fresh[1].substr(0, 30), "disk-failed|critical|1|0|WD-P0");
    EXPECT_EQ(fresh[2].substr(0, 28), "bad-sectors|critical|1|1|WD-");
}

}  // namespace
