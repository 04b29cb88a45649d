#include "cli/MonitorService.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <thread>

#ifdef ARDENVEL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif
#ifdef _WIN32
#include <condition_variable>
#include <mutex>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include "cli/Cli.h"
#include "cli/HookRunner.h"
#include "cli/JournalChannel.h"
#include "cli/MetricsFile.h"
#include "cli/MonitorAlerts.h"
#include "cli/StopSignal.h"
#include "device/Discovery.h"
#include "eventlog/EventLog.h"
#include "hosts/ScanStopNotes.h"
#include "monitor/DeviceText.h"
#include "monitor/StatusQuery.h"

namespace ardenvel::cli {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using std::chrono::steady_clock;

namespace {

// After the last device-change notice, as the window settles them.
constexpr auto kSettleTime = std::chrono::seconds(2);

void notifySystemd(const std::string& state) {
#ifdef ARDENVEL_HAVE_SYSTEMD
    sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

std::string isoTime(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

HookEnvironment hookEnvironment(const LogEvent& e, const std::string& enclosure) {
    std::string lbas, message;
    for (std::uint32_t lba : e.lbas) {
        if (!lbas.empty()) lbas += ' ';
        lbas += std::to_string(lba);
    }
    for (const std::string& line : e.lines) {
        if (!message.empty()) message += '\n';
        message += deviceTextUtf8(line);
    }
    if (message.empty()) message = eventSummary(e);
    const bool test = e.kind == EventKind::Test;
    return {
        {"ARDENVEL_EVENT", eventName(e.kind)},
        {"ARDENVEL_SEVERITY", severityName(eventSeverity(e.kind))},
        {"ARDENVEL_DEVICE", test ? "" : std::to_string(e.slot + 1)},
        {"ARDENVEL_ENCLOSURE", enclosure},
        {"ARDENVEL_PORT", e.port >= 0 ? std::to_string(e.port) : ""},
        {"ARDENVEL_SERIAL", deviceTextTrimmed(e.serial)},
        {"ARDENVEL_MODEL", deviceTextTrimmed(e.model)},
        {"ARDENVEL_PERCENT", e.percent >= 0 ? std::to_string(e.percent) : ""},
        {"ARDENVEL_LBAS", lbas},
        {"ARDENVEL_MESSAGE", message},
        {"ARDENVEL_TIME", isoTime(e.time)},
        {"ARDENVEL_REMINDER", e.reminder ? "1" : "0"},
    };
}

// One JSON line of `monitor --json` for an event of the log.
json eventJson(const LogEvent& e) {
    json j;
    j["type"] = "event";
    j["time"] = isoTime(e.time);
    j["event"] = eventName(e.kind);
    j["severity"] = severityName(eventSeverity(e.kind));
    j["device"] = e.slot + 1;
    j["port"] = e.port >= 0 ? json(e.port) : json(nullptr);
    if (e.port >= 0) {
        j["serial"] = deviceTextTrimmed(e.serial);
        j["model"] = deviceTextTrimmed(e.model);
    } else if (!e.model.empty()) {
        j["model"] = deviceTextTrimmed(e.model);
    }
    if (e.percent >= 0) j["percent"] = e.percent;
    if (!e.lbas.empty()) j["lbas"] = e.lbas;
    json lines = json::array();
    for (const std::string& line : e.lines) lines.push_back(deviceTextUtf8(line));
    j["lines"] = lines;
    return j;
}

std::string oneLine(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

enum class Wake { Timeout, Woken, Note };

#ifdef _WIN32
// No notes are watched here: they are read at each poll.
class Waker {
public:
    explicit Waker(const std::optional<fs::path>&) {}
    void wake() {
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
        }
        changed_.notify_all();
    }
    Wake waitUntil(steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        const bool woken = changed_.wait_until(lock, until, [this] { return woken_; });
        woken_ = false;
        return woken ? Wake::Woken : Wake::Timeout;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
};
#else
// Sleeps in one poll(2) on an eventfd, for wake-ups from other threads, and
// an inotify watch on the notes' directory.
class Waker {
public:
    explicit Waker(const std::optional<fs::path>& notes) : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!notes) return;
        watchFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (watchFd_ >= 0 &&
            ::inotify_add_watch(watchFd_, notes->c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
            ::close(watchFd_);
            watchFd_ = -1;
        }
    }
    ~Waker() {
        if (wakeFd_ >= 0) ::close(wakeFd_);
        if (watchFd_ >= 0) ::close(watchFd_);
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    }

    Wake waitUntil(steady_clock::time_point until) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - steady_clock::now());
        if (left.count() <= 0) return Wake::Timeout;
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watchFd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1 << 30))) <= 0) {
            return errno == EINTR ? Wake::Woken : Wake::Timeout;
        }
        Wake w = Wake::Timeout;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
            w = Wake::Woken;
        }
        if ((fds[1].revents & POLLIN) && noteArrived()) w = Wake::Note;
        return w;
    }

private:
    bool noteArrived() {
        bool note = false;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(watchFd_, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                if (ev->len != 0 && ScanStopNotes::isNoteFile(ev->name)) note = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        return note;
    }

    int wakeFd_ = -1;
    int watchFd_ = -1;
};
#endif

}  // namespace

struct MonitorService::State {
    State(const MonitorSettings& settings, const MonitorContext& c, std::function<void()> hooksChanged)
        : alerts(
              settings.progressIncrement(), settings.remindDaily.value_or(false),
              settings.stateDir ? std::optional<fs::path>(*settings.stateDir / "alerts.json") : std::nullopt,
              files),
          hooks(settings.hookLimit(), settings.hookRetries(), c.err, std::move(hooksChanged)) {
        log.LogDirectory = c.logDirectory;
        if (c.notesDirectory) notes.emplace(*c.notesDirectory);
    }

    LogFiles files;
    EventLogState log;
    StatusBuffers buffers{};
    // As the window with the first tab active: the start-up pass repeats
    // until a poll reads an enclosure, and the first enclosure's revision
    // decides whether activity is a scan.
    bool firstRefreshPending = true;
    bool capable = false;
    fs::path lastFile;
    std::size_t printed = 0;
    std::uint8_t lastRead = 0;
    // Slots whose failed read has been told: their next failures are quiet.
    std::uint8_t toldLost = 0;
    unsigned long long polls = 0;
    long long lastPoll = 0;
    // The hook runs' changes the memory file has seen.
    unsigned long long savedChanges = 0;
    std::array<std::optional<long long>, 4> lastGood{};
    AlertFilter alerts;
    HookRunner hooks;
    std::optional<ScanStopNotes> notes;
    // Problems already told, so that a file that cannot be written is
    // reported once and not at every poll.
    std::map<std::string, std::string> reported;
};

MonitorService::MonitorService(const MonitorSettings& settings, MonitorContext& context,
                               std::function<void()> hooksChanged)
    : settings_(settings),
      c_(context),
      s_(std::make_unique<State>(settings, context, std::move(hooksChanged))) {}

MonitorService::~MonitorService() = default;

void MonitorService::report(const std::string& what, const std::optional<std::string>& problem) {
    if (!problem) {
        s_->reported.erase(what);
        return;
    }
    if (s_->reported[what] == *problem) return;
    s_->reported[what] = *problem;
    std::fprintf(c_.err, "ardenvel-cli: %s\n", problem->c_str());
    std::fflush(c_.err);
}

void MonitorService::start() {
    report("alerted", s_->alerts.load());
    // Hook runs a stopped or killed monitor still owed.
    std::size_t dropped = 0;
    std::vector<HookDelivery> owed = s_->alerts.takePending(settings_.hooks, dropped);
    if (dropped != 0)
        std::fprintf(c_.err, "ardenvel-cli: %zu hook run(s) owed to programs no longer given are dropped\n",
                     dropped);
    if (!owed.empty())
        std::fprintf(c_.err, "ardenvel-cli: %zu hook run(s) owed from before are tried again\n", owed.size());
    s_->hooks.submit(std::move(owed));
    // Stops noted before this monitor started are not about its polls.
    if (s_->notes) s_->notes->takeNew();
    if (settings_.testOnStart.value_or(false)) {
        LogEvent e;
        e.kind = EventKind::Test;
        e.time = c_.clock.toLocal(c_.clock.now());
        deliver({Alert{e, ""}});
    }
    rediscover();
    if (enclosures_ == 0) std::fprintf(c_.err, "No Drive found! \n");
}

void MonitorService::rediscover() {
    s_->alerts.slotsChanged();
    s_->toldLost = 0;
    enclosures_ = c_.discover();
    everFound_ |= enclosures_ != 0;
    const DiscoveryTables& t = c_.dev.tables;
    s_->capable = enclosures_ != 0 &&
                  scanCapable(firmwareRevisionText(t.sectorBuffers[driveNumberOf(t.deviceTable[0])]));
}

void MonitorService::readAll(std::uint8_t& read, std::uint8_t& failed) {
    DeviceState& dev = c_.dev;
    // The notes and the reads under one hold: a stop that another process
    // sends with its note is either wholly before these reads or after.
    std::lock_guard hold(dev.operationLock);
    const std::vector<ScanStop> stops = s_->notes ? s_->notes->takeNew() : std::vector<ScanStop>{};
    const unsigned n = std::min(enclosures_, 4u);
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(c_.clock.now().time_since_epoch()).count();
    for (unsigned slot = 0; slot < n; ++slot) {
        const auto bit = static_cast<std::uint8_t>(1u << slot);
        // An enclosure whose loss was told is read again quietly, so that a
        // lost one is one message, not one a poll.
        const bool quiet = (s_->toldLost & bit) && c_.quietDevice;
        if (quiet) c_.quietDevice(true);
        const bool ok = QueryControllerStatus(dev, s_->buffers, static_cast<std::uint8_t>(slot));
        if (quiet) c_.quietDevice(false);
        if (ok) {
            read |= bit;
            s_->lastGood[slot] = now;
            s_->toldLost &= static_cast<std::uint8_t>(~bit);
        } else {
            failed |= bit;
            s_->toldLost |= bit;
        }
        for (const ScanStop& stop : stops)
            if (driveNumberOf(dev.tables.deviceTable[slot]) == stop.drive) s_->log.UserAbort[slot] = 1;
    }
}

void MonitorService::poll() {
    std::uint8_t read = 0, failed = 0;
    readAll(read, failed);
    s_->lastRead = read;
    ++s_->polls;
    s_->lastPoll =
        std::chrono::duration_cast<std::chrono::seconds>(c_.clock.now().time_since_epoch()).count();

    EventLogState& log = s_->log;
    const fs::path file = LogFileName(log.LogDirectory, c_.clock.toLocal(c_.clock.now()));
    if (file != s_->lastFile || s_->firstRefreshPending) {
        // A new file (or the reloaded one): what it held before is not news.
        const auto existing = readLogLines(*log.Files, file);
        s_->printed = existing && log.Files->exists(file) ? existing->size() : 0;
        s_->lastFile = file;
    }
    EventLogInputs inputs{c_.clock,    c_.ui, c_.dev.tables, s_->buffers, s_->firstRefreshPending,
                          s_->capable, failed};
    inputs.logLostEnclosures = true;
    UpdateEventLog(log, inputs, read);
    print(read);
    if (read != 0) s_->firstRefreshPending = false;

    // The alerts first, so that the metrics count this poll's as pending.
    alert(read);
    writeFiles(read);
}

// The new log lines, in UTF-8 whatever bytes the device sent; or, with
// --json, one line for each event and one for the poll.
void MonitorService::print(std::uint8_t read) {
    const LogLines& lines = s_->log.DayLog;
    if (lines.count() < s_->printed) s_->printed = 0;
    if (!settings_.json) {
        for (; s_->printed < lines.count(); ++s_->printed)
            std::fprintf(c_.out, "%s\n", deviceTextUtf8(lines.line(s_->printed)).c_str());
        std::fflush(c_.out);
        return;
    }
    s_->printed = lines.count();
    for (const LogEvent& e : s_->log.Events) std::fprintf(c_.out, "%s\n", oneLine(eventJson(e)).c_str());
    json p;
    p["type"] = "poll";
    p["time"] = isoTime(c_.clock.toLocal(c_.clock.now()));
    p["poll"] = s_->polls;
    json all = json::array();
    for (unsigned slot = 0; slot < std::min(enclosures_, 4u); ++slot) {
        const StatusBlock* record = ((read >> slot) & 1u) ? &s_->buffers[slot] : nullptr;
        all.push_back(c_.statusJson ? c_.statusJson(slot, record)
                                    : json{{"slot", slot + 1}, {"read", record != nullptr}});
    }
    p["enclosures"] = all;
    std::fprintf(c_.out, "%s\n", oneLine(p).c_str());
    std::fflush(c_.out);
}

void MonitorService::writeFiles(std::uint8_t read) {
    const DiscoveryTables& t = c_.dev.tables;
    const unsigned n = std::min(enclosures_, 4u);
    auto wasRead = [&](unsigned slot) { return ((read >> slot) & 1u) != 0; };
    if (settings_.metricsFile) {
        std::vector<EnclosureSample> samples;
        for (unsigned slot = 0; slot < n; ++slot) {
            const auto& identify = t.sectorBuffers[driveNumberOf(t.deviceTable[slot])];
            EnclosureSample e;
            e.slot = slot;
            e.drive = driveNumberOf(t.deviceTable[slot]);
            e.model = modelText(identify);
            e.firmware = firmwareRevisionText(identify);
            e.scanCapable = scanCapable(e.firmware);
            e.record = wasRead(slot) ? &s_->buffers[slot] : nullptr;
            e.lastGoodRead = s_->lastGood[slot];
            samples.push_back(std::move(e));
        }
        MonitorFigures figures;
        figures.polls = s_->polls;
        figures.lastPoll = s_->lastPoll;
        figures.alertsPending = s_->hooks.pendingAlerts();
        figures.hookFailures = s_->hooks.failures();
        figures.hookRunsGivenUp = s_->hooks.givenUp();
        const bool ok = replaceFile(s_->files, *settings_.metricsFile, prometheusMetrics(samples, figures));
        report("metrics", ok ? std::nullopt
                             : std::optional<std::string>("Cannot write the metrics file " +
                                                          settings_.metricsFile->string()));
    }
    if (settings_.stateFile && c_.statusJson) {
        json doc;
        doc["version"] = 1;
        json all = json::array();
        for (unsigned slot = 0; slot < n; ++slot)
            all.push_back(c_.statusJson(slot, wasRead(slot) ? &s_->buffers[slot] : nullptr));
        doc["enclosures"] = all;
        const bool ok = replaceFile(s_->files, *settings_.stateFile,
                                    doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        report("state", ok ? std::nullopt
                           : std::optional<std::string>("Cannot write the state file " +
                                                        settings_.stateFile->string()));
    }
}

void MonitorService::alert(std::uint8_t read) {
    const auto now = c_.clock.now();
    const LocalTime local = c_.clock.toLocal(now);
    const DiscoveryTables& t = c_.dev.tables;
    std::vector<EnclosureSeen> seen;
    for (unsigned slot = 0; slot < std::min(enclosures_, 4u); ++slot) {
        if (!((read >> slot) & 1u)) continue;
        const auto& identify = t.sectorBuffers[driveNumberOf(t.deviceTable[slot])];
        seen.push_back({slot, modelText(identify), ataText(identify, 20, 20)});
    }
    std::vector<Alert> alerts = s_->alerts.select(s_->log.Events, s_->buffers, seen, local, now);
    std::vector<Alert> reminders = s_->alerts.reminders(s_->buffers, local, now);
    alerts.insert(alerts.end(), reminders.begin(), reminders.end());
    deliver(alerts);
}

// Each alert to the journal when it is critical, and to every hook. The
// hook runs are in the memory file before they start, so that a monitor
// killed while they run takes them up again.
void MonitorService::deliver(const std::vector<Alert>& alerts) {
    std::vector<HookDelivery> runs;
    for (const Alert& a : alerts) {
        const EventKind kind = a.event.kind;
        if (settings_.journal && (eventSeverity(kind) == Severity::Critical || kind == EventKind::Test))
            report("journal", sendToJournal(a.event, a.enclosure));
        if (settings_.hooks.empty()) continue;
        const std::uint64_t number = s_->alerts.newAlertNumber();
        const HookEnvironment env = hookEnvironment(a.event, a.enclosure);
        for (const std::string& program : settings_.hooks)
            runs.push_back({number, program, eventName(kind), env, 0, {}});
    }
    s_->savedChanges = s_->hooks.changes();
    std::vector<HookDelivery> pending = s_->hooks.pending();
    pending.insert(pending.end(), runs.begin(), runs.end());
    report("alerted", s_->alerts.save(pending, !runs.empty()));
    s_->hooks.submit(std::move(runs));
}

void MonitorService::saveAlerts() {
    const unsigned long long changes = s_->hooks.changes();
    if (changes == s_->savedChanges) return;
    s_->savedChanges = changes;
    report("alerted", s_->alerts.save(s_->hooks.pending(), true));
}

void MonitorService::finish() {
    s_->hooks.finish();
    saveAlerts();
    const std::size_t left = s_->hooks.pendingAlerts();
    if (left != 0 && !settings_.stateDir)
        std::fprintf(c_.err,
                     "ardenvel-cli: %zu alert(s) not taken by every hook; without --state-dir they are not "
                     "kept\n",
                     left);
    else if (left != 0)
        std::fprintf(c_.err, "ardenvel-cli: %zu alert(s) kept for the hooks' next try\n", left);
}

std::string MonitorService::summary() const {
    std::string out;
    const unsigned n = std::min(enclosures_, 4u);
    for (unsigned slot = 0; slot < n; ++slot) {
        std::string s = std::string("Device").append(std::to_string(slot + 1)) + " ";
        if (!((s_->lastRead >> slot) & 1u)) {
            s += "not answering";
        } else {
            const StatusView r(s_->buffers[slot]);
            const ActivityKind kind = r.activityKind(s_->capable);
            if (kind != ActivityKind::None) {
                s += std::string(kind == ActivityKind::Scan ? "scan P" : "rebuild of P") +
                     std::to_string(r.activityPort()) + " " + std::to_string(r.progressPercent()) + "%";
            } else {
                static constexpr const char* kState[] = {"Normal", "Failure", "Single HDD Present"};
                s += kState[static_cast<int>(r.volumeState())];
            }
            for (int p = 0; p < 2; ++p)
                if (r.portCondition(p) == PortCondition::Failed) s += ", P" + std::to_string(p) + " failed";
        }
        if (!out.empty()) out += "; ";
        out += s;
    }
    return out.empty() ? "No enclosure found" : out;
}

int sendTestEvent(const MonitorSettings& settings, const MonitorContext& c) {
    if (settings.hooks.empty()) {
        std::fprintf(c.err, "ardenvel-cli: monitor --test needs a hook: --exec PROGRAM or ARDENVEL_EXEC\n");
        return kExitUsage;
    }
    LogEvent e;
    e.kind = EventKind::Test;
    e.time = c.clock.toLocal(c.clock.now());
    unsigned failed = 0;
    for (const std::string& program : settings.hooks) {
        const HookResult r =
            runHook(program, eventName(e.kind), hookEnvironment(e, ""), settings.hookLimit(), c.err);
        const std::string failure = describeHookFailure(program, eventName(e.kind), r, settings.hookLimit());
        if (failure.empty()) {
            std::fprintf(c.err, "ardenvel-cli: hook %s took the test event\n", program.c_str());
        } else {
            std::fprintf(c.err, "%s\n", failure.c_str());
            ++failed;
        }
    }
    return failed == 0 ? kExitOk : kExitFailed;
}

int runMonitor(const MonitorSettings& settings, MonitorContext& c) {
    if (settings.test) return sendTestEvent(settings, c);
    Waker waker(c.notesDirectory);
    StopSignal stop([&waker] { waker.wake(); });
    std::atomic<bool> devicesChanged{false};
    c.dev.host.setDeviceChangeHandler([&] {
        devicesChanged = true;
        waker.wake();
    });
    MonitorService service(settings, c, [&waker] { waker.wake(); });
    service.start();
    // systemd's watchdog: a ping at half its time, between polls as well.
    std::optional<steady_clock::duration> pingEvery;
#ifdef ARDENVEL_HAVE_SYSTEMD
    if (std::uint64_t usec = 0; sd_watchdog_enabled(0, &usec) > 0 && usec != 0)
        pingEvery = std::chrono::microseconds(usec / 2);
#endif
    steady_clock::time_point nextPing = steady_clock::time_point::max();

    const auto interval = std::chrono::duration_cast<steady_clock::duration>(
        std::chrono::duration<double>(settings.intervalSeconds()));
    // When notices of changed devices have settled; max: none pending.
    constexpr auto kNone = steady_clock::time_point::max();
    steady_clock::time_point settleAt = kNone;
    unsigned polls = 0;
    while (!stop.requested()) {
        const auto started = steady_clock::now();
        service.poll();
        ++polls;
        notifySystemd(std::string(polls == 1 ? "READY=1\n" : "") + (pingEvery ? "WATCHDOG=1\n" : "") +
                      "STATUS=" + service.summary());
        if (pingEvery) nextPing = steady_clock::now() + *pingEvery;
        if (settings.count && polls >= *settings.count) break;
        const auto next = started + interval;
        for (;;) {
            if (stop.requested()) break;
            const Wake w = waker.waitUntil(std::min({next, settleAt, nextPing}));
            service.saveAlerts();
            if (pingEvery && steady_clock::now() >= nextPing) {
                notifySystemd("WATCHDOG=1");
                nextPing = steady_clock::now() + *pingEvery;
            }
            if (devicesChanged.exchange(false)) settleAt = steady_clock::now() + kSettleTime;
            if (settleAt != kNone && steady_clock::now() >= settleAt) {
                settleAt = kNone;
                if (RecountDrives(c.dev)) {
                    service.rediscover();
                    break;
                }
            }
            // A stop noted by another process: the next poll tells of it now.
            if (w == Wake::Note || steady_clock::now() >= next) break;
        }
    }
    c.dev.host.setDeviceChangeHandler({});
    notifySystemd("STOPPING=1");
    service.finish();
    return service.everFound() ? kExitOk : kExitNoEnclosure;
}

}  // namespace ardenvel::cli
