#pragma once
// Which of the monitor's events are news for its alerts: progress only every
// N percent, and nothing that was already alerted, across restarts too.
//
// What was alerted is remembered per enclosure and per disk, not per slot:
// an enclosure is known by its model and serial number and, where two look
// alike, by the disks in it; bad sectors are remembered for the disk they
// were found on. So enclosures that come back in another order repeat
// nothing, and a new disk is told of bad sectors at LBAs an old one had.
//
// The memory file in the monitor's state directory also keeps the hook runs
// not yet succeeded, so that an alert survives a restart until its hooks
// have taken it.

#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/HookRunner.h"
#include "eventlog/Events.h"
#include "eventlog/LogFile.h"
#include "monitor/ControllerStatus.h"
#include "platform/Clock.h"

namespace ardenvel::cli {

// An enclosure whose status was read in this poll, as identification shows it.
struct EnclosureSeen {
    unsigned slot = 0;
    std::string model;   // raw bytes
    std::string serial;  // raw bytes, the bridge's own
};

// An event to pass on, and the enclosure it is about ("model serial").
struct Alert {
    LogEvent event;
    std::string enclosure;
};

class AlertFilter {
public:
    // No memory file: what was alerted lives as long as the process.
    AlertFilter(unsigned increment, bool remindDaily, std::optional<std::filesystem::path> memoryFile,
                LogFiles& files);

    // Reads the memory file; a missing file is a fresh start. The error says
    // why a file could not be used (the filter then starts afresh).
    std::optional<std::string> load();
    // The hook runs the memory file kept, for the programs in `programs`;
    // the others are dropped and counted in `dropped`.
    std::vector<HookDelivery> takePending(const std::vector<std::string>& programs, std::size_t& dropped);
    // Discovery ran again: slots may hold other enclosures now.
    void slotsChanged();
    // The alerts of one poll: the log's events that are news, and the
    // enclosures found and lost, told apart by who they are. `seen` lists
    // the enclosures read in this poll with their records in `records`.
    std::vector<Alert> select(const std::vector<LogEvent>& events, const StatusBuffers& records,
                              const std::vector<EnclosureSeen>& seen, const LocalTime& time,
                              Clock::TimePoint now);
    // With daily reminders: one for each disk of an enclosure read in this
    // poll still failed a day after it was last alerted.
    std::vector<Alert> reminders(const StatusBuffers& records, const LocalTime& time, Clock::TimePoint now);
    // A number for a new alert, unique across restarts with a memory file.
    std::uint64_t newAlertNumber() { return ++lastAlert_; }
    // Writes the memory file, with the hook runs `pending`, when something
    // changed; the error says why not.
    std::optional<std::string> save(const std::vector<HookDelivery>& pending, bool pendingChanged);

    static constexpr std::size_t kRememberedLbas = 1000;  // per disk
    static constexpr std::size_t kRememberedEnclosures = 16;
    static constexpr std::size_t kRememberedDisks = 64;

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
    struct EnclosureMemory {
        std::uint64_t id = 0;
        std::string model;                  // UTF-8, trimmed
        std::optional<std::string> serial;  // none: not known (an older file)
        bool present = false;
        std::string rawModel;              // as identification gave it, in this run
        std::array<std::string, 2> disks;  // serials on the ports when last read
        std::array<PortMemory, 2> ports;
        std::optional<ActivityMemory> activity;
        std::uint8_t badFlags = 0;  // the record's bad-sector flags when last read
        long long seen = 0;
    };
    struct DiskMemory {
        std::string serial;
        std::vector<std::uint32_t> lbas;  // alerted, oldest first
        long long seen = 0;
    };

    EnclosureMemory* byId(std::uint64_t id);
    void bind(const std::vector<EnclosureSeen>& seen, const StatusBuffers& records, long long now);
    bool diskEventIsNews(EnclosureMemory& m, const LogEvent& e, long long now);
    bool progressIsNews(EnclosureMemory& m, const LogEvent& e);
    std::optional<LogEvent> newBadSectors(EnclosureMemory& m, LogEvent e, const StatusView& r, long long now);
    DiskMemory& disk(const std::string& serial, long long now);
    void found(EnclosureMemory& m, const LogEvent& e, const StatusBlock& record, long long now,
               std::vector<Alert>& out);
    static std::string name(const EnclosureMemory& m);
    std::string toText(const std::vector<HookDelivery>& pending) const;
    bool fromText(const std::string& text);

    unsigned increment_;
    bool remindDaily_;
    std::optional<std::filesystem::path> file_;
    LogFiles& files_;
    std::vector<EnclosureMemory> enclosures_;
    std::vector<DiskMemory> disks_;
    std::vector<HookDelivery> loadedPending_;
    // This run's view: the enclosure in each slot, and those read in the
    // last poll.
    std::array<std::optional<std::uint64_t>, 4> bound_{};
    std::vector<std::pair<std::uint64_t, unsigned>> readLastPoll_;  // id, slot
    std::uint64_t lastId_ = 0;
    std::uint64_t lastAlert_ = 0;
    bool changed_ = false;
};

}  // namespace ardenvel::cli
