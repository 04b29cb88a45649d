// What the Event Log window shows, tick by tick.

#include <gtest/gtest.h>

#include <fstream>

#include "eventlog/EventLogView.h"
#include "tests/eventlog/EventLogRig.h"

namespace ardenvel::test {
namespace {

using Lines = std::vector<std::string>;

class EventLogViewTest : public EventLogRig {
protected:
    void SetUp() override {
        EventLogRig::SetUp();
        log.assign({"a", "b"});
    }
    EventLogView make() {
        return EventLogView(log, [this] { return monitoring; });
    }

    LogLines log;
    bool monitoring = false;
};

TEST_F(EventLogViewTest, PausedWindowShowsEverythingGreyAndCopiesNothingNew) {
    EventLogView view = make();
    const MemoEdit shown = view.show();
    EXPECT_FALSE(shown.clear);
    EXPECT_EQ(shown.append, (Lines{"a", "b"}));
    EXPECT_EQ(view.caption(), "Event log - Real Time( Paused )");
    EXPECT_TRUE(view.grey());
    EXPECT_TRUE(view.timerEnabled());

    log.append("c");
    EXPECT_TRUE(view.tick().none());
    EXPECT_EQ(view.shownLineCount(), 2);

    // Monitoring starts: the next tick catches up with what was missed.
    monitoring = true;
    const MemoEdit caught = view.tick();
    EXPECT_FALSE(caught.clear);
    EXPECT_EQ(caught.append, (Lines{"c"}));
    EXPECT_EQ(view.caption(), "Event log - Real Time");
    EXPECT_FALSE(view.grey());
    EXPECT_TRUE(view.tick().none());
}

TEST_F(EventLogViewTest, StoppedMonitoringPausesButRealTimeLogStillReloads) {
    monitoring = true;
    EventLogView view = make();
    view.show();
    monitoring = false;
    log.append("c");
    EXPECT_TRUE(view.tick().none());
    EXPECT_EQ(view.caption(), "Event log - Real Time( Paused )");

    const MemoEdit all = view.realTimeLog();
    EXPECT_TRUE(all.clear);
    EXPECT_EQ(all.append, (Lines{"a", "b", "c"}));
    EXPECT_TRUE(view.grey());
    EXPECT_EQ(view.shownLineCount(), 3);
}

TEST_F(EventLogViewTest, ANewDaysLogIsShownFromItsStartWhateverItsLength) {
    for (const Lines& day : {Lines{"new day"}, Lines{"new", "day"}, Lines{"a", "new", "day"}}) {
        SCOPED_TRACE(day.size());
        log.assign({"a", "b"});
        monitoring = true;
        EventLogView view = make();
        view.show();
        log.assign(day);
        const MemoEdit edit = view.tick();
        EXPECT_TRUE(edit.clear);
        EXPECT_EQ(edit.append, day);
        EXPECT_EQ(view.shownLineCount(), static_cast<std::int32_t>(day.size()));
        log.append("more");
        EXPECT_EQ(view.tick().append, Lines{"more"});
    }
}

TEST_F(EventLogViewTest, ChosenFileIsShownUnderItsNameAndStopsLiveUpdates) {
    writeBytes(dir / "261207.log", "x\r\ny\r\n");
    monitoring = true;
    EventLogView view = make();
    view.show();
    LogFiles files;

    view.beginViewFile();
    const FileViewOutcome out = view.endViewFile(dir / "261207.log", files);
    EXPECT_EQ(out.result, FileViewResult::Shown);
    EXPECT_TRUE(out.edit.clear);
    EXPECT_EQ(out.edit.append, (Lines{"x", "y"}));
    EXPECT_EQ(view.caption(), "Event log - 261207.log");
    EXPECT_FALSE(view.timerEnabled());

    log.append("c");
    EXPECT_TRUE(view.tick().none());
    EXPECT_EQ(view.caption(), "Event log - 261207.log");

    EXPECT_EQ(view.realTimeLog().append, (Lines{"a", "b", "c"}));
    EXPECT_EQ(view.caption(), "Event log - Real Time");
    EXPECT_TRUE(view.timerEnabled());
}

TEST_F(EventLogViewTest, CancelledChoiceKeepsTheMemoButStopsLiveUpdates) {
    monitoring = true;
    EventLogView view = make();
    view.show();
    LogFiles files;
    view.beginViewFile();
    const FileViewOutcome out = view.endViewFile(std::nullopt, files);
    EXPECT_EQ(out.result, FileViewResult::Cancelled);
    EXPECT_TRUE(out.edit.none());
    EXPECT_FALSE(view.timerEnabled());
    EXPECT_EQ(view.caption(), "Event log - Real Time");
}

TEST_F(EventLogViewTest, UnreadableFileLeavesTheViewAsItWas) {
    monitoring = true;
    EventLogView view = make();
    view.show();
    LogFiles files;
    view.beginViewFile();
    const FileViewOutcome out = view.endViewFile(dir / "missing.log", files);
    EXPECT_EQ(out.result, FileViewResult::Unreadable);
    EXPECT_TRUE(out.edit.none());
    EXPECT_EQ(out.error, "Cannot read the log file " + (dir / "missing.log").string());
    EXPECT_EQ(view.caption(), "Event log - Real Time");
    EXPECT_TRUE(view.timerEnabled());
}

TEST_F(EventLogViewTest, FileOverTheLimitIsNotReadAndLeavesTheViewAsItWas) {
    monitoring = true;
    LogFiles files;
    for (const std::uintmax_t size : {kViewLogFileLimit, kViewLogFileLimit + 1}) {
        SCOPED_TRACE(size);
        const auto file = dir / "big.log";
        { std::ofstream(file, std::ios::binary | std::ios::trunc) << "first\r\n"; }
        std::filesystem::resize_file(file, size);
        EventLogView view = make();
        view.show();
        view.beginViewFile();
        const FileViewOutcome out = view.endViewFile(file, files);
        if (size <= kViewLogFileLimit) {
            EXPECT_EQ(out.result, FileViewResult::Shown);
            EXPECT_EQ(out.edit.append.at(0), "first");
            continue;
        }
        EXPECT_EQ(out.result, FileViewResult::TooLarge);
        EXPECT_TRUE(out.edit.none());
        EXPECT_EQ(out.error, "The log file " + file.string() + " is larger than 8 MB and is not shown");
        EXPECT_EQ(view.caption(), "Event log - Real Time");
        EXPECT_TRUE(view.timerEnabled());
    }
}

}  // namespace
}  // namespace ardenvel::test
