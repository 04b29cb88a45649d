#pragma once
// The event detection's findings as data: one event per event line of the
// day's log (with the lines that follow it), plus the enclosures found and
// lost. They are made by the same comparison that writes the lines, so the
// two never disagree.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace ardenvel {

enum class EventKind : std::uint8_t {
    EnclosureFound,
    EnclosureLost,
    DiskInserted,
    DiskInitialized,
    DiskFailed,
    DiskRemoved,
    RebuildProgress,
    RebuildDone,
    ScanProgress,
    ScanDone,
    ScanAborted,
    // An activity ended after a last percentage other than 99.
    PortsOk,
    BadSectors,
    // Sent by hand to check that alerts arrive.
    Test,
};

struct LogEvent {
    EventKind kind = EventKind::Test;
    unsigned slot = 0;  // device slot; "Device" + (slot + 1)
    int port = -1;      // 0 = P0, 1 = P1, -1 = none or not known
    int percent = -1;   // progress and the ends of activities
    // Raw bytes from the record or the identification: the disk's on the
    // port for disk events, the enclosure's model for found and lost.
    std::string serial;
    std::string model;
    std::vector<std::uint32_t> lbas;  // bad sectors, oldest first
    std::vector<std::string> lines;   // the log lines, as written
    std::uint8_t portState = 0;       // the record's PortState at the event
    LocalTime time;
    // Sent again because the condition lasts (a disk still failed).
    bool reminder = false;
};

enum class Severity : std::uint8_t { Info, Warning, Critical };

// "enclosure-found", "disk-failed", "rebuild-progress", ...
const char* eventName(EventKind kind);
bool isProgress(EventKind kind);
// Critical: a disk failed or bad sectors were found, the data is at risk.
// Warning: a disk or the enclosure went away, or a scan was stopped.
Severity eventSeverity(EventKind kind);
const char* severityName(Severity severity);  // "info", "warning", "critical"
// One line in plain words, "Device1 P0: disk failed, capacity too small".
std::string eventSummary(const LogEvent& e);

}  // namespace ardenvel
