#include "eventlog/DesktopNotices.h"

#include "monitor/DeviceText.h"

namespace ardenvel {

std::vector<DesktopNotice> desktopNotices(const std::vector<LogEvent>& events, bool windowActive) {
    std::vector<DesktopNotice> out;
    if (windowActive) return out;
    for (const LogEvent& e : events) {
        if (e.kind != EventKind::DiskFailed && e.kind != EventKind::DiskRemoved &&
            e.kind != EventKind::BadSectors && e.kind != EventKind::EnclosureLost)
            continue;
        DesktopNotice n;
        n.slot = e.slot;
        n.kind = e.kind;
        n.summary = eventSummary(e);
        for (const std::string& line : e.lines) {
            if (!n.body.empty()) n.body += '\n';
            n.body += deviceTextTrimmed(line);
        }
        if (n.body.empty()) n.body = deviceTextTrimmed(e.model);
        n.critical = eventSeverity(e.kind) == Severity::Critical;
        out.push_back(std::move(n));
    }
    return out;
}

}  // namespace ardenvel
