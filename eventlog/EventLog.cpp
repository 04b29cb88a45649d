#include "eventlog/EventLog.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace ardenvel {

namespace fs = std::filesystem;

namespace {

const char* const kSeparator = "-------------------------------------------------------------------------";

// Device text ends at a NUL and must not break a line of the file.
std::string deviceText(std::string raw) {
    if (auto nul = raw.find('\0'); nul != std::string::npos) raw.resize(nul);
    std::replace(raw.begin(), raw.end(), '\r', ' ');
    std::replace(raw.begin(), raw.end(), '\n', ' ');
    return raw;
}

std::string num(std::uint32_t v) {
    return std::to_string(v);
}

// head + v, built by appending: "D" + num(v) trips a false -Wrestrict in GCC 12.
std::string tagged(const char* head, std::uint32_t v) {
    std::string s(head);
    s += num(v);
    return s;
}

std::string capacityText(std::uint32_t sectors) {
    return num(capacityGb(sectors)) + " GB(" + num(sectors) + " Sectors)";
}

// The port of the bits of PortState that decide an event or a block line:
// absent, initialized, failed, inserted, the first set wins.
std::uint8_t decidingBit(std::uint8_t state, int p) {
    for (std::uint8_t bit : {port::kAbsent, port::kInitialized, port::kFailed, port::kInserted}) {
        if (state & port::bits(bit, p)) return bit;
    }
    return 0;
}

// The scan or rebuild named in the lines for the port it works on.
std::string activityLabel(bool scan, unsigned p) {
    if (scan) return p == 0 ? " P0 Scan " : " P1 Scan ";
    return p == 0 ? " P1 --> P0 " : " P0 --> P1 ";
}

// The event whose lines a port-state rule writes.
EventKind portEvent(std::uint8_t bit) {
    switch (bit) {
        case port::kAbsent: return EventKind::DiskRemoved;
        case port::kInitialized: return EventKind::DiskInitialized;
        case port::kFailed: return EventKind::DiskFailed;
        default: return EventKind::DiskInserted;
    }
}

// A failure of the day's file is shown once, until a write succeeds again.
void reportFailure(EventLogState& s, Ui& ui, const std::string& text) {
    if (s.FailureReported) return;
    s.FailureReported = true;
    ui.setStatusText(kPanelMessages, text);
}

// DayLog over the file `name`; kept in memory when that fails.
void writeDayLog(EventLogState& s, Ui& ui, const fs::path& name) {
    if (s.LeaveFileAlone && name == s.MemoryOnlyFile) return;
    if (replaceFile(*s.Files, name, joinLines(s.DayLog.all()))) {
        s.WritePending = false;
        s.FailureReported = false;
        s.MemoryOnlyFile.clear();
        return;
    }
    s.WritePending = true;
    s.MemoryOnlyFile = name;
    s.LeaveFileAlone = false;
    reportFailure(s, ui, "Cannot write the event log " + name.string() + "; it is kept in memory");
}

struct Pass {
    EventLogState& s;
    const EventLogInputs& in;
    std::string T;
    LocalTime time;
    bool dirty = false;
    // The event that the lines added now belong to.
    std::optional<std::size_t> open;

    void add(std::string line) {
        if (open) s.Events[*open].lines.push_back(line);
        s.DayLog.append(std::move(line));
    }

    // Starts the event whose lines follow; `port` -1 for none.
    LogEvent& begin(EventKind kind, unsigned slot, int port) {
        const StatusView r(in.statusBuffers[slot]);
        LogEvent e;
        e.kind = kind;
        e.slot = slot;
        e.port = port;
        e.portState = r.portState();
        e.time = time;
        if (port >= 0) {
            e.serial = r.serial(port);
            e.model = r.model(port);
        }
        open = s.Events.size();
        s.Events.push_back(std::move(e));
        return s.Events.back();
    }
    void end() { open.reset(); }

    // Found has no line of its own; lost has one when asked for.
    void enclosureEvent(EventKind kind, unsigned slot) {
        LogEvent& e = begin(kind, slot, -1);
        if (slot < in.tables.deviceCount) {
            const unsigned drive = driveNumberOf(in.tables.deviceTable[slot]);
            if (drive < in.tables.sectorBuffers.size()) e.model = modelText(in.tables.sectorBuffers[drive]);
        }
        if (kind == EventKind::EnclosureLost && in.logLostEnclosures) {
            add(tagged("D", slot + 1) + " Drive removed at: " + T);
            dirty = true;
        }
        end();
    }

    std::string firmware(unsigned slot) const {
        const unsigned drive = driveNumberOf(in.tables.deviceTable[slot]);
        if (drive >= in.tables.sectorBuffers.size()) return {};
        return deviceText(firmwareRevisionText(in.tables.sectorBuffers[drive]));
    }

    void serialAndCapacity(const StatusView& r, int p, const char* indent) {
        add(std::string(indent) + "Serial no.: \"" + deviceText(r.serial(p)) + "\"");
        add(std::string(indent) + "Capacity : " + capacityText(r.portCapacity(p)));
    }

    void deviceInfoBlock(unsigned slot) {
        const StatusView r(in.statusBuffers[slot]);
        const std::string n = num(slot + 1);
        add("Device" + n + " information :");
        add(std::string(modeName(r.raidModeOfSystem())) + ", F/W Rev. " + firmware(slot));
        add("Configured Capacity : " + capacityText(r.configuredCapacity()));
        for (int p = 0; p < 2; ++p) {
            const std::string P = tagged("P", static_cast<std::uint32_t>(p));
            switch (decidingBit(r.portState(), p)) {
                case port::kAbsent: add("  " + P + " is absent. "); break;
                case port::kInitialized:
                    add("  " + P + " is present.(SATA" + num(r.sataGeneration(p)) + ")");
                    serialAndCapacity(r, p, "    ");
                    break;
                case port::kFailed:
                    add("  " + P + " was failed, Capacity too small.");
                    serialAndCapacity(r, p, "    ");
                    break;
                case port::kInserted: add(P + " was inserted."); break;
                default: break;
            }
        }
    }

    void portStateRules(unsigned slot) {
        const StatusView r(in.statusBuffers[slot]);
        const std::uint8_t now = r.portState();
        if (now == s.LoggedPortState[slot]) return;
        const std::uint8_t prev = s.LoggedPortState[slot] == 0xFF ? 0 : s.LoggedPortState[slot];
        s.LoggedPortState[slot] = now;
        dirty = true;
        const std::string D = tagged("D", slot + 1);
        for (int p = 0; p < 2; ++p) {
            const std::uint8_t bit = decidingBit(now, p);
            if (bit == 0 || (prev & port::bits(bit, p))) continue;
            const std::string P = tagged(" P", static_cast<std::uint32_t>(p));
            begin(portEvent(bit), slot, p);
            switch (bit) {
                case port::kAbsent: add(D + P + " was removed, " + T); break;
                case port::kInitialized:
                    // P1's line has a comma that P0's has not.
                    add(D + P + (p == 0 ? " was initialized (SATA" : " was initialized, (SATA") +
                        num(r.sataGeneration(p)) + "), " + T);
                    serialAndCapacity(r, p, "  ");
                    break;
                case port::kFailed:
                    add(D + P + " was failed, Capacity too small." + T);
                    serialAndCapacity(r, p, "  ");
                    break;
                case port::kInserted: add(D + P + " was inserted, " + T); break;
                default: break;
            }
            end();
        }
    }

    void activityRules(unsigned slot) {
        const StatusView r(in.statusBuffers[slot]);
        const std::uint8_t flags = r.activityFlags();
        const std::string D = tagged("D", slot + 1);
        if (flags & (activity::kP0 | activity::kP1)) {
            const bool scan = in.scanCapable && (flags & activity::kScan);
            s.ScanRunning[slot] = scan ? 1 : 0;
            const std::uint8_t pct = r.progressPercent();
            if (s.LoggedProgress[slot] != kNoProgress && s.LoggedProgress[slot] == pct) return;
            s.LoggedProgress[slot] = pct;
            s.LoggedProgressPort[slot] = (flags & activity::kP0) ? 0 : 1;
            begin(scan ? EventKind::ScanProgress : EventKind::RebuildProgress, slot,
                  s.LoggedProgressPort[slot])
                .percent = pct;
            add(D + activityLabel(scan, s.LoggedProgressPort[slot]) + num(pct) + "%, " + T);
            end();
            dirty = true;
            return;
        }
        const bool bothInitialized = (r.portState() & port::bits(port::kInitialized, 0)) &&
                                     (r.portState() & port::bits(port::kInitialized, 1));
        const int last = s.LoggedProgress[slot] == kNoProgress ? -1 : s.LoggedProgress[slot];
        const int lastPort = s.LoggedProgressPort[slot];
        if (s.ScanRunning[slot] && s.UserAbort[slot]) {
            begin(EventKind::ScanAborted, slot, lastPort).percent = last;
            add(D + activityLabel(true, s.LoggedProgressPort[slot]) + "User Abort, " + T);
            dirty = true;
        } else if (s.LoggedProgress[slot] != kNoProgress && bothInitialized) {
            if (s.LoggedProgress[slot] == 99) {
                begin(s.ScanRunning[slot] ? EventKind::ScanDone : EventKind::RebuildDone, slot, lastPort)
                    .percent = 100;
                add(D + activityLabel(s.ScanRunning[slot], s.LoggedProgressPort[slot]) + "Done, " + T);
            } else {
                begin(EventKind::PortsOk, slot, -1).percent = last;
                add(D + " P0 OK, P1 OK, " + T);
            }
            dirty = true;
        }
        end();
        s.LoggedProgress[slot] = kNoProgress;
        s.ScanRunning[slot] = 0;
    }

    // The port a batch of bad sectors is reported on; -1 when it cannot be told.
    int badSectorPort(const StatusView& r, unsigned slot) const {
        const std::uint8_t flags = r.activityFlags();
        const bool p0 = flags & activity::kBadP0;
        const bool p1 = flags & activity::kBadP1;
        if (p0 != p1) return p0 ? 0 : 1;
        const bool scan = s.ScanRunning[slot] != 0;
        if (flags & activity::kP0) return scan ? 0 : 1;
        if (flags & activity::kP1) return scan ? 1 : 0;
        if (r.portState() & port::bits(port::kInitialized, 0)) return 0;
        if (r.portState() & port::bits(port::kInitialized, 1)) return 1;
        return -1;
    }

    void badSectorRules(unsigned slot) {
        const StatusView r(in.statusBuffers[slot]);
        const bool flagged = r.activityFlags() & (activity::kBadP0 | activity::kBadP1);
        const unsigned count = r.badSectorCount();
        const unsigned logged = s.LoggedBadSectorCount[slot];
        if (!flagged || count == 0 || count == logged) return;
        if (count > logged) {
            const unsigned first = std::max(logged, count > 10 ? count - 10 : 0u);
            const int p = badSectorPort(r, slot);
            LogEvent& e = begin(EventKind::BadSectors, slot, p);
            for (unsigned k = first; k < count; ++k) e.lbas.push_back(r.badSectorLba(k));
            if (p >= 0) add(tagged("D", slot + 1) + (p == 0 ? " P0" : " P1") + " Bad Sector was found. " + T);
            for (unsigned k = first; k < count; ++k) add(tagged("  LBA: ", r.badSectorLba(k)));
            end();
            dirty = true;
        }
        s.LoggedBadSectorCount[slot] = static_cast<std::uint8_t>(count);
    }

    void write(const fs::path& name) { writeDayLog(s, in.ui, name); }
    void report(const std::string& text) { reportFailure(s, in.ui, text); }
};

}  // namespace

fs::path LogFileName(const fs::path& dir, const LocalTime& t) {
    char name[16];
    std::snprintf(name, sizeof name, "%02d%02d%02d.log", t.year % 100, t.month % 100, t.day % 100);
    return dir / name;
}

void UpdateEventLog(EventLogState& s, const EventLogInputs& in, std::uint8_t devicesRead) {
    const unsigned slots = std::min<unsigned>(in.tables.deviceCount, kLogSlots);
    const LocalTime now = in.clock.toLocal(in.clock.now());
    Pass pass{s, in, formatDateTime(in.clock, now), now, false, std::nullopt};
    s.Events.clear();
    const fs::path name = LogFileName(s.LogDirectory, now);

    if (name != s.DayLogFile) {
        // The last day's lines that could not be written get one more try in
        // their own file before the new day replaces them.
        if (s.WritePending && !s.DayLogFile.empty()) pass.write(s.DayLogFile);
        // What stood in for another day's file does not stand in for this one.
        s.MemoryOnlyFile.clear();
        s.LeaveFileAlone = false;
        s.WritePending = false;
    }
    bool newFile = false;
    const bool inMemoryOnly = !s.MemoryOnlyFile.empty() && name == s.MemoryOnlyFile;
    if (inMemoryOnly || s.Files->exists(name)) {
        // Another file than DayLog's (the first pass of a run, even when the
        // panel was refreshed before it, or the clock set back to a day that
        // has its file) is read first, so its lines are kept.
        if (!inMemoryOnly && (in.firstRefreshPending || name != s.DayLogFile)) {
            if (auto lines = readLogLines(*s.Files, name)) {
                s.DayLog.assign(std::move(*lines));
            } else {
                // Another day's lines must not be mixed into this one's.
                if (name != s.DayLogFile) s.DayLog.clear();
                s.MemoryOnlyFile = name;
                s.LeaveFileAlone = true;
                pass.report("Cannot read the event log " + name.string() +
                            "; it is left as it is and new lines are kept in memory");
            }
        }
    } else {
        s.DayLog.clear();
        if (!in.firstRefreshPending) pass.add(kSeparator);
        newFile = true;
    }

    if (in.firstRefreshPending) {
        pass.add(kSeparator);
        pass.add("GUI has started from " + pass.T);
        newFile = true;
        for (unsigned slot = 0; slot < slots; ++slot) {
            s.LoggedProgress[slot] = kNoProgress;
            s.LoggedPortState[slot] = StatusView(in.statusBuffers[slot]).portState();
        }
    }

    auto wasRead = [&](unsigned slot) { return (devicesRead >> slot) & 1u; };
    if (newFile) {
        for (unsigned slot = 0; slot < slots; ++slot) {
            if (wasRead(slot)) pass.deviceInfoBlock(slot);
        }
        pass.add(kSeparator);
        pass.dirty = true;
    }

    for (unsigned slot = 0; slot < kLogSlots; ++slot) {
        const bool gone = ((in.devicesFailed >> slot) & 1u) != 0 || slot >= slots;
        if (s.Present[slot] && gone && !wasRead(slot)) {
            pass.enclosureEvent(EventKind::EnclosureLost, slot);
            s.Present[slot] = 0;
        }
    }
    for (unsigned slot = 0; slot < slots; ++slot) {
        if (!wasRead(slot)) continue;
        if (!s.Present[slot]) {
            pass.enclosureEvent(EventKind::EnclosureFound, slot);
            s.Present[slot] = 1;
        }
        if (!newFile) pass.portStateRules(slot);
        pass.activityRules(slot);
        pass.badSectorRules(slot);
    }

    s.UserAbort.fill(0);
    s.DayLogFile = name;
    if (pass.dirty || s.WritePending) pass.write(name);
}

void AppendLogLine(EventLogState& s, const Clock& clock, Ui& ui, const std::string& text) {
    const LocalTime now = clock.toLocal(clock.now());
    const fs::path name = LogFileName(s.LogDirectory, now);
    std::string line = text + ", " + formatDateTime(clock, now);
    if (name == s.DayLogFile) {
        s.DayLog.append(std::move(line));
        writeDayLog(s, ui, name);
        return;
    }
    // DayLog is another day's, or none was read yet: the line goes into
    // today's file, where the next pass reads it.
    std::vector<std::string> lines;
    if (s.Files->exists(name)) {
        auto read = readLogLines(*s.Files, name);
        if (!read) {
            reportFailure(s, ui, "Cannot read the event log " + name.string() + "; the line is not added");
            return;
        }
        lines = std::move(*read);
    }
    lines.push_back(std::move(line));
    if (!replaceFile(*s.Files, name, joinLines(lines)))
        reportFailure(s, ui, "Cannot write the event log " + name.string());
}

}  // namespace ardenvel
