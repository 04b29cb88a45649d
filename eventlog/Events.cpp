#include "eventlog/Events.h"

namespace ardenvel {

const char* eventName(EventKind kind) {
    switch (kind) {
        case EventKind::EnclosureFound: return "enclosure-found";
        case EventKind::EnclosureLost: return "enclosure-lost";
        case EventKind::DiskInserted: return "disk-inserted";
        case EventKind::DiskInitialized: return "disk-initialized";
        case EventKind::DiskFailed: return "disk-failed";
        case EventKind::DiskRemoved: return "disk-removed";
        case EventKind::RebuildProgress: return "rebuild-progress";
        case EventKind::RebuildDone: return "rebuild-done";
        case EventKind::ScanProgress: return "scan-progress";
        case EventKind::ScanDone: return "scan-done";
        case EventKind::ScanAborted: return "scan-aborted";
        case EventKind::PortsOk: return "ports-ok";
        case EventKind::BadSectors: return "bad-sectors";
        case EventKind::Test: return "test";
    }
    return "test";
}

bool isProgress(EventKind kind) {
    return kind == EventKind::RebuildProgress || kind == EventKind::ScanProgress;
}

Severity eventSeverity(EventKind kind) {
    switch (kind) {
        case EventKind::DiskFailed:
        case EventKind::BadSectors: return Severity::Critical;
        case EventKind::DiskRemoved:
        case EventKind::EnclosureLost:
        case EventKind::ScanAborted: return Severity::Warning;
        default: return Severity::Info;
    }
}

const char* severityName(Severity severity) {
    switch (severity) {
        case Severity::Critical: return "critical";
        case Severity::Warning: return "warning";
        case Severity::Info: return "info";
    }
    return "info";
}

std::string eventSummary(const LogEvent& e) {
    // Appended, not "literal" + string: GCC 12 warns falsely (-Wrestrict) on that.
    const std::string device = std::string("Device").append(std::to_string(e.slot + 1));
    const std::string port = e.port >= 0 ? std::string(" P").append(std::to_string(e.port)) : "";
    const std::string disk = device + port + ": ";
    const std::string activityPort = e.port >= 0 ? std::string(" of P").append(std::to_string(e.port)) : "";
    switch (e.kind) {
        case EventKind::EnclosureFound: return device + " found";
        case EventKind::EnclosureLost: return device + " lost: its status cannot be read";
        case EventKind::DiskInserted: return disk + "disk inserted";
        case EventKind::DiskInitialized: return disk + "disk initialized";
        case EventKind::DiskFailed:
            return disk + (e.reminder ? "disk still failed" : "disk failed") + ", capacity too small";
        case EventKind::DiskRemoved: return disk + "disk removed";
        case EventKind::RebuildProgress:
            return device + ": rebuild" + activityPort + " at " + std::to_string(e.percent) + "%";
        case EventKind::RebuildDone: return device + ": rebuild" + activityPort + " done";
        case EventKind::ScanProgress:
            return device + ": scan" + activityPort + " at " + std::to_string(e.percent) + "%";
        case EventKind::ScanDone: return device + ": scan" + activityPort + " done";
        case EventKind::ScanAborted: return device + ": scan" + activityPort + " stopped by the user";
        case EventKind::PortsOk: return device + ": P0 OK, P1 OK";
        case EventKind::BadSectors:
            return disk + std::to_string(e.lbas.size()) +
                   (e.lbas.size() == 1 ? " bad sector" : " bad sectors") + " found";
        case EventKind::Test: return "Test event from Ardenvel: alerts reach this program";
    }
    return device;
}

}  // namespace ardenvel
