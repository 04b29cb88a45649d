// ardenvel-cli monitor as a service runs it: hook programs over an emulated
// timeline, hooks that hang or fail, the metrics file under a reader, a scan
// stopped from another process, and what a restart must not repeat.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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
             "printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$ARDENVEL_EVENT\" \"$ARDENVEL_SEVERITY\" "
             "\"$ARDENVEL_DEVICE\" \"$ARDENVEL_ENCLOSURE\" \"$ARDENVEL_PORT\" \"$ARDENVEL_SERIAL\" "
             "\"$ARDENVEL_MODEL\" "
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

// EVENT|SEVERITY|DEVICE|ENCLOSURE|PORT|SERIAL|MODEL|PERCENT|LBAS|REMINDER|MESSAGE|number of ARDENVEL_
// variables
const std::vector<std::string> kTimelineCalls = {
    "enclosure-found|info|1|ARDV Timeline Box ARDV00000001|||ARDV Timeline Box|||0|Device1 found|12",
    "disk-inserted|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|||0|D1 P1 was inserted, "
    "<T>|12",
    "rebuild-progress|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|0||0|D1 P0 --> P1 0%, "
    "<T>|12",
    "rebuild-progress|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|20||0|D1 P0 --> P1 20%, "
    "<T>|12",
    "rebuild-progress|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|40||0|D1 P0 --> P1 40%, "
    "<T>|12",
    "rebuild-progress|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|60||0|D1 P0 --> P1 60%, "
    "<T>|12",
    "rebuild-progress|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|80||0|D1 P0 --> P1 80%, "
    "<T>|12",
    "disk-initialized|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|||0|D1 P1 was initialized, "
    "(SATA2), <T>/  Serial no.: \"WD-P1-SERIAL        \"/  Capacity : 931 GB(1953525168 Sectors)|12",
    "rebuild-done|info|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1|100||0|D1 P0 --> P1 Done, "
    "<T>|12",
    "disk-failed|critical|1|ARDV Timeline Box ARDV00000001|0|WD-P0-SERIAL|WDC P0|||0|D1 P0 was failed, "
    "Capacity "
    "too small.<T>/  Serial no.: \"WD-P0-SERIAL        \"/  Capacity : 931 GB(1953525168 Sectors)|12",
    "bad-sectors|critical|1|ARDV Timeline Box ARDV00000001|1|WD-P1-SERIAL|WDC P1||1000 2000|0|D1 P1 Bad "
    "Sector "
    "was found. <T>/  LBA: 1000/  LBA: 2000|12",
    "enclosure-lost|warning|1|ARDV Timeline Box ARDV00000001|||ARDV Timeline Box|||0|D1 Drive removed at: "
    "<T>|12",
};

// Hooks run side by side: the calls in a stable order to compare.
std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(Monitor, HooksGetEveryEventOfATimelineWithItsEnvironmentAndProgressAtTheIncrements) {
    const fs::path e = enclosure("e", mirrorWithEmptyP1(fullTimeline()));
    ASSERT_EQ(run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                  " monitor --interval 0.02 --count 30 --exec " + (dir / "record.sh").string()),
              0)
        << slurp(dir / "err");
    EXPECT_EQ(sorted(calls()), sorted(kTimelineCalls)) << slurp(dir / "calls");
    for (const auto& t : linesOf(slurp(dir / "times")))
        EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"))) << t;
    // The log is the window's: every line a hook was told of is in it.
    EXPECT_NE(slurp(dir / "out").find("D1 P0 --> P1 45%"), std::string::npos);

    // The same set-up checked by hand: one test event, then the tool exits.
    fs::remove(dir / "calls");
    ASSERT_EQ(run("monitor --test --exec " + (dir / "record.sh").string()), 0);
    EXPECT_EQ(calls(), std::vector<std::string>{
                           "test|info||||||||0|Test event from Ardenvel: alerts reach this program|12"});
}

TEST_F(Monitor, AHungHookIsKilledAtItsLimitAndAFailingOneIsReportedWhilePollsKeepTheirCadence) {
    const fs::path hang = hook("hang.sh", "sleep 60 &\necho $$ $! >>" + (dir / "pids").string() + "\nwait\n");
    const fs::path fail = hook("fail.sh", "readlink /proc/$$/fd/* >>" + (dir / "fds").string() +
                                              "\necho from the hook >&2\nexit 3\n");
    const fs::path e = enclosure("e", mirrorWithEmptyP1(fullTimeline()));
    ASSERT_EQ(run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() + " --trace " +
                  (dir / "trace").string() + " monitor --interval 0.2 --count 30 --exec-timeout 0.3 --exec " +
                  hang.string() + " --exec " + fail.string()),
              0);
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
    // Every event ran both hooks once; their retries wait beyond the end.
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = err.find(what); at != std::string::npos; at = err.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("was killed after its time limit of 300 ms; trying again in 30 s"), 12u) << err;
    EXPECT_EQ(count(fail.string() + " for "), 12u) << err;
    EXPECT_NE(err.find("12 alert(s) not taken by every hook; without --state-dir they are not kept"),
              std::string::npos);

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

TEST_F(Monitor, AReaderNeverSeesAHalfWrittenMetricsFileAndPromtoolAcceptsItAndTheRules) {
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
    // The example alerting rules: well formed, and every series they name is written.
    const fs::path rules = fs::path(ARDENVEL_SOURCE_DIR) / "packaging" / "ardenvel-alerts.rules.yml";
    const std::string check =
        "promtool check rules " + rules.string() + " >" + (dir / "promtool").string() + " 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << slurp(dir / "promtool");
    const std::string text = slurp(rules);
    static const std::regex series("ardenvel_[a-z_]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), series); it != std::sregex_iterator(); ++it)
        EXPECT_NE(slurp(dir / "mid.prom").find("# TYPE " + it->str() + " "), std::string::npos) << it->str();
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
    EXPECT_EQ(sorted(calls()), sorted(before)) << slurp(dir / "calls");
    // The log still tells the day what it sees, as the window's would.
    EXPECT_NE(slurp(dir / "out").rfind("D1 P1 Bad Sector was found."),
              slurp(dir / "out").find("D1 P1 Bad Sector"));

    fs::remove(dir / "calls");
    ASSERT_EQ(run("--virtual " + second.string() + common + (dir / "fresh").string() + " --count 3"), 0);
    const std::vector<std::string> fresh = sorted(calls());
    ASSERT_EQ(fresh.size(), 3u) << slurp(dir / "calls");
    const std::string box = "|critical|1|ARDV Timeline Box ARDV00000001|";
    EXPECT_EQ(fresh[0].rfind("bad-sectors" + box + "1|WD-P1", 0), 0u) << fresh[0];
    EXPECT_EQ(fresh[1].rfind("disk-failed" + box + "0|WD-P0", 0), 0u) << fresh[1];
    EXPECT_EQ(fresh[2].rfind("enclosure-found|", 0), 0u) << fresh[2];
}

// A two-disk mirror box of one model; `status` and `timeline` add to it.
std::string twinBox(const std::string& p0, const std::string& p1, const std::string& status,
                    const std::vector<std::string>& timeline = {}) {
    std::string events;
    for (const auto& e : timeline) events += (events.empty() ? "" : ", ") + e;
    return R"({ "route": "lba", "firmwareRevision": "090619.0", "model": "ARDV Twin",
  "status": { "raidModeOfSystem": 1, "configuredCapacity": 1953525168, )" +
           status + R"(,
    "ports": [ { "serial": ")" +
           p0 + R"(", "capacity": 1953525168 }, { "serial": ")" + p1 +
           R"(", "capacity": 1953525168 } ] },
  "timeline": [ )" +
           events + " ] }";
}

// Each row is a story told to the monitor in one or more runs over one state
// directory; every alert it holds must reach each hook exactly once. The
// hook records EVENT|PORT|SERIAL|LBAS; how it misbehaves is HOOK_MODE's.
struct AlertStory {
    const char* fault;
    std::vector<std::pair<std::string, std::string>> enclosures;  // name, description
    std::vector<std::vector<std::string>> runs;                   // the enclosures of each run, in order
    std::string mode;  // kill: the first hook run hangs and the monitor is killed with it
    std::vector<std::string> expected;
};

TEST_F(Monitor, EveryAlertReachesEveryHookExactlyOnceThroughKillsFailuresHangsAndSwaps) {
    if (const char* h = std::getenv("ARDENVEL_TEST_HOST"); h && std::string(h) == "remote")
        GTEST_SKIP() << "the monitor's own story: the host it talks through does not change it";
    const std::string failedP0 = R"("portState": "0x28")";
    const std::vector<AlertStory> stories = {
        {"the monitor and its hook killed while the hook runs",
         {{"box", twinBox("A0", "A1", failedP0)}},
         {{"box"}, {"box"}},
         "kill",
         {"disk-failed|0|A0|", "enclosure-found|||"}},
        {"a hook that fails its first run",
         {{"box", twinBox("A0", "A1", failedP0)}},
         {{"box"}},
         "fail",
         {"disk-failed|0|A0|", "enclosure-found|||"}},
        {"a hook that hangs beside a good one",
         {{"box", twinBox("A0", "A1", failedP0)}},
         {{"box"}},
         "hang",
         {"beside|disk-failed|0|A0|", "beside|enclosure-found|||", "hang|disk-failed|0|A0|",
          "hang|enclosure-found|||"}},
        {"two enclosures alike that swap their order",
         {{"a", twinBox("A0", "A1", R"("portState": "0x28", "activityFlags": "0x08", "badSectors": [500])")},
          {"b", twinBox("B0", "B1", R"("portState": "0x82", "activityFlags": "0x04", "badSectors": [600])")}},
         {{"a", "b"}, {"b", "a"}},
         "",
         {"bad-sectors|0|B0|600", "bad-sectors|1|A1|500", "disk-failed|0|A0|", "disk-failed|1|B1|",
          "enclosure-found|||", "enclosure-found|||"}},
        {"a new disk with the old disk's bad LBAs",
         {{"box",
           twinBox("A0", "A1", R"("portState": "0x22")",
                   {at(1, R"("bad-sector", "port": 1, "lba": 1000)"), at(2, R"("remove-disk", "port": 1)"),
                    at(3, R"("insert-disk", "port": 1, "disk": { "serial": "NEW1" })"),
                    at(4, R"("initialize", "port": 1)"), at(5, R"("bad-sector", "port": 1, "lba": 1000)")})}},
         {{"box"}},
         "",
         {"bad-sectors|1|A1|1000", "bad-sectors|1|NEW1|1000", "disk-initialized|1|NEW1|",
          "disk-inserted|1|NEW1|", "disk-removed|1||", "enclosure-found|||"}},
        {"bad sectors on P1 while P0 is flagged already",
         {{"box", twinBox("A0", "A1", R"("portState": "0x22")",
                          {at(1, R"("bad-sector", "port": 0, "lba": 10)"),
                           at(2, R"("bad-sector", "port": 1, "lba": 20)")})}},
         {{"box"}},
         "",
         {"bad-sectors|0|A0|10", "bad-sectors|1|A1|20", "enclosure-found|||"}},
    };
    const fs::path calls = dir / "calls";
    hook("alert.sh",
         "key=\"$ARDENVEL_EVENT|$ARDENVEL_PORT|$ARDENVEL_SERIAL|$ARDENVEL_LBAS\"\n"
         "d=" +
             dir.string() +
             "\n"
             "case \"$HOOK_MODE\" in\n"
             "  kill) echo $$ >>$d/hook.pid; exec sleep 60 ;;\n"
             "  fail) m=$d/failed-$(echo \"$key\" | cksum | cut -d' ' -f1)\n"
             "        [ -e $m ] || { touch $m; exit 1; } ;;\n"
             "  hang) for i in $(seq 200); do [ -e $d/hang.pid ] && break; sleep 0.01; done\n"
             "        kill -0 \"$(cat $d/hang.pid)\" 2>/dev/null && key=\"beside|$key\" ;;\n"
             "esac\n"
             "echo \"$key\" >>$d/calls\n");
    hook("hang.sh",
         "d=" + dir.string() +
             "\n"
             "[ -e $d/hung ] || { touch $d/hung; echo $$ >$d/hang.pid; exec sleep 60; }\n"
             "echo \"hang|$ARDENVEL_EVENT|$ARDENVEL_PORT|$ARDENVEL_SERIAL|$ARDENVEL_LBAS\" >>$d/calls\n");
    for (const AlertStory& story : stories) {
        SCOPED_TRACE(story.fault);
        for (const char* f : {"calls", "hook.pid", "hung", "hang.pid", "state", "logs", "err", "pid"})
            fs::remove_all(dir / f);
        for (const auto& [name, description] : story.enclosures) enclosure(name, description);
        for (std::size_t i = 0; i < story.runs.size(); ++i) {
            std::string args =
                "ARDENVEL_EXEC_RETRY_DELAY=0.1 HOOK_MODE=" + (i == 0 ? story.mode : "") + " " + cli();
            for (const auto& name : story.runs[i]) args += " --virtual " + (dir / name).string();
            args += " --lock-dir " + dir.string() + " --log-dir " + (dir / "logs").string() +
                    " monitor --interval 0.05 --exec-timeout 1 --state-dir " + (dir / "state").string() +
                    " --exec " + (dir / "alert.sh").string();
            if (story.mode == "hang") args += " --exec " + (dir / "hang.sh").string();
            if (i == 0 && story.mode == "kill") {
                ASSERT_EQ(std::system((args + " >/dev/null 2>>" + (dir / "err").string() + " & echo $! >" +
                                       (dir / "pid").string())
                                          .c_str()),
                          0);
                ASSERT_TRUE(waitFor(dir / "hook.pid", "\n", std::chrono::seconds(30)));
                // As systemd's stop ends with: everything in the unit killed.
                // Every hook of this run hangs, so none took its alert.
                ::kill(std::stoi(slurp(dir / "pid")), SIGKILL);
                for (const std::string& pid : linesOf(slurp(dir / "hook.pid")))
                    ::kill(-std::stoi(pid), SIGKILL);
                continue;
            }
            // Long enough for a hung run's limit and its retry.
            args += story.mode == "hang" ? " --count 40" : " --count 12";
            const int status = std::system((args + " >/dev/null 2>>" + (dir / "err").string()).c_str());
            ASSERT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << slurp(dir / "err");
        }
        EXPECT_EQ(sorted(linesOf(slurp(calls))), story.expected) << slurp(dir / "err");
        // A hook the killed monitor had only just started.
        for (const std::string& pid : linesOf(slurp(dir / "hook.pid"))) ::kill(-std::stoi(pid), SIGKILL);
    }
}

// An unplug was a bare "Invalid Drive" at every poll and nothing in the log;
// device bytes reached the terminal raw.
TEST_F(Monitor, AnUnplugIsOneMessageAndOneLogLineAndTheOutputIsUtf8InTextAndJsonLines) {
    const fs::path e =
        enclosure("e", R"({ "route": "lba", "firmwareRevision": "090619.0", "modelHex": "41 E9 42",
  "status": { "portState": "0x22",
    "ports": [ { "serialHex": "E9 0D FF 41" }, { "serial": "P1" } ] },
  "timeline": [ { "afterReads": 2, "event": "unplug" } ] })");
    for (const std::string json : {"", " --json"}) {
        SCOPED_TRACE(json);
        fs::remove_all(dir / "logs");
        fs::remove(dir / "out");
        fs::remove(dir / "err");
        ASSERT_EQ(run("--virtual " + e.string() + " --log-dir " + (dir / "logs").string() +
                      " monitor --interval 0.05 --count 12" + json),
                  0);
        const std::string out = slurp(dir / "out"), err = slurp(dir / "err");
        EXPECT_NO_THROW((void)nlohmann::json(out).dump()) << "not UTF-8: " << out;
        EXPECT_EQ(err, "Invalid Drive\n");
        const auto lines = linesOf(slurp(*fs::directory_iterator(dir / "logs")));
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("D1 Drive removed at: "); }),
                  1);
        if (json.empty()) {
            // The log keeps the bytes; the terminal shows them as characters.
            EXPECT_NE(out.find("Serial no.: \"\xC3\xA9 \xC3\xBF"
                               "A"),
                      std::string::npos)
                << out;
            continue;
        }
        unsigned polls = 0, lost = 0;
        for (const auto& line : linesOf(out)) {
            const auto j = nlohmann::json::parse(line);
            polls += j.at("type") == "poll";
            lost += j.value("event", "") == "enclosure-lost";
            if (j.at("type") == "poll" && polls == 1) {
                EXPECT_EQ(j.at("enclosures").at(0).at("ports").at(0).at("serial"),
                          "\xC3\xA9\xEF\xBF\xBD\xC3\xBF"
                          "A");
            }
        }
        EXPECT_EQ(polls, 12u);
        EXPECT_EQ(lost, 1u);
    }
}

}  // namespace
