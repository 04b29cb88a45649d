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

// The last line is always ardenvel_monitor_polls_total.
std::string prometheusMetrics(const std::vector<EnclosureSample>& enclosures, unsigned long long polls);

}  // namespace ardenvel::cli
