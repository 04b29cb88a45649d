// The events as data beside the lines: each ordinary pass's lines belong to
// exactly one event, in order, and the fields say what the lines say.

#include <random>

#include "tests/eventlog/EventLogRig.h"

namespace ardenvel::test {
namespace {

class TypedEvents : public EventLogRig {
protected:
    // The lines a pass added, and the events' lines laid end to end.
    void expectLinesBelongToEvents(std::size_t from) {
        std::vector<std::string> fromEvents;
        for (const auto& e : state.Events)
            fromEvents.insert(fromEvents.end(), e.lines.begin(), e.lines.end());
        const std::vector<std::string> added(state.DayLog.all().begin() + static_cast<std::ptrdiff_t>(from),
                                             state.DayLog.all().end());
        EXPECT_EQ(fromEvents, added);
    }
};

TEST_F(TypedEvents, ATimelineGivesOneEventPerEventLineWithItsFields) {
    status[0] = mirror().ports(0x42).b;
    startUp();
    ASSERT_EQ(state.Events.size(), 1u);
    EXPECT_EQ(state.Events[0].kind, EventKind::EnclosureFound);
    EXPECT_TRUE(state.Events[0].lines.empty());

    struct Step {
        Record record;
        std::vector<EventKind> kinds;
        int port;
        int percent;
    } steps[] = {
        {mirror().ports(0x12), {EventKind::DiskInserted}, 1, -1},
        {mirror().ports(0x12).activity(0x02).progress(40), {EventKind::RebuildProgress}, 1, 40},
        {mirror().ports(0x12).activity(0x02).progress(99), {EventKind::RebuildProgress}, 1, 99},
        {mirror().ports(0x22), {EventKind::DiskInitialized, EventKind::RebuildDone}, 1, 100},
        {mirror().ports(0x28), {EventKind::DiskFailed}, 0, -1},
        {mirror().ports(0x28).activity(0x81).progress(7), {EventKind::ScanProgress}, 0, 7},
        {mirror().ports(0x22).activity(0x01).progress(8),
         {EventKind::DiskInitialized, EventKind::RebuildProgress},
         0,
         8},
        {mirror().ports(0x22), {EventKind::PortsOk}, -1, 8},
        {mirror().activity(0x08).badCount(2).ring(0, 500).ring(1, 501), {EventKind::BadSectors}, 1, -1},
        {mirror().ports(0x24), {EventKind::DiskRemoved}, 0, -1},
    };
    for (const auto& step : steps) {
        status[0] = step.record.b;
        const std::size_t mark = state.DayLog.count();
        poll();
        std::vector<EventKind> kinds;
        for (const auto& e : state.Events) kinds.push_back(e.kind);
        EXPECT_EQ(kinds, step.kinds) << state.DayLog.line(mark);
        expectLinesBelongToEvents(mark);
        const LogEvent& last = state.Events.back();
        EXPECT_EQ(last.port, step.port) << eventName(last.kind);
        EXPECT_EQ(last.percent, step.percent) << eventName(last.kind);
        EXPECT_EQ(last.time.second, clock.toLocal(clock.current).second);
    }
    const LogEvent& bad = state.Events.back();
    EXPECT_EQ(bad.kind, EventKind::DiskRemoved);
    EXPECT_EQ(bad.serial, "WD-WCAV12345678     ");

    status[0] = mirror().ports(0x24).activity(0x04).badCount(3).ring(2, 777).b;
    poll();
    ASSERT_EQ(state.Events.size(), 1u);
    EXPECT_EQ(state.Events[0].lbas, std::vector<std::uint32_t>{777});
    EXPECT_EQ(state.Events[0].lines.back(), "  LBA: 777");
}

TEST_F(TypedEvents, AnEnclosureIsLostWhenItsReadFailsOrItLeavesTheTableAndFoundWhenReadAgain) {
    tables.deviceCount = 2;
    status[1] = mirror().b;
    startUp(0x03);
    auto kinds = [&] {
        std::vector<std::pair<EventKind, unsigned>> k;
        for (const auto& e : state.Events) k.emplace_back(e.kind, e.slot);
        return k;
    };
    using P = std::pair<EventKind, unsigned>;
    EXPECT_EQ(kinds(), (std::vector<P>{{EventKind::EnclosureFound, 0}, {EventKind::EnclosureFound, 1}}));

    poll(0x01);  // slot 1 not read, but not failed either: an unticked box
    EXPECT_TRUE(state.Events.empty());
    UpdateEventLog(state, EventLogInputs{clock, ui, tables, status, false, scanCapable, 0x02}, 0x01);
    EXPECT_EQ(kinds(), (std::vector<P>{{EventKind::EnclosureLost, 1}}));
    poll(0x01);
    EXPECT_TRUE(state.Events.empty()) << "lost twice";
    poll(0x03);
    EXPECT_EQ(kinds(), (std::vector<P>{{EventKind::EnclosureFound, 1}}));
    tables.deviceCount = 1;
    poll(0x01);
    EXPECT_EQ(kinds(), (std::vector<P>{{EventKind::EnclosureLost, 1}}));
}

// Random records, poll after poll: whatever the bridge reports, every line
// an ordinary pass writes is one event's.
TEST_F(TypedEvents, EveryLineOfAnyPassBelongsToOneEventInOrder) {
    std::mt19937 random(17);
    const std::uint8_t portStates[] = {0x22, 0x42, 0x12, 0x24, 0x28, 0x82, 0x21, 0x44, 0xFF, 0x00};
    const std::uint8_t activities[] = {0x00, 0x01, 0x02, 0x81, 0x82, 0x05, 0x0A, 0x0C, 0x83};
    startUp();
    for (int round = 0; round < 500; ++round) {
        Record r = mirror();
        r.ports(portStates[random() % std::size(portStates)]);
        r.activity(activities[random() % std::size(activities)]);
        r.progress(static_cast<std::uint8_t>(random() % 3 == 0 ? 99 : random() % 101));
        r.badCount(static_cast<std::uint8_t>(random() % 30));
        for (unsigned k = 0; k < 10; ++k) r.ring(k, static_cast<std::uint32_t>(random()));
        status[0] = r.b;
        if (random() % 4 == 0) state.UserAbort[0] = 1;
        scanCapable = random() % 2 == 0;
        const std::size_t mark = state.DayLog.count();
        poll();
        expectLinesBelongToEvents(mark);
        for (const auto& e : state.Events) {
            if (e.kind == EventKind::BadSectors)
                EXPECT_EQ(e.lbas.size() + (e.port >= 0), e.lines.size());
            else
                EXPECT_FALSE(e.lines.empty()) << eventName(e.kind);
        }
    }
}

}  // namespace
}  // namespace ardenvel::test
