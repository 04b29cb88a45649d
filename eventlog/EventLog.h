#pragma once
// Event detection and the daily log file. Each poll compares the fresh status
// records with what the log remembers per device slot, appends a line per
// event to DayLog and writes DayLog over today's file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceState.h"
#include "eventlog/Events.h"
#include "eventlog/LogFile.h"
#include "monitor/ControllerStatus.h"
#include "platform/Clock.h"
#include "platform/Ui.h"

namespace ardenvel {

inline constexpr unsigned kLogSlots = 4;
// LoggedProgress when no progress line is pending.
inline constexpr std::uint8_t kNoProgress = 0xFF;

// Today's lines in order, without line ends. The Event Log window reads them
// by count and index.
class LogLines {
public:
    std::size_t count() const { return lines_.size(); }
    const std::string& line(std::size_t index) const { return lines_[index]; }
    const std::vector<std::string>& all() const { return lines_; }

    // Counts the times the lines were replaced rather than added to: a
    // viewer that copied lines before must start again.
    std::uint64_t restarts() const { return restarts_; }

    void append(std::string line) { lines_.push_back(std::move(line)); }
    void assign(std::vector<std::string> lines) {
        lines_ = std::move(lines);
        ++restarts_;
    }
    void clear() {
        lines_.clear();
        ++restarts_;
    }

private:
    std::vector<std::string> lines_;
    std::uint64_t restarts_ = 0;
};

// Everything the log keeps between passes. The program makes one; each test
// makes its own.
struct EventLogState {
    // The master copy of today's file.
    LogLines DayLog;

    // Per device slot.
    std::array<std::uint8_t, kLogSlots> LoggedPortState{};
    // None pending at start, so that a first pass that is not the start-up
    // pass does not report the end of an activity it never saw.
    std::array<std::uint8_t, kLogSlots> LoggedProgress{kNoProgress, kNoProgress, kNoProgress, kNoProgress};
    std::array<std::uint8_t, kLogSlots> LoggedProgressPort{};
    // Flags, 0 or 1.
    std::array<std::uint8_t, kLogSlots> ScanRunning{};  // read by the scan buttons
    std::array<std::uint8_t, kLogSlots> UserAbort{};    // set when a stop-scan is sent
    std::array<std::uint8_t, kLogSlots> LoggedBadSectorCount{};
    // Whether the slot's enclosure was read since it was last found.
    std::array<std::uint8_t, kLogSlots> Present{};

    // The events of the last pass, in the order of their lines.
    std::vector<LogEvent> Events;

    // Where the day's files go; see chooseLogDirectory.
    std::filesystem::path LogDirectory;
    std::unique_ptr<LogFiles> Files = std::make_unique<LogFiles>();

    // The file DayLog is the master copy of. A pass whose file is another
    // one that exists reads it first (the first pass of a run, a clock set
    // back across midnight), so no day's file loses a line it holds.
    std::filesystem::path DayLogFile;
    // Today's file when it could not be written or read: while the name is
    // the same, DayLog stands in for it and is not reloaded.
    std::filesystem::path MemoryOnlyFile;
    // MemoryOnlyFile could not be read, so writing it would lose its lines.
    bool LeaveFileAlone = false;
    // The last write failed; the next pass tries again.
    bool WritePending = false;
    // The failure has been shown; cleared by the next good write.
    bool FailureReported = false;
};

// What a pass reads from the rest of the program.
struct EventLogInputs {
    const Clock& clock;
    Ui& ui;                         // panel 4 hears when the file cannot be written
    const DiscoveryTables& tables;  // DeviceCount, DeviceTable, SectorBuffers
    const StatusBuffers& statusBuffers;
    bool firstRefreshPending;
    bool scanCapable;  // of the active page's device, for every slot
    // Slots whose read failed in this poll: their enclosures are lost.
    std::uint8_t devicesFailed = 0;
    // A lost enclosure gets a line too. The window tells it elsewhere (the
    // "Drive removed at: " line); an unattended monitor has only its log.
    bool logLostEnclosures = false;
};

// "yymmdd.log" in dir for the date of t.
std::filesystem::path LogFileName(const std::filesystem::path& dir, const LocalTime& t);

// One pass, run by the poll after the status reads: bit i of devicesRead is
// set when slot i's record was read in this poll.
void UpdateEventLog(EventLogState& state, const EventLogInputs& inputs, std::uint8_t devicesRead);

// One line from outside a poll (an upgrade's repair), with the time after
// it, added to today's file.
void AppendLogLine(EventLogState& state, const Clock& clock, Ui& ui, const std::string& text);

}  // namespace ardenvel
