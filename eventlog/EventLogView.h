#pragma once
// What the Event Log window shows and when: the live copy of DayLog, the
// paused state while monitoring is stopped, and a log file picked by the
// user. The window only carries out the edits and states decided here.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "eventlog/EventLog.h"
#include "eventlog/LogFile.h"

namespace ardenvel {

inline constexpr const char* kCaptionLive = "Event log - Real Time";
inline constexpr const char* kCaptionPaused = "Event log - Real Time( Paused )";
inline constexpr const char* kCaptionFilePrefix = "Event log - ";

// A change to the memo: optionally empty it, then append lines in order.
struct MemoEdit {
    bool clear = false;
    std::vector<std::string> append;

    bool none() const { return !clear && append.empty(); }
};

// View Log File shows files up to this size; a bigger one (any file can be
// picked under "All File") would only fill memory.
inline constexpr std::uintmax_t kViewLogFileLimit = 8 * 1024 * 1024;

enum class FileViewResult { Cancelled, Shown, Unreadable, TooLarge };

struct FileViewOutcome {
    FileViewResult result = FileViewResult::Cancelled;
    MemoEdit edit;
    std::string error;  // for a box, when the file is not shown
};

class EventLogView {
public:
    // The window's creation: nothing shown yet, the show will copy every
    // line DayLog holds now.
    EventLogView(const LogLines& dayLog, std::function<bool()> monitoring);

    MemoEdit show();         // the window appears; live updates start
    MemoEdit tick();         // once a second while live
    MemoEdit realTimeLog();  // "Real Time Log": all of DayLog, live again
    void beginViewFile();    // "View Log File", before the dialog runs
    // After the dialog: nothing when it was cancelled.
    FileViewOutcome endViewFile(const std::optional<std::filesystem::path>& chosen, LogFiles& files);

    const std::string& caption() const { return caption_; }  // UTF-8
    bool grey() const { return grey_; }
    bool timerEnabled() const { return timerEnabled_; }
    std::int32_t shownLineCount() const { return ShownLineCount; }

private:
    void applyLiveState();
    std::int32_t dayLogCount() const;
    MemoEdit copy(std::int32_t from, std::int32_t to, bool clear) const;

    const LogLines& dayLog_;
    std::function<bool()> monitoring_;
    std::int32_t ShownLineCount = 0;
    std::uint64_t shownRestarts_ = 0;  // of DayLog, when its lines were copied from the start
    std::string caption_;
    bool grey_ = false;
    bool timerEnabled_ = false;
    bool timerBeforeFile_ = false;
};

}  // namespace ardenvel
