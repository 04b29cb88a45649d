// The monitor's poll in-process, over an emulated enclosure and a fixed
// clock: the metrics follow the bridge, and reminders keep their day.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "cli/HookRunner.h"
#include "cli/MonitorAlerts.h"
#include "cli/MonitorService.h"
#include "device/Discovery.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"

namespace ardenvel::cli {
namespace {

namespace fs = std::filesystem;
using Kind = virt::TimelineEvent::Kind;

// "name{labels}" to value, for every sample of a metrics file.
std::map<std::string, double> samples(const fs::path& file) {
    std::map<std::string, double> out;
    std::ifstream in(file);
    static const std::regex line(R"(([a-z_]+(\{.*\})?) (\S+))");
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (l.empty() || l[0] == '#') continue;
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        out[m[1]] = std::stod(m[3]);
    }
    return out;
}

struct ServiceRig {
    virt::VirtualHost host;
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    fs::path dir;
    MonitorSettings settings;
    std::FILE* sink = std::tmpfile();
    MonitorContext context{dev,     clock, ui, sink, sink, {}, std::nullopt, [this] { return discover(); },
                           nullptr, {}};

    ServiceRig() {
        dir = fs::temp_directory_path() /
              ("ardenvel-service-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        context.logDirectory = dir / "logs";
        settings.metricsFile = dir / "ardenvel.prom";
    }
    ~ServiceRig() {
        std::fclose(sink);
        fs::remove_all(dir);
    }
    unsigned discover() {
        EnumerateDriveLetters(dev);
        dev.physicalDriveCount = CountPhysicalDrives(dev);
        RunDiscovery(dev);
        ApplyDiscoveryResult(dev);
        return dev.tables.deviceCount;
    }
};

virt::TimelineEvent event(unsigned afterReads, Kind kind, int port = 0, std::uint8_t value = 0,
                          std::uint8_t percent = 0) {
    auto e = virt::TimelineEvent::at(afterReads, kind, port);
    e.value = value;
    e.percent = percent;
    e.lba = 77;
    return e;
}

TEST(MonitorService, MetricsFollowTheBridgePollByPoll) {
    ServiceRig rig;
    auto& bridge = rig.host.addEnclosure(0, {});
    bridge.addTimeline(event(1, Kind::SetActivity, 0, 0x02, 40));
    bridge.addTimeline(event(2, Kind::EndActivity));
    bridge.addTimeline(event(2, Kind::FailDisk, 0));
    bridge.addTimeline(event(3, Kind::BadSector, 1));
    bridge.addTimeline(event(4, Kind::Unplug));
    MonitorService service(rig.settings, rig.context);
    service.start();

    const std::string dev = "{device=\"1\"}";
    const long long start =
        std::chrono::duration_cast<std::chrono::seconds>(rig.clock.now().time_since_epoch()).count();
    struct Expect {
        unsigned poll;
        std::string series;
        double value;
    } expected[] = {
        {1, "ardenvel_enclosures", 1},
        {1, "ardenvel_status_read_success" + dev, 1},
        {1, "ardenvel_raid_mode{device=\"1\",mode=\"Mirror\"}", 1},
        {1, "ardenvel_volume_state{device=\"1\",state=\"normal\"}", 1},
        {1, "ardenvel_volume_capacity_bytes" + dev, 1953525168.0 * 512},
        {1, "ardenvel_activity{device=\"1\",kind=\"none\"}", 1},
        {1,
         "ardenvel_disk_info{device=\"1\",port=\"0\",serial=\"WD-WCAV00000000\",model=\"WDC "
         "WD10EARS-00Y5B1\","
         "sata_generation=\"2\"}",
         1},
        {2, "ardenvel_activity{device=\"1\",kind=\"rebuild\"}", 1},
        {2, "ardenvel_activity_progress_ratio{device=\"1\",port=\"1\"}", 0.4},
        {3, "ardenvel_activity{device=\"1\",kind=\"none\"}", 1},
        {3, "ardenvel_port_state{device=\"1\",port=\"0\",state=\"failed\"}", 1},
        {3, "ardenvel_port_state{device=\"1\",port=\"0\",state=\"initialized\"}", 0},
        {4, "ardenvel_bad_sectors" + dev, 1},
        {4, "ardenvel_port_bad_sector{device=\"1\",port=\"1\"}", 1},
        {4, "ardenvel_status_last_success_timestamp_seconds" + dev, double(start + 12)},
        {5, "ardenvel_status_read_success" + dev, 0},
        {5, "ardenvel_status_last_success_timestamp_seconds" + dev, double(start + 12)},
        {5, "ardenvel_monitor_polls_total", 5},
        {5, "ardenvel_last_poll_timestamp_seconds", double(start + 16)},
        {5, "ardenvel_alerts_pending", 0},
    };
    unsigned polled = 0;
    std::map<std::string, double> now;
    for (const Expect& e : expected) {
        while (polled < e.poll) {
            if (polled != 0) rig.clock.current += std::chrono::seconds(4);
            service.poll();
            ++polled;
            now = samples(*rig.settings.metricsFile);
        }
        ASSERT_TRUE(now.contains(e.series)) << "poll " << e.poll << ": " << e.series;
        EXPECT_DOUBLE_EQ(now[e.series], e.value) << "poll " << e.poll << ": " << e.series;
    }
    EXPECT_FALSE(now.contains("ardenvel_port_state{device=\"1\",port=\"0\",state=\"failed\"}"))
        << "a record that was not read claims a state";
}

TEST(MonitorService, AStillFailedDiskIsRemindedOnceADayOnlyWhenAsked) {
    StatusBuffers records{};
    records[0][status::kPortState] = 0x28;  // P0 failed
    LogFiles files;
    test::FixedClock clock;
    const std::vector<EnclosureSeen> seen{{0, "MODEL", "SERIAL"}};
    for (bool remind : {false, true}) {
        AlertFilter alerts(20, remind, std::nullopt, files);
        const auto first = alerts.select({}, records, seen, {}, clock.now());
        ASSERT_EQ(first.size(), 2u);
        EXPECT_EQ(first[0].event.kind, EventKind::EnclosureFound);
        EXPECT_EQ(first[1].event.kind, EventKind::DiskFailed);
        EXPECT_EQ(first[1].enclosure, "MODEL SERIAL");
        std::vector<unsigned> remindedAfterHours;
        for (unsigned hour = 1; hour <= 72; ++hour) {
            const auto t = clock.now() + std::chrono::hours(hour);
            // Not read at hour 30: no reminder for it then.
            alerts.select({}, records, hour == 30 ? std::vector<EnclosureSeen>{} : seen, {}, t);
            for (const auto& r : alerts.reminders(records, clock.toLocal(t), t)) {
                EXPECT_TRUE(r.event.reminder);
                EXPECT_EQ(r.event.port, 0);
                remindedAfterHours.push_back(hour);
            }
        }
        const std::vector<unsigned> daily{24, 48, 72};
        EXPECT_EQ(remindedAfterHours, remind ? daily : std::vector<unsigned>());
    }
}

// Each run's script says how it ends, by its argument: "ok", "fail" every
// time, "once" (fails the first run only) or "hang" (past the limit the
// first run, then fine). What is left after finish() is what waits for a
// later retry.
TEST(MonitorService, FailedHookRunsAreRetriedUntilTheyGiveUpAndAHungOneHoldsUpNoOther) {
    const fs::path dir = fs::temp_directory_path() / ("ardenvel-hook-runs-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path script = dir / "hook.sh", calls = dir / "calls";
    std::ofstream(script)
        << "#!/bin/sh\n"
           "d="
        << dir.string()
        << "\n"
           "echo \"$1\" >>$d/calls\n"
           "case $1 in\n"
           "  ok) for i in $(seq 100); do [ -e $d/hanging ] && break; sleep 0.02; done\n"
           "      kill -0 \"$(cat $d/hanging)\" 2>/dev/null && echo beside >>$d/calls; exit 0 ;;\n"
           "  fail) exit 1 ;;\n"
           "  once) [ -e $d/once ] && exit 0; touch $d/once; exit 2 ;;\n"
           "  hang) [ -e $d/hung ] && exit 0; touch $d/hung; echo $$ >$d/hanging; exec sleep 30 ;;\n"
           "esac\n";
    fs::permissions(script, fs::perms::owner_all);
    auto run = [&](std::uint64_t alert, const std::string& how) {
        return HookDelivery{alert, script.string(), how, {}, 0, {}};
    };
    HookRetries retries;
    retries.retries = 2;
    retries.firstDelay = std::chrono::milliseconds(50);
    std::FILE* err = std::tmpfile();
    HookRunner runner(std::chrono::milliseconds(1500), retries, err);
    runner.submit({run(1, "hang"), run(2, "ok"), run(3, "once"), run(4, "fail")});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (runner.pendingAlerts() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(runner.pendingAlerts(), 0u);
    // hang: killed once; once: failed once; fail: three runs, given up.
    EXPECT_EQ(runner.failures(), 5u);
    EXPECT_EQ(runner.givenUp(), 1u);
    std::ifstream in(calls);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    auto count = [&](const std::string& what) { return std::count(lines.begin(), lines.end(), what); };
    EXPECT_EQ(count("hang"), 2);
    EXPECT_EQ(count("once"), 2);
    EXPECT_EQ(count("fail"), 3);
    EXPECT_EQ(count("beside"), 1) << "the good hook waited for the hung one";

    // A failure now waits for its retry; finish() leaves it pending.
    runner.submit({run(5, "fail")});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    runner.finish();
    const auto pending = runner.pending();
    EXPECT_EQ(runner.pendingAlerts(), 1u);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].failures, 1u);
    std::rewind(err);
    char line[512];
    std::string text;
    while (std::fgets(line, sizeof line, err)) text += line;
    std::fclose(err);
    EXPECT_NE(text.find("for fail failed with exit status 1; given up after 3 runs"), std::string::npos)
        << text;
    EXPECT_NE(text.find("for hang was killed after its time limit of 1500 ms; trying again in 0.05 s"),
              std::string::npos)
        << text;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace ardenvel::cli
