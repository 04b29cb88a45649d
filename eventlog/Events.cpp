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

}  // namespace ardenvel
