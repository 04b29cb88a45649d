#pragma once
// `ardenvel-cli monitor`: polls every enclosure, writes the day's log as the
// window does, and passes what happens on to the alerts: hook programs per
// event, the systemd journal for critical ones, a Prometheus metrics file
// and a state file after every poll, and to systemd (readiness, a one-line
// status, watchdog pings) when it runs as a service.
//
// Between polls it sleeps until the next one is due, a stop is asked for,
// devices change or another process notes that it stopped a scan.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/MonitorSettings.h"
#include "device/DeviceState.h"
#include "monitor/ControllerStatus.h"
#include "platform/Clock.h"
#include "platform/Ui.h"

namespace ardenvel::cli {

struct MonitorContext {
    DeviceState& dev;
    Clock& clock;
    Ui& ui;
    std::FILE* out;  // the new log lines
    std::FILE* err;  // messages, hook output and failures
    std::filesystem::path logDirectory;
    // Where scan stops of other processes are noted; none: not looked for.
    std::optional<std::filesystem::path> notesDirectory;
    // One discovery pass; the number of enclosures found.
    std::function<unsigned()> discover;
    // One enclosure of the `status --json` document; a null record: not read.
    std::function<nlohmann::ordered_json(unsigned slot, const StatusBlock* record)> statusJson;
    // Silences the device's own messages (true) while the monitor reads an
    // enclosure whose loss it has told already; none: never silenced.
    std::function<void(bool)> quietDevice;
};

struct Alert;
class AlertFilter;
class HookRunner;

class MonitorService {
public:
    // `hooksChanged` runs, on a hook's thread, when a hook run ended.
    MonitorService(const MonitorSettings& settings, MonitorContext& context,
                   std::function<void()> hooksChanged = {});
    ~MonitorService();
    MonitorService(const MonitorService&) = delete;
    MonitorService& operator=(const MonitorService&) = delete;

    // Takes in what was alerted before (and the hook runs still owed) and
    // finds the enclosures; with --test-on-start, sends the test event.
    void start();
    // One poll: the reads, the day's log, the alerts, the files.
    void poll();
    // Keeps what the hooks have done in the state directory.
    void saveAlerts();
    // At the end: the hook runs due now, and what is left kept or told.
    void finish();
    // Discovery again, after devices changed.
    void rediscover();
    // One line on how the enclosures are, for systemd's status.
    std::string summary() const;

    unsigned enclosures() const { return enclosures_; }
    bool everFound() const { return everFound_; }

private:
    struct State;
    void readAll(std::uint8_t& read, std::uint8_t& failed);
    void print(std::uint8_t read);
    void writeFiles(std::uint8_t read);
    void alert(std::uint8_t read);
    void deliver(const std::vector<Alert>& alerts);
    void report(const std::string& what, const std::optional<std::string>& problem);

    const MonitorSettings& settings_;
    MonitorContext& c_;
    std::unique_ptr<State> s_;
    unsigned enclosures_ = 0;
    bool everFound_ = false;
};

// `monitor --test`: one test event through every hook; the exit code.
int sendTestEvent(const MonitorSettings& settings, const MonitorContext& context);

// Runs until a stop signal, or `count` polls. The exit code.
int runMonitor(const MonitorSettings& settings, MonitorContext& context);

}  // namespace ardenvel::cli
