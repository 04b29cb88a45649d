#pragma once
// Which of the monitor's events are news for its alerts: progress only every
// N percent, and nothing that was already alerted, across restarts too. What
// was alerted is kept in a file in the monitor's state directory, so that a
// disk that is still failed after a restart is not announced again, and a
// failed disk the monitor finds when it starts is announced once. A daily
// reminder while a disk stays failed is an option.

#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "eventlog/Events.h"
#include "eventlog/LogFile.h"
#include "monitor/ControllerStatus.h"
#include "platform/Clock.h"

namespace ardenvel::cli {

class AlertFilter {
public:
    // No memory file: what was alerted lives as long as the process.
    AlertFilter(unsigned increment, bool remindDaily, std::optional<std::filesystem::path> memoryFile,
                LogFiles& files);

    // Reads the memory file; a missing file is a fresh start. The error says
    // why a file could not be used (the filter then starts afresh).
    std::optional<std::string> load();
    // The events of one pass that are news, remembered as alerted. `records`
    // tell the state of the ports of an enclosure that is found.
    std::vector<LogEvent> select(const std::vector<LogEvent>& events, const StatusBuffers& records,
                                 Clock::TimePoint now);
    // With daily reminders: one for each disk of `devicesRead` still failed a
    // day after it was last alerted.
    std::vector<LogEvent> reminders(const StatusBuffers& records, std::uint8_t devicesRead,
                                    const LocalTime& time, Clock::TimePoint now);
    // Writes the memory file when something changed; the error says why not.
    std::optional<std::string> save();

    static constexpr std::size_t kRememberedLbas = 1000;

private:
    struct PortMemory {
        std::optional<EventKind> condition;  // the last disk event alerted
        std::string serial;
        long long alertedAt = 0;  // seconds since the epoch
    };
    struct ActivityMemory {
        EventKind kind = EventKind::RebuildProgress;
        int port = 0;
        unsigned step = 0;  // percent / increment of the last progress alerted
        int percent = 0;    // the last percentage seen
    };
    struct SlotMemory {
        bool present = false;
        std::string model;
        std::array<PortMemory, 2> ports;
        std::optional<ActivityMemory> activity;
        std::vector<std::uint32_t> lbas;  // alerted, oldest first
    };

    bool diskEventIsNews(SlotMemory& m, const LogEvent& e, long long now);
    bool progressIsNews(SlotMemory& m, const LogEvent& e);
    std::optional<LogEvent> newBadSectors(SlotMemory& m, const LogEvent& e);
    void found(SlotMemory& m, const LogEvent& e, const StatusBlock& record, long long now,
               std::vector<LogEvent>& out);
    std::string toText() const;
    bool fromText(const std::string& text);

    unsigned increment_;
    bool remindDaily_;
    std::optional<std::filesystem::path> file_;
    LogFiles& files_;
    std::array<SlotMemory, 4> slots_{};
    bool changed_ = false;
};

}  // namespace ardenvel::cli
