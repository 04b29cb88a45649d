#pragma once
// Which events the window raises as desktop notifications: a disk failed or
// removed, bad sectors found, an enclosure lost, while the user looks at
// another window. The critical ones stay until dismissed. Each enclosure has
// at most one notification per kind of event, kept up to date, so that a
// burst does not pile up.

#include <string>
#include <vector>

#include "eventlog/Events.h"

namespace ardenvel {

struct DesktopNotice {
    unsigned slot = 0;
    EventKind kind = EventKind::DiskFailed;
    std::string summary;  // UTF-8, one line
    std::string body;     // UTF-8, the event's log lines
    bool critical = false;

    // The notification this one replaces when it is still shown.
    bool sameKey(const DesktopNotice& other) const { return slot == other.slot && kind == other.kind; }
};

std::vector<DesktopNotice> desktopNotices(const std::vector<LogEvent>& events, bool windowActive);

}  // namespace ardenvel
