#pragma once
// The monitor's metrics in the Prometheus text format, for node_exporter's
// textfile collector: an ardenvel_ prefix, base units (bytes, seconds,
// ratios), _info series for what describes a thing, 0/1 gauges for states.
// docs/monitor.md lists every series.

#include <optional>
#include <string>
#include <vector>

#include "monitor/ControllerStatus.h"

namespace ardenvel::cli {

struct EnclosureSample {
    unsigned slot = 0;   // device slot; the label device is slot + 1
    unsigned drive = 0;  // physical drive number
    std::string model;   // raw bytes, as identified
    std::string firmware;
    bool scanCapable = false;  // how the record's activity bit reads
    // The record of this poll; none when its read failed.
    const StatusBlock* record = nullptr;
    std::optional<long long> lastGoodRead;  // seconds since the epoch
};

// The monitor's own figures.
struct MonitorFigures {
    unsigned long long polls = 0;
    long long lastPoll = 0;  // seconds since the epoch
    std::size_t alertsPending = 0;
    unsigned long long hookFailures = 0;  // failed runs, retried ones included
    unsigned long long hookRunsGivenUp = 0;
};

// The last line is always ardenvel_monitor_polls_total.
std::string prometheusMetrics(const std::vector<EnclosureSample>& enclosures, const MonitorFigures& monitor);

}  // namespace ardenvel::cli
