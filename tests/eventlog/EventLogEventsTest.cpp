// The events a poll detects: port changes, scan and rebuild progress and
// ends, bad sectors; each written out as the log must hold it.

#include "tests/eventlog/EventLogRig.h"

namespace ardenvel::test {
namespace {

class EventLogEvents : public EventLogRig {
protected:
    // After the start-up pass with the record as it is now.
    void SetUpStartedLog() {
        startUp();
        mark = state.DayLog.count();
        writesBefore = counting->writes;
    }
    std::string added() const { return linesSince(mark); }

    std::size_t mark = 0;
    int writesBefore = 0;
};

TEST_F(EventLogEvents, P1RemovalIsLoggedOnceAndARepeatWritesNothing) {
    SetUpStartedLog();
    status[0] = mirror().ports(0x42).b;
    poll();
    EXPECT_EQ(added(), "D1 P1 was removed, 07.12.2026 09:00:04\r\n");
    EXPECT_EQ(counting->writes, writesBefore + 1);
    EXPECT_EQ(file(), joinLines(state.DayLog.all()));

    poll();
    EXPECT_EQ(added(), "D1 P1 was removed, 07.12.2026 09:00:04\r\n");
    EXPECT_EQ(counting->writes, writesBefore + 1);
}

TEST_F(EventLogEvents, InitializationIsAnEventOnlyWhenItsBitIsNew) {
    status[0] = mirror().ports(0x01).b;
    SetUpStartedLog();
    EXPECT_EQ(state.DayLog.line(5), "P0 was inserted.");

    status[0] = mirror().ports(0x03).b;
    poll();
    EXPECT_EQ(added(),
              "D1 P0 was initialized (SATA2), 07.12.2026 09:00:04\r\n"
              "  Serial no.: \"WD-WCAV12345678     \"\r\n"
              "  Capacity : 931 GB(1953525168 Sectors)\r\n");

    // 0x02 to 0x03: initialized already, so no line, but the change is written.
    status[0] = mirror().ports(0x02).b;
    poll();
    mark = state.DayLog.count();
    const int writes = counting->writes;
    status[0] = mirror().ports(0x03).b;
    poll();
    EXPECT_EQ(added(), "");
    EXPECT_EQ(counting->writes, writes + 1);
}

TEST_F(EventLogEvents, EveryPortEventOnBothPortsP0First) {
    status[0] = mirror().ports(0x44).b;
    SetUpStartedLog();
    for (std::uint8_t ports : {0x11, 0x28, 0x84, 0xFF, 0x44}) {
        status[0] = mirror().ports(ports).b;
        poll();
    }
    EXPECT_EQ(added(),
              "D1 P0 was inserted, 07.12.2026 09:00:04\r\n"
              "D1 P1 was inserted, 07.12.2026 09:00:04\r\n"
              "D1 P0 was failed, Capacity too small.07.12.2026 09:00:08\r\n"
              "  Serial no.: \"WD-WCAV12345678     \"\r\n"
              "  Capacity : 931 GB(1953525168 Sectors)\r\n"
              "D1 P1 was initialized, (SATA3), 07.12.2026 09:00:08\r\n"
              "  Serial no.: \"S2H7J9AB123456      \"\r\n"
              "  Capacity : 931 GB(1953525168 Sectors)\r\n"
              "D1 P0 was removed, 07.12.2026 09:00:12\r\n"
              "D1 P1 was failed, Capacity too small.07.12.2026 09:00:12\r\n"
              "  Serial no.: \"S2H7J9AB123456      \"\r\n"
              "  Capacity : 931 GB(1953525168 Sectors)\r\n"
              // 0xFF: P0 stays absent, P1 goes; as the last state it counts as 0.
              "D1 P1 was removed, 07.12.2026 09:00:16\r\n"
              "D1 P0 was removed, 07.12.2026 09:00:20\r\n"
              "D1 P1 was removed, 07.12.2026 09:00:20\r\n");
}

TEST_F(EventLogEvents, SlotsAreComparedOnlyWhenReadAndEachHasItsOwnMemory) {
    tables.deviceCount = 2;
    status[1] = mirror().b;
    startUp(0x03);
    mark = state.DayLog.count();

    status[0] = mirror().ports(0x24).b;
    status[1] = mirror().ports(0x42).b;
    poll(0x01);  // slot 1 not read this time
    EXPECT_EQ(added(), "D1 P0 was removed, 07.12.2026 09:00:04\r\n");
    poll(0x03);
    EXPECT_EQ(added(),
              "D1 P0 was removed, 07.12.2026 09:00:04\r\n"
              "D2 P1 was removed, 07.12.2026 09:00:08\r\n");
}

TEST_F(EventLogEvents, OnlyFourSlotsAreLogged) {
    tables.deviceCount = 8;
    startUp(0xF0);
    EXPECT_EQ(state.DayLog.count(), 3u);  // separator, start-up line, separator
    poll(0xF0);
    EXPECT_EQ(state.DayLog.count(), 3u);
}

TEST_F(EventLogEvents, InformationBlockNamesModesAndShowsLargeCounts) {
    tables.deviceCount = 2;
    status[0] = mirror().mode(63).configured(3907029168u).capacity(0, 4294967295u).b;
    status[1] = mirror().mode(4).b;
    tables.deviceTable[1] = 12 | kUsbPath;  // no probe answer kept for such a drive
    startUp(0x03);
    const auto& l = state.DayLog.all();
    EXPECT_EQ(l[3], "Bypass, F/W Rev. 090619.0");
    EXPECT_EQ(l[4], "Configured Capacity : 1863 GB(3907029168 Sectors)");
    EXPECT_EQ(l[7], "    Capacity : 2047 GB(4294967295 Sectors)");
    EXPECT_EQ(l[11], "Device2 information :");
    EXPECT_EQ(l[12], "Undefine, F/W Rev. ");
}

TEST_F(EventLogEvents, ProgressIsLoggedWhenThePercentageChanges) {
    SetUpStartedLog();
    for (std::uint8_t pct : {10, 10, 11}) {
        status[0] = mirror().activity(0x81).progress(pct).b;
        poll();
    }
    EXPECT_EQ(added(),
              "D1 P0 Scan 10%, 07.12.2026 09:00:04\r\n"
              "D1 P0 Scan 11%, 07.12.2026 09:00:12\r\n");
    EXPECT_EQ(state.ScanRunning[0], 1);
}

TEST_F(EventLogEvents, ActivityIsNamedByPortAndByWhetherScansAreKnown) {
    struct Case {
        std::uint8_t flags;
        bool capable;
        const char* line;
    };
    const Case cases[] = {
        {0x81, true, "D1 P0 Scan 20%, 07.12.2026 09:00:04"},
        {0x82, true, "D1 P1 Scan 20%, 07.12.2026 09:00:04"},
        {0x83, true, "D1 P0 Scan 20%, 07.12.2026 09:00:04"},
        {0x81, false, "D1 P1 --> P0 20%, 07.12.2026 09:00:04"},
        {0x01, true, "D1 P1 --> P0 20%, 07.12.2026 09:00:04"},
        {0x02, true, "D1 P0 --> P1 20%, 07.12.2026 09:00:04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        restart(mirror().b);
        scanCapable = c.capable;
        status[0] = mirror().activity(c.flags).progress(20).b;
        poll();
        EXPECT_EQ(state.DayLog.line(state.DayLog.count() - 1), c.line);
        EXPECT_EQ(state.ScanRunning[0], (c.capable && (c.flags & 0x80)) ? 1 : 0);
    }
}

TEST_F(EventLogEvents, AnEndIsDoneOnlyAfter99AndOnlyWithBothDisksInitialized) {
    struct Case {
        std::uint8_t flags;
        std::uint8_t last;
        std::uint8_t ports;
        const char* end;  // nullptr: no line
    };
    const Case cases[] = {
        {0x81, 99, 0x22, "D1 P0 Scan Done, 07.12.2026 09:00:08"},
        {0x82, 99, 0x22, "D1 P1 Scan Done, 07.12.2026 09:00:08"},
        {0x01, 99, 0x22, "D1 P1 --> P0 Done, 07.12.2026 09:00:08"},
        {0x02, 99, 0x22, "D1 P0 --> P1 Done, 07.12.2026 09:00:08"},
        {0x81, 57, 0x22, "D1 P0 OK, P1 OK, 07.12.2026 09:00:08"},
        {0x01, 98, 0x22, "D1 P0 OK, P1 OK, 07.12.2026 09:00:08"},
        {0x81, 99, 0x02, nullptr},
        {0x81, 99, 0x20, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.end ? c.end : "no line");
        restart(mirror().ports(c.ports).b);
        status[0] = mirror().ports(c.ports).activity(c.flags).progress(c.last).b;
        poll();
        const std::size_t afterProgress = state.DayLog.count();
        status[0] = mirror().ports(c.ports).progress(c.last).b;
        poll();
        if (c.end) {
            ASSERT_EQ(state.DayLog.count(), afterProgress + 1);
            EXPECT_EQ(state.DayLog.line(afterProgress), c.end);
        } else {
            EXPECT_EQ(state.DayLog.count(), afterProgress);
        }
        EXPECT_EQ(state.ScanRunning[0], 0);
        EXPECT_EQ(state.LoggedProgress[0], kNoProgress);
        // An end is reported once.
        poll();
        EXPECT_EQ(state.DayLog.count(), afterProgress + (c.end ? 1 : 0));
    }
}

TEST_F(EventLogEvents, UserAbortNamesThePortOfTheScanThatStopped) {
    SetUpStartedLog();
    status[0] = mirror().activity(0x82).progress(40).b;
    poll();
    state.UserAbort[0] = 1;
    status[0] = mirror().b;
    poll();
    EXPECT_EQ(added(),
              "D1 P1 Scan 40%, 07.12.2026 09:00:04\r\n"
              "D1 P1 Scan User Abort, 07.12.2026 09:00:08\r\n");
}

TEST_F(EventLogEvents, AbortMarkLastsOnePass) {
    SetUpStartedLog();
    status[0] = mirror().activity(0x81).progress(40).b;
    poll();
    state.UserAbort[0] = 1;
    status[0] = mirror().activity(0x81).progress(41).b;
    poll();  // still scanning: the mark goes
    EXPECT_EQ(state.UserAbort[0], 0);
    status[0] = mirror().b;
    poll();
    EXPECT_EQ(added(),
              "D1 P0 Scan 40%, 07.12.2026 09:00:04\r\n"
              "D1 P0 Scan 41%, 07.12.2026 09:00:08\r\n"
              "D1 P0 OK, P1 OK, 07.12.2026 09:00:12\r\n");
}

TEST_F(EventLogEvents, AbortMarkOnARebuildIsNotAnAbort) {
    SetUpStartedLog();
    status[0] = mirror().activity(0x01).progress(99).b;
    poll();
    state.UserAbort[0] = 1;
    status[0] = mirror().b;
    poll();
    EXPECT_EQ(state.DayLog.line(state.DayLog.count() - 1), "D1 P1 --> P0 Done, 07.12.2026 09:00:08");
}

// Ring entry i holds LBA 4000000000 + i: above 2^31, so the sign shows.
Record withRing(Record r) {
    for (unsigned i = 0; i < 10; ++i) r.ring(i, 4000000000u + i);
    return r;
}

TEST_F(EventLogEvents, BadSectorsAreListedNewestTenOldestFirst) {
    SetUpStartedLog();
    status[0] = withRing(mirror().activity(0x04).badCount(13)).b;
    poll();
    EXPECT_EQ(added(),
              "D1 P0 Bad Sector was found. 07.12.2026 09:00:04\r\n"
              "  LBA: 4000000003\r\n"
              "  LBA: 4000000004\r\n"
              "  LBA: 4000000005\r\n"
              "  LBA: 4000000006\r\n"
              "  LBA: 4000000007\r\n"
              "  LBA: 4000000008\r\n"
              "  LBA: 4000000009\r\n"
              "  LBA: 4000000000\r\n"
              "  LBA: 4000000001\r\n"
              "  LBA: 4000000002\r\n");

    // Going down: nothing, but the count is taken.
    mark = state.DayLog.count();
    status[0] = withRing(mirror().activity(0x08).badCount(5)).b;
    poll();
    EXPECT_EQ(added(), "");
    status[0] = withRing(mirror().activity(0x08).badCount(7)).b;
    poll();
    // Rising while neither bad-sector bit is set: reported once one is.
    status[0] = withRing(mirror().badCount(9)).b;
    poll();
    status[0] = withRing(mirror().activity(0x08).badCount(9)).b;
    poll();
    EXPECT_EQ(added(),
              "D1 P1 Bad Sector was found. 07.12.2026 09:00:12\r\n"
              "  LBA: 4000000005\r\n"
              "  LBA: 4000000006\r\n"
              "D1 P1 Bad Sector was found. 07.12.2026 09:00:20\r\n"
              "  LBA: 4000000007\r\n"
              "  LBA: 4000000008\r\n");
}

TEST_F(EventLogEvents, ManyNewBadSectorsAfterSomeKnownOnesGiveTheNewestTen) {
    SetUpStartedLog();
    status[0] = withRing(mirror().activity(0x04).badCount(2)).b;
    poll();
    mark = state.DayLog.count();
    status[0] = withRing(mirror().activity(0x04).badCount(20)).b;
    poll();
    ASSERT_EQ(state.DayLog.count(), mark + 11);
    EXPECT_EQ(state.DayLog.line(mark + 1), "  LBA: 4000000000");  // bad sector 10
    EXPECT_EQ(state.DayLog.line(mark + 10), "  LBA: 4000000009");
}

TEST_F(EventLogEvents, BadSectorHeadingWithBothBitsFollowsTheActivity) {
    struct Case {
        std::uint8_t flags;
        std::uint8_t ports;
        const char* heading;  // nullptr: none
    };
    const Case cases[] = {
        {0x8D, 0x22, "D1 P0 Bad Sector was found. 07.12.2026 09:00:04"},  // scan of P0
        {0x0D, 0x22, "D1 P1 Bad Sector was found. 07.12.2026 09:00:04"},  // rebuild onto P0
        {0x8E, 0x22, "D1 P1 Bad Sector was found. 07.12.2026 09:00:04"},  // scan of P1
        {0x0E, 0x22, "D1 P0 Bad Sector was found. 07.12.2026 09:00:04"},  // rebuild onto P1
        {0x0C, 0x22, "D1 P0 Bad Sector was found. 07.12.2026 09:00:04"},
        {0x0C, 0x20, "D1 P1 Bad Sector was found. 07.12.2026 09:00:04"},
        {0x0C, 0x00, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.heading ? c.heading : "no heading");
        restart(mirror().ports(c.ports).b);
        status[0] = withRing(mirror().ports(c.ports).activity(c.flags).progress(30).badCount(1)).b;
        poll();
        const auto& l = state.DayLog.all();
        ASSERT_GE(l.size(), 2u);
        EXPECT_EQ(l.back(), "  LBA: 4000000000");
        if (c.heading) {
            EXPECT_EQ(l[l.size() - 2], c.heading);
        } else {
            EXPECT_EQ(l[l.size() - 2].find("Bad Sector"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace ardenvel::test
