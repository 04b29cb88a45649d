#include "cli/MetricsFile.h"

#include <cstdio>

#include "monitor/DeviceText.h"

namespace ardenvel::cli {
namespace {

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Family kFamilies[] = {
    {"ardenvel_enclosures", "gauge", "Enclosures the last discovery found (at most 4 are monitored)."},
    {"ardenvel_enclosure_info", "gauge", "Enclosure found by discovery; always 1."},
    {"ardenvel_status_read_success", "gauge", "Whether the last status read of the enclosure succeeded."},
    {"ardenvel_status_last_success_timestamp_seconds", "gauge",
     "When the status was last read successfully."},
    {"ardenvel_raid_mode", "gauge", "RAID mode in force: 1 for the mode named by the mode label."},
    {"ardenvel_volume_capacity_bytes", "gauge", "Capacity of the RAID volume."},
    {"ardenvel_volume_state", "gauge", "State of the volume while nothing runs: 1 for the state named."},
    {"ardenvel_buzzer_sounding", "gauge", "Whether the buzzer sounds (1) or is muted (0)."},
    {"ardenvel_auto_scan_enabled", "gauge", "Whether the automatic surface scan is on."},
    {"ardenvel_port_state", "gauge", "State of a port: 1 for the state named by the state label."},
    {"ardenvel_disk_info", "gauge", "Disk on a port, initialized or failed; always 1."},
    {"ardenvel_disk_capacity_bytes", "gauge", "Capacity of the disk on a port."},
    {"ardenvel_port_bad_sector", "gauge", "Whether the bridge flags a bad sector found on the port."},
    {"ardenvel_activity", "gauge", "What runs: 1 for the kind named (none, scan, rebuild)."},
    {"ardenvel_activity_progress_ratio", "gauge", "Progress of the running scan or rebuild, 0 to 0.99."},
    {"ardenvel_bad_sectors", "gauge", "Bad sectors the bridge has reported."},
    {"ardenvel_last_poll_timestamp_seconds", "gauge", "When the monitor last polled."},
    {"ardenvel_alerts_pending", "gauge", "Alerts whose hooks have not all succeeded yet."},
    {"ardenvel_hook_failures_total", "counter", "Hook runs that failed, retried ones included."},
    {"ardenvel_hook_runs_given_up_total", "counter",
     "Hook runs given up after their last retry, or dropped when hooks fell far behind."},
    // Last, so that a reader can tell a whole file.
    {"ardenvel_monitor_polls_total", "counter", "Polls since the monitor started."},
};

constexpr const char* kModes[] = {"Striping", "Mirror", "NRAID", "JBOD", "Bypass", "Undefine"};
constexpr const char* kPortStates[] = {"absent", "initialized", "failed", "inserted", "none"};
constexpr const char* kVolumeStates[] = {"normal", "failure", "single_disk"};
constexpr const char* kActivities[] = {"none", "scan", "rebuild"};

// A label value: backslash, double quote and line feed escaped.
std::string escaped(const std::string& utf8) {
    std::string out;
    for (char c : utf8) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// Device bytes as a label value.
std::string deviceLabel(const std::string& raw) {
    return escaped(deviceTextTrimmed(raw));
}

// Whole numbers (byte counts, times) in full; ratios as they are.
std::string number(double v) {
    char buf[40];
    if (v == static_cast<double>(static_cast<long long>(v)))
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    else
        std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

class Writer {
public:
    explicit Writer(std::size_t families) : bodies_(families) {}

    void add(std::size_t family, const std::string& labels, double value) {
        std::string& body = bodies_[family];
        body += kFamilies[family].name;
        if (!labels.empty()) body.append("{").append(labels).append("}");
        body.append(" ").append(number(value)).append("\n");
    }
    std::string text() const {
        std::string out;
        for (std::size_t f = 0; f < bodies_.size(); ++f) {
            out += std::string("# HELP ") + kFamilies[f].name + " " + kFamilies[f].help + "\n";
            out += std::string("# TYPE ") + kFamilies[f].name + " " + kFamilies[f].type + "\n";
            out += bodies_[f];
        }
        return out;
    }

private:
    std::vector<std::string> bodies_;
};

enum F : std::size_t {
    kEnclosures,
    kInfo,
    kReadOk,
    kLastGood,
    kMode,
    kVolumeBytes,
    kVolumeState,
    kBuzzer,
    kAutoScan,
    kPortState,
    kDiskInfo,
    kDiskBytes,
    kPortBad,
    kActivity,
    kProgress,
    kBadSectors,
    kLastPoll,
    kPending,
    kHookFailures,
    kGivenUp,
    kPolls,
};

void record(Writer& w, const std::string& dev, const EnclosureSample& e) {
    const StatusView r(*e.record);
    const std::string mode = modeName(r.raidModeOfSystem());
    for (const char* m : kModes) w.add(kMode, dev + ",mode=\"" + m + "\"", mode == m);
    w.add(kVolumeBytes, dev, 512.0 * r.configuredCapacity());
    for (std::size_t i = 0; i < std::size(kVolumeStates); ++i)
        w.add(kVolumeState, dev + ",state=\"" + kVolumeStates[i] + "\"",
              static_cast<int>(r.volumeState()) == int(i));
    w.add(kBuzzer, dev, r.buzzerSounding());
    w.add(kAutoScan, dev, r.autoScanOn());
    for (int p = 0; p < 2; ++p) {
        const std::string port = dev + ",port=\"" + std::to_string(p) + "\"";
        const PortCondition c = r.portCondition(p);
        for (std::size_t i = 0; i < std::size(kPortStates); ++i)
            w.add(kPortState, port + ",state=\"" + kPortStates[i] + "\"", static_cast<int>(c) == int(i));
        if (c == PortCondition::Initialized || c == PortCondition::Failed) {
            w.add(kDiskInfo,
                  port + ",serial=\"" + deviceLabel(r.serial(p)) + "\",model=\"" + deviceLabel(r.model(p)) +
                      "\",sata_generation=\"" + std::to_string(r.sataGeneration(p)) + "\"",
                  1);
            w.add(kDiskBytes, port, 512.0 * r.portCapacity(p));
        }
        w.add(kPortBad, port, (r.activityFlags() & (p == 0 ? activity::kBadP0 : activity::kBadP1)) != 0);
    }
    const ActivityKind kind = r.activityKind(e.scanCapable);
    for (std::size_t i = 0; i < std::size(kActivities); ++i)
        w.add(kActivity, dev + ",kind=\"" + kActivities[i] + "\"", static_cast<int>(kind) == int(i));
    if (kind != ActivityKind::None)
        w.add(kProgress, dev + ",port=\"" + std::to_string(r.activityPort()) + "\"",
              r.progressPercent() / 100.0);
    w.add(kBadSectors, dev, r.badSectorCount());
}

}  // namespace

std::string prometheusMetrics(const std::vector<EnclosureSample>& enclosures, const MonitorFigures& monitor) {
    Writer w(std::size(kFamilies));
    w.add(kEnclosures, "", static_cast<double>(enclosures.size()));
    for (const EnclosureSample& e : enclosures) {
        const std::string dev = std::string("device=\"").append(std::to_string(e.slot + 1)) + "\"";
        w.add(kInfo,
              dev + ",drive=\"" + std::to_string(e.drive) + "\",model=\"" + deviceLabel(e.model) +
                  "\",firmware=\"" + deviceLabel(e.firmware) + "\"",
              1);
        w.add(kReadOk, dev, e.record != nullptr);
        if (e.lastGoodRead) w.add(kLastGood, dev, static_cast<double>(*e.lastGoodRead));
        if (e.record) record(w, dev, e);
    }
    w.add(kLastPoll, "", static_cast<double>(monitor.lastPoll));
    w.add(kPending, "", static_cast<double>(monitor.alertsPending));
    w.add(kHookFailures, "", static_cast<double>(monitor.hookFailures));
    w.add(kGivenUp, "", static_cast<double>(monitor.hookRunsGivenUp));
    w.add(kPolls, "", static_cast<double>(monitor.polls));
    return w.text();
}

}  // namespace ardenvel::cli
