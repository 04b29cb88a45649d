// The main window monitoring four emulated enclosures, as the user leaves it
// running after pressing Start: how much of one core it takes, how much
// memory, and whether its event loop keeps up. Targets: under 1 % of one
// core, peak RSS under 80 MB, no event-loop gap over 50 ms.
//
//   MonitorLoadBench [--seconds N] [--phase cpu|stall|both] [--latency-us N]
//                    [--plug-after-ms N] [--inject-stall-ms N]
//
// Each phase builds a fresh window over a fresh host and plays the same
// scenario for N seconds (default 60), measured from 5 s after Start, when
// the first poll has drawn every panel once: a rebuild, a surface scan
// that finds a bad sector, a disk removed and inserted, and drive 4
// unplugged at 40 % of the time and plugged back at 65 %, or N ms after the
// unplug with --plug-after-ms (the user ticks its box again). A poll that
// meets the unplugged drive shows "Invalid Drive", as the program does; any
// other box means the scenario went wrong.
//
// The cpu phase adds nothing to the window; process CPU time (all threads,
// the emulated bridges included) is taken over those N seconds. The stall
// phase adds a 5 ms heartbeat timer and records the gaps between its ticks;
// the heartbeat costs CPU of its own, so that phase's CPU figure is shown
// but not judged. Peak RSS is the process's ru_maxrss over all phases.
// --inject-stall-ms blocks the window's thread once, halfway, to show that
// the probe sees a stall.
// Exits 1 when a target is missed, 3 when the scenario itself did not run.

#include <sys/resource.h>
#include <unistd.h>

#include <QCheckBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/QtUi.h"
#include "app/TForm1.h"
#include "device/DeviceState.h"
#include "eventlog/EventLog.h"
#include "firmware/FirmwareState.h"
#include "hosts/SystemClock.h"
#include "hosts/virtual/VirtualHost.h"
#include "monitor/MonitorState.h"

namespace {

using namespace ardenvel;
using virt::EnclosureConfig;
using virt::PortDisk;
using virt::Route;
using virt::TimelineEvent;
using Kind = TimelineEvent::Kind;
using SteadyClock = std::chrono::steady_clock;

constexpr double kCpuLimitPercent = 1.0;
constexpr double kRssLimitMb = 80.0;
constexpr double kStallLimitMs = 50.0;
constexpr int kHeartbeatMs = 5;
// From Start to the beginning of the measured minute: the first poll and
// the first drawing of every panel.
constexpr int kSettleMs = 5000;
constexpr unsigned kPluggedDrive = 4;
// The first pass (each drive's probe waits 500 ms after its rescan) ends well before.
constexpr int kFirstResultDeadlineMs = 30000;

struct Options {
    int seconds = 60;
    bool cpuPhase = true;
    bool stallPhase = true;
    long latencyUs = 0;
    long injectStallMs = 0;
    long plugAfterMs = -1;  // after the unplug; -1: at 65 % of the time
};

// Nobody is there to answer a modal box: each is counted and answered at once.
class CountingDialogs final : public app::Dialogs {
public:
    BoxResult messageBox(const std::string& text, const std::string&, BoxButtons buttons, BoxIcon) override {
        const bool expected = unplugged && text == "Invalid Drive";
        (expected ? invalidDrive : unexpected).push_back(text);
        return buttons == BoxButtons::Ok ? BoxResult::Ok : BoxResult::No;
    }
    std::optional<std::string> chooseOpenFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    // Set from the unplug until the next discovery result.
    bool unplugged = false;
    std::vector<std::string> invalidDrive, unexpected;
};

// Drive 0 a plain system disk; drives 1..4 enclosures on four routes. Events
// count status reads: about one per enclosure every 4 s while monitoring.
void buildEnclosures(virt::VirtualHost& host) {
    host.addOrdinaryDisk(0);
    host.addVolume('C', kDriveFixed, 0);

    EnclosureConfig lba;
    lba.route = Route::Lba;
    lba.model = "QX Mirror Box";
    lba.serial = "ARDV00000101";
    lba.activityPercentPerRead = 9;
    auto& mirror = host.addEnclosure(1, lba);
    TimelineEvent rebuild = TimelineEvent::at(2, Kind::SetActivity);
    rebuild.value = 0x02;  // onto P1
    mirror.addTimeline(rebuild);
    host.addVolume('E', kDriveFixed, 1);
    host.addVolume('F', kDriveFixed, 1);

    EnclosureConfig usb;
    usb.route = Route::UsbShift;
    usb.model = "QX USB Mirror";
    usb.serial = "ARDV00000202";
    usb.activityPercentPerRead = 10;
    auto& scanned = host.addEnclosure(2, usb);
    TimelineEvent scan = TimelineEvent::at(3, Kind::SetActivity);
    scan.value = 0x81;  // surface scan of P0
    scanned.addTimeline(scan);
    TimelineEvent bad = TimelineEvent::at(6, Kind::BadSector, 0);
    bad.lba = 73400320;
    scanned.addTimeline(bad);
    host.addVolume('G', kDriveFixed, 2);

    EnclosureConfig ata;
    ata.route = Route::Ata;
    ata.model = "QX Dock";
    ata.serial = "ARDV00000303";
    auto& dock = host.addEnclosure(3, ata);
    dock.addTimeline(TimelineEvent::at(4, Kind::RemoveDisk, 1));
    TimelineEvent insert = TimelineEvent::at(6, Kind::InsertDisk, 1);
    insert.disk = PortDisk{"S1E0J9AZ402288", "SAMSUNG HD103SJ", 1953525168, 2};
    dock.addTimeline(insert);
    dock.addTimeline(TimelineEvent::at(8, Kind::Initialize, 1));
    host.addVolume('H', kDriveFixed, 3);

    EnclosureConfig both;
    both.route = Route::LbaAta;
    both.model = "QX Tower";
    both.serial = "ARDV00000404";
    host.addEnclosure(kPluggedDrive, both);
    host.addVolume('I', kDriveFixed, static_cast<int>(kPluggedDrive));
}

double cpuSeconds(double* user = nullptr, double* sys = nullptr) {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    const double u = static_cast<double>(r.ru_utime.tv_sec) + static_cast<double>(r.ru_utime.tv_usec) / 1e6;
    const double s = static_cast<double>(r.ru_stime.tv_sec) + static_cast<double>(r.ru_stime.tv_usec) / 1e6;
    if (user) *user = u;
    if (sys) *sys = s;
    return u + s;
}

double peakRssMb() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_maxrss) * 1024.0 / 1e6;  // Linux reports KiB
}

double msBetween(SteadyClock::time_point a, SteadyClock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Gap {
    double ms = 0;
    double atSeconds = 0;  // from Start
};

struct PhaseResult {
    bool started = false;
    double wall = 0, cpu = 0, user = 0, sys = 0;
    // Heartbeat gaps, stall phase only.
    unsigned samples = 0, over = 0;
    std::vector<Gap> worst;  // largest first, during monitoring
    double constructionMs = 0, startupMaxGapMs = 0, startupSeconds = 0;
    double settleCpu = 0;  // from Start until measuring begins
    unsigned startupBeats = 0;
    // What happened, to show the run was not idle.
    unsigned statusReads = 0, results = 0, logLines = 0, pendingEvents = 0;
    bool unplugged = false, pluggedBack = false, boxUnticked = false, retickedBox = false;
    unsigned invalidDriveBoxes = 0;
    std::vector<std::string> unexpectedBoxes;
};

void keepWorst(std::vector<Gap>& worst, Gap g) {
    constexpr std::size_t kKept = 5;
    worst.push_back(g);
    std::sort(worst.begin(), worst.end(), [](const Gap& a, const Gap& b) { return a.ms > b.ms; });
    if (worst.size() > kKept) worst.pop_back();
}

PhaseResult runPhase(const Options& o, bool heartbeat, const std::filesystem::path& logDir) {
    PhaseResult r;
    virt::VirtualHost host;
    buildEnclosures(host);
    if (o.latencyUs > 0) host.setDelayPerRequest(std::chrono::microseconds(o.latencyUs));

    CountingDialogs dialogs;
    static_cast<app::ArdenvelApplication*>(QCoreApplication::instance())->setErrorDialogs(&dialogs);
    app::QtUi ui(dialogs);
    SystemClock clock;
    DeviceState dev(host, ui, clock);
    MonitorState monitor;
    EventLogState log;
    FirmwareState firmware;
    std::filesystem::remove_all(logDir);
    std::filesystem::create_directories(logDir);
    log.LogDirectory = logDir;

    const auto building = SteadyClock::now();
    auto form =
        std::make_unique<app::TForm1>(app::Subsystems{dev, monitor, log, firmware, clock, ui, logDir});
    form->show();
    const auto shown = SteadyClock::now();
    r.constructionMs = msBetween(building, shown);

    QEventLoop loop;
    SteadyClock::time_point startWall{}, wall0{};
    double startCpu = 0, cpu0 = 0, user0 = 0, sys0 = 0;
    bool measuring = false;

    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(kHeartbeatMs);
    SteadyClock::time_point lastBeat = SteadyClock::now();
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const auto now = SteadyClock::now();
        const double gap = msBetween(lastBeat, now);
        lastBeat = now;
        if (!measuring) {
            r.startupMaxGapMs = std::max(r.startupMaxGapMs, gap);
            ++r.startupBeats;
            return;
        }
        ++r.samples;
        if (gap > kStallLimitMs) ++r.over;
        if (r.worst.size() < 5 || gap > r.worst.back().ms)
            keepWorst(r.worst, {gap, msBetween(wall0, now) / 1000});
    });
    if (heartbeat) probe.start();

    QTimer::singleShot(kFirstResultDeadlineMs, &loop, [&] {
        if (!r.started) loop.quit();
    });
    const int ms = o.seconds * 1000;
    QObject::connect(form->CheckBox5, &QCheckBox::toggled, &loop, [&](bool ticked) {
        if (!ticked) r.boxUnticked = true;
    });
    QObject::connect(form.get(), &app::TForm1::discoveryApplied, &loop, [&] {
        ++r.results;
        dialogs.unplugged = false;
        if (!r.started) {
            if (!form->Button10->isEnabled()) return;
            r.started = true;
            startWall = SteadyClock::now();
            startCpu = cpuSeconds();
            r.startupSeconds = msBetween(shown, startWall) / 1000;
            form->Button10Click();  // Start
            // The first poll draws every panel for the first time (fonts,
            // pictures); monitoring is measured once that is behind.
            QTimer::singleShot(kSettleMs, &loop, [&] {
                wall0 = SteadyClock::now();
                cpu0 = cpuSeconds(&user0, &sys0);
                r.settleCpu = cpu0 - startCpu;
                lastBeat = wall0;
                measuring = true;
                QTimer::singleShot(ms * 2 / 5, &loop, [&] {
                    host.unplug(kPluggedDrive);
                    r.unplugged = dialogs.unplugged = true;
                });
                const int plugAt =
                    o.plugAfterMs >= 0 ? ms * 2 / 5 + static_cast<int>(o.plugAfterMs) : ms * 13 / 20;
                QTimer::singleShot(plugAt, &loop, [&] {
                    host.plug(kPluggedDrive);
                    r.pluggedBack = true;
                });
                if (o.injectStallMs > 0)
                    QTimer::singleShot(ms / 2, &loop, [&] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(o.injectStallMs));
                    });
                QTimer::singleShot(ms, Qt::PreciseTimer, &loop, [&] { loop.quit(); });
            });
            return;
        }
        // The failed poll after the unplug unticked the box; the user ticks
        // it again once the enclosure is back.
        if (r.pluggedBack && !form->CheckBox5->isHidden() && !form->CheckBox5->isChecked()) {
            form->CheckBox5->click();
            r.retickedBox = true;
        }
    });

    loop.exec();
    if (r.started) {
        const auto wall1 = SteadyClock::now();
        double user1 = 0, sys1 = 0;
        r.cpu = cpuSeconds(&user1, &sys1) - cpu0;
        r.user = user1 - user0;
        r.sys = sys1 - sys0;
        r.wall = msBetween(wall0, wall1) / 1000;
    }
    probe.stop();

    for (unsigned d = 1; d <= kPluggedDrive; ++d) {
        if (virt::VirtualEnclosure* e = host.enclosure(d)) {
            r.statusReads += e->counters().statusReads;
            r.pendingEvents += static_cast<unsigned>(e->pendingTimelineEvents());
        }
    }
    r.logLines = static_cast<unsigned>(log.DayLog.count());
    form->close();
    form->shutdown();
    form.reset();
    static_cast<app::ArdenvelApplication*>(QCoreApplication::instance())->setErrorDialogs(nullptr);
    r.invalidDriveBoxes = static_cast<unsigned>(dialogs.invalidDrive.size());
    r.unexpectedBoxes = dialogs.unexpected;
    std::filesystem::remove_all(logDir);
    return r;
}

// Prints what the phase did; false when the scenario did not play out, so
// that an idle or broken run cannot pass for a light one.
bool reportActivity(const PhaseResult& r) {
    std::printf(
        "  activity: %u status reads, %u discovery results, %u event-log lines, %u timeline events not "
        "reached;\n  drive %u unplugged %s, plugged back %s, its box unticked by a failed poll %s, ticked "
        "again %s, \"Invalid Drive\" boxes %u\n",
        r.statusReads, r.results, r.logLines, r.pendingEvents, kPluggedDrive, r.unplugged ? "yes" : "no",
        r.pluggedBack ? "yes" : "no", r.boxUnticked ? "yes" : "no", r.retickedBox ? "yes" : "no",
        r.invalidDriveBoxes);
    for (const std::string& b : r.unexpectedBoxes) std::printf("  unexpected message box: %s\n", b.c_str());
    // Three enclosures polled at least once every 4 s.
    const bool polled = r.statusReads >= 3 * static_cast<unsigned>(r.wall / 4);
    bool ok = r.started && polled && r.unplugged && r.pluggedBack && r.unexpectedBoxes.empty();
    if (!r.started) std::printf("  scenario: no discovery result enabled Start\n");
    if (!polled) std::printf("  scenario: too few status reads for the time monitored\n");
    return ok;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long& out, long low) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            out = std::strtol(argv[++i], &end, 10);
            return end != argv[i] && *end == '\0' && out >= low;
        };
        long n = 0;
        if (a == "--seconds") {
            if (!number(n, 10)) return false;
            o.seconds = static_cast<int>(n);
        } else if (a == "--latency-us") {
            if (!number(n, 0)) return false;
            o.latencyUs = n;
        } else if (a == "--plug-after-ms") {
            if (!number(n, 0)) return false;
            o.plugAfterMs = n;
        } else if (a == "--inject-stall-ms") {
            if (!number(n, 0)) return false;
            o.injectStallMs = n;
        } else if (a == "--phase" && i + 1 < argc) {
            const std::string p = argv[++i];
            if (p != "cpu" && p != "stall" && p != "both") return false;
            o.cpuPhase = p != "stall";
            o.stallPhase = p != "cpu";
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: MonitorLoadBench [--seconds N (>= 10)] [--phase cpu|stall|both] "
                     "[--latency-us N] [--plug-after-ms N] [--inject-stall-ms N]\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    app::ArdenvelApplication application(qtArgc, argv);
    const std::filesystem::path logDir =
        std::filesystem::temp_directory_path() / ("ardenvel-monitor-bench-" + std::to_string(getpid()));

    std::printf(
        "MonitorLoadBench: window over 4 emulated enclosures, %d s per phase from 5 s after Start, "
        "QT_QPA_PLATFORM=%s, latency %ld us per request\n",
        o.seconds, std::getenv("QT_QPA_PLATFORM"), o.latencyUs);
    bool met = true, played = true;

    if (o.cpuPhase) {
        const PhaseResult r = runPhase(o, false, logDir);
        const double pct = r.wall > 0 ? 100.0 * r.cpu / r.wall : 0;
        const bool ok = r.started && pct < kCpuLimitPercent;
        std::printf("phase cpu (nothing added to the window):\n");
        std::printf(
            "  CPU %.3f s (user %.3f, sys %.3f) over %.2f s wall = %.3f %% of one core"
            "   [target < %.0f %%] %s\n",
            r.cpu, r.user, r.sys, r.wall, pct, kCpuLimitPercent, ok ? "ok" : "MISSED");
        std::printf("  the first 5 s after Start (not judged): CPU %.3f s\n", r.settleCpu);
        played = reportActivity(r) && played;
        met = ok && met;
    }
    if (o.stallPhase) {
        const PhaseResult r = runPhase(o, true, logDir);
        const double pct = r.wall > 0 ? 100.0 * r.cpu / r.wall : 0;
        const bool ok = r.started && r.samples > 0 && r.over == 0;
        std::printf("phase stall (%d ms heartbeat timer, gap = time between consecutive ticks):\n",
                    kHeartbeatMs);
        std::printf("  %u gaps, max %.1f ms, %u over %.0f ms   [target: none over %.0f ms] %s\n", r.samples,
                    r.worst.empty() ? 0.0 : r.worst.front().ms, r.over, kStallLimitMs, kStallLimitMs,
                    ok ? "ok" : "MISSED");
        std::printf("  largest:");
        for (const Gap& g : r.worst) std::printf(" %.1f ms at %.1f s;", g.ms, g.atSeconds);
        std::printf(
            "\n  start-up (not judged): window built and shown in %.0f ms, then %.2f s to Start with %u "
            "gaps, max %.1f ms\n",
            r.constructionMs, r.startupSeconds, r.startupBeats, r.startupMaxGapMs);
        std::printf("  CPU with the heartbeat (not judged): %.3f s over %.2f s = %.3f %% of one core\n",
                    r.cpu, r.wall, pct);
        played = reportActivity(r) && played;
        met = ok && met;
    }

    const double rss = peakRssMb();
    const bool rssOk = rss < kRssLimitMb;
    std::printf("peak RSS (ru_maxrss, whole process, all phases): %.1f MB   [target < %.0f MB] %s\n", rss,
                kRssLimitMb, rssOk ? "ok" : "MISSED");
    met = rssOk && met;

    if (!played) {
        std::printf("result: the scenario did not play out; figures not trusted\n");
        return 3;
    }
    std::printf("result: %s\n", met ? "all targets met" : "target missed");
    return met ? 0 : 1;
}
