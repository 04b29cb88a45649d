#include "eventlog/EventLogView.h"

#include <algorithm>
#include <limits>

namespace ardenvel {

EventLogView::EventLogView(const LogLines& dayLog, std::function<bool()> monitoring)
    : dayLog_(dayLog), monitoring_(std::move(monitoring)) {
    ShownLineCount = dayLogCount();
    shownRestarts_ = dayLog_.restarts();
}

std::int32_t EventLogView::dayLogCount() const {
    return static_cast<std::int32_t>(
        std::min<std::size_t>(dayLog_.count(), std::numeric_limits<std::int32_t>::max()));
}

MemoEdit EventLogView::copy(std::int32_t from, std::int32_t to, bool clear) const {
    MemoEdit edit;
    edit.clear = clear;
    if (to > from) edit.append.reserve(static_cast<std::size_t>(to - from));
    for (std::int32_t i = from; i < to; ++i) edit.append.push_back(dayLog_.line(static_cast<std::size_t>(i)));
    return edit;
}

void EventLogView::applyLiveState() {
    const bool live = monitoring_ && monitoring_();
    caption_ = live ? kCaptionLive : kCaptionPaused;
    grey_ = !live;
}

MemoEdit EventLogView::show() {
    applyLiveState();
    // DayLog cannot shrink between creation and show, but a stale count
    // must not read past its end.
    ShownLineCount = std::min(ShownLineCount, dayLogCount());
    shownRestarts_ = dayLog_.restarts();
    timerEnabled_ = true;
    return copy(0, ShownLineCount, false);
}

MemoEdit EventLogView::tick() {
    if (!timerEnabled_) return {};
    const std::int32_t count = dayLogCount();
    applyLiveState();
    if (grey_) return {};
    if (dayLog_.restarts() != shownRestarts_ || count < ShownLineCount) {
        // A new day's log has started, or the day's file was read again:
        // whatever its length, the lines shown are no longer its first ones.
        ShownLineCount = count;
        shownRestarts_ = dayLog_.restarts();
        return copy(0, count, true);
    }
    if (ShownLineCount < count) {
        MemoEdit edit = copy(ShownLineCount, count, false);
        ShownLineCount = count;
        return edit;
    }
    return {};
}

MemoEdit EventLogView::realTimeLog() {
    applyLiveState();
    ShownLineCount = dayLogCount();
    shownRestarts_ = dayLog_.restarts();
    timerEnabled_ = true;
    return copy(0, ShownLineCount, true);
}

void EventLogView::beginViewFile() {
    timerBeforeFile_ = timerEnabled_;
    timerEnabled_ = false;
}

FileViewOutcome EventLogView::endViewFile(const std::optional<std::filesystem::path>& chosen,
                                          LogFiles& files) {
    FileViewOutcome outcome;
    if (!chosen) return outcome;  // the live updates stay stopped
    BoundedRead read = files.readAtMost(*chosen, kViewLogFileLimit);
    if (!read.bytes) {
        // Nothing changes, not even the live updates.
        timerEnabled_ = timerBeforeFile_;
        const std::u8string path = chosen->u8string();
        const std::string shown(path.begin(), path.end());
        if (read.tooLarge) {
            outcome.result = FileViewResult::TooLarge;
            outcome.error = "The log file " + shown + " is larger than " +
                            std::to_string(kViewLogFileLimit >> 20) + " MB and is not shown";
        } else {
            outcome.result = FileViewResult::Unreadable;
            outcome.error = "Cannot read the log file " + shown;
        }
        return outcome;
    }
    const std::u8string name = chosen->filename().u8string();
    caption_ = kCaptionFilePrefix + std::string(name.begin(), name.end());
    outcome.result = FileViewResult::Shown;
    outcome.edit.clear = true;
    outcome.edit.append = splitLines(*read.bytes);
    return outcome;
}

}  // namespace ardenvel
