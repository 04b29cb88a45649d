// The day's file: how it starts, what survives a restart, a change of day, a
// crash in the middle of a write and a file that cannot be written.

#include <map>
#include <random>
#include <stdexcept>

#include "tests/eventlog/EventLogRig.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;

const char kDevice1Block[] =
    "Device1 information :\r\n"
    "Mirror, F/W Rev. 090619.0\r\n"
    "Configured Capacity : 931 GB(1953525168 Sectors)\r\n"
    "  P0 is present.(SATA2)\r\n"
    "    Serial no.: \"WD-WCAV12345678     \"\r\n"
    "    Capacity : 931 GB(1953525168 Sectors)\r\n"
    "  P1 is present.(SATA3)\r\n"
    "    Serial no.: \"S2H7J9AB123456      \"\r\n"
    "    Capacity : 931 GB(1953525168 Sectors)\r\n";

// The same device once its P1 disk has gone.
const char kDevice1BlockP1Absent[] =
    "Device1 information :\r\n"
    "Mirror, F/W Rev. 090619.0\r\n"
    "Configured Capacity : 931 GB(1953525168 Sectors)\r\n"
    "  P0 is present.(SATA2)\r\n"
    "    Serial no.: \"WD-WCAV12345678     \"\r\n"
    "    Capacity : 931 GB(1953525168 Sectors)\r\n"
    "  P1 is absent. \r\n";

const char kSep[] = "-------------------------------------------------------------------------\r\n";

using EventLogFile = EventLogRig;

TEST_F(EventLogFile, StartUpWithoutTodaysFileDescribesEachDeviceRead) {
    // Slot 1: P0 failed for its size, P1 inserted; slot 2 exists but was not read.
    tables.deviceCount = 3;
    status[1] = Record{}
                    .mode(0)
                    .configured(3907029168u)
                    .ports(0x18)
                    .sata(1, 0)
                    .serial(0, "ST31000524AS")
                    .capacity(0, 976773168)
                    .b;
    status[2] = mirror().b;
    pass(0x03);

    EXPECT_EQ(file(),
              "-------------------------------------------------------------------------\r\n"
              "GUI has started from 07.12.2026 09:00:00\r\n"
              "Device1 information :\r\n"
              "Mirror, F/W Rev. 090619.0\r\n"
              "Configured Capacity : 931 GB(1953525168 Sectors)\r\n"
              "  P0 is present.(SATA2)\r\n"
              "    Serial no.: \"WD-WCAV12345678     \"\r\n"
              "    Capacity : 931 GB(1953525168 Sectors)\r\n"
              "  P1 is present.(SATA3)\r\n"
              "    Serial no.: \"S2H7J9AB123456      \"\r\n"
              "    Capacity : 931 GB(1953525168 Sectors)\r\n"
              "Device2 information :\r\n"
              "Striping, F/W Rev. 080101.1\r\n"
              "Configured Capacity : 1863 GB(3907029168 Sectors)\r\n"
              "  P0 was failed, Capacity too small.\r\n"
              "    Serial no.: \"ST31000524AS        \"\r\n"
              "    Capacity : 465 GB(976773168 Sectors)\r\n"
              "P1 was inserted.\r\n"
              "-------------------------------------------------------------------------\r\n");
    EXPECT_EQ(state.DayLog.count(), 19u);
    EXPECT_FALSE(fs::exists(dir / "261207.log.tmp"));
}

TEST_F(EventLogFile, StartUpKeepsTodaysEarlierLinesWhateverTheirLineEnds) {
    writeBytes(today(), "old A\r\nold B\rold C\nold D");
    pass();
    EXPECT_EQ(file(), std::string("old A\r\nold B\r\nold C\r\nold D\r\n") + kSep +
                          "GUI has started from 07.12.2026 09:00:00\r\n" + kDevice1Block + kSep);
}

// What an upgrade repaired, logged outside a poll: before the first pass it
// goes into today's file, which that pass reads; later it joins DayLog.
TEST_F(EventLogFile, ALineFromOutsideAPollStaysInTodaysFile) {
    writeBytes(today(), "old A\r\n");
    AppendLogLine(state, clock, ui, "D1 repaired");
    EXPECT_EQ(file(), "old A\r\nD1 repaired, 07.12.2026 09:00:00\r\n");
    startUp();
    EXPECT_EQ(file().rfind(std::string("old A\r\nD1 repaired, 07.12.2026 09:00:00\r\n") + kSep, 0), 0u);
    clock.current += std::chrono::seconds(2);
    AppendLogLine(state, clock, ui, "D1 again");
    EXPECT_EQ(state.DayLog.line(state.DayLog.count() - 1), "D1 again, 07.12.2026 09:00:02");
    poll();
    EXPECT_NE(file().find("\r\nD1 again, 07.12.2026 09:00:02\r\n"), std::string::npos);
}

TEST_F(EventLogFile, StartUpPassRepeatsUntilThePanelIsRefreshed) {
    pass();
    const std::string first = file();
    poll();  // no device page refresh yet
    EXPECT_EQ(file(), first + kSep + "GUI has started from 07.12.2026 09:00:04\r\n" + kDevice1Block + kSep);
}

TEST_F(EventLogFile, FirstPassAfterAnEarlyPanelRefreshStillKeepsTodaysLines) {
    writeBytes(today(), "old A\r\n");
    firstRefreshPending = false;
    status[0] = mirror().ports(0x02).b;  // only P0, so the one event is short
    pass();
    EXPECT_EQ(file(),
              "old A\r\n"
              "D1 P0 was initialized (SATA2), 07.12.2026 09:00:00\r\n"
              "  Serial no.: \"WD-WCAV12345678     \"\r\n"
              "  Capacity : 931 GB(1953525168 Sectors)\r\n");
}

TEST_F(EventLogFile, DayChangeStartsANewFileAndComparesPortsOnlyInTheNextPass) {
    startUp();
    const std::string yesterday = file();
    clock.set(2026, 12, 8, 0, 0, 0);
    status[0] = mirror().ports(0x42).b;  // P1 removed right at midnight
    pass();

    // Midnight stamps carry the date alone.
    EXPECT_EQ(readBytes(dir / "261208.log"), std::string(kSep) + kDevice1BlockP1Absent + kSep);
    EXPECT_EQ(file(), yesterday);

    poll();
    EXPECT_EQ(readBytes(dir / "261208.log"), std::string(kSep) + kDevice1BlockP1Absent + kSep +
                                                 "D1 P1 was removed, 08.12.2026 00:00:04\r\n");
}

TEST_F(EventLogFile, ClockSetBackAcrossMidnightKeepsBothDaysLines) {
    const fs::path eighthFile = dir / "261208.log";
    clock.set(2026, 12, 7, 23, 59, 50);
    startUp();
    poll();
    poll();
    poll();  // 00:00:02: the 8th's file starts
    status[0] = mirror().ports(0x42).b;
    poll();
    const std::string seventh = file();
    const std::string eighth = readBytes(eighthFile);
    ASSERT_NE(eighth.find("D1 P1 was removed, 08.12.2026 00:00:06\r\n"), std::string::npos) << eighth;

    // An NTP step puts the clock back before midnight: the 7th's file goes on
    // from its own lines, and the 8th's stays as it was.
    clock.set(2026, 12, 7, 23, 59, 57);
    status[0] = mirror().b;
    pass();
    EXPECT_EQ(file(), seventh +
                          "D1 P1 was initialized, (SATA3), 07.12.2026 23:59:57\r\n"
                          "  Serial no.: \"S2H7J9AB123456      \"\r\n"
                          "  Capacity : 931 GB(1953525168 Sectors)\r\n");
    EXPECT_EQ(readBytes(eighthFile), eighth);

    // Past midnight again, the 8th's file goes on from its own lines.
    clock.set(2026, 12, 8, 0, 0, 10);
    status[0] = mirror().ports(0x42).b;
    pass();
    EXPECT_EQ(readBytes(eighthFile), eighth + "D1 P1 was removed, 08.12.2026 00:00:10\r\n");
    EXPECT_EQ(joinLines(state.DayLog.all()), readBytes(eighthFile));
}

// Whatever the clock does, a pass only ever adds to the end of a day's file,
// and DayLog is the file of the pass's day.
TEST_F(EventLogFile, NoClockStepLosesALineOfAnyDaysFile) {
    std::mt19937 random(1207);
    std::map<fs::path, std::string> seen;
    clock.set(2026, 12, 7, 23, 59, 0);
    for (int step = 0; step < 400; ++step) {
        switch (random() % 6) {
            case 0: clock.current -= std::chrono::seconds(random() % 120); break;
            case 1: clock.current += std::chrono::hours(24); break;
            case 2: clock.current -= std::chrono::hours(24); break;
            default: clock.current += std::chrono::seconds(random() % 60); break;
        }
        const std::uint8_t ports[] = {0x22, 0x42, 0x12, 0x24, 0x82};
        status[0] = mirror().ports(ports[random() % 5]).b;
        pass();
        firstRefreshPending = false;
        for (const auto& f : fs::directory_iterator(dir)) {
            const std::string now = readBytes(f.path());
            std::string& before = seen[f.path()];
            ASSERT_EQ(now.substr(0, before.size()), before) << f.path() << " at step " << step;
            before = now;
        }
        ASSERT_EQ(joinLines(state.DayLog.all()), readBytes(LogFileName(dir, clock.toLocal(clock.now()))));
    }
    EXPECT_GE(seen.size(), 3u);
}

TEST_F(EventLogFile, RemovedFileIsStartedAgainAsANewDay) {
    startUp();
    fs::remove(today());
    poll();
    EXPECT_EQ(file(), std::string(kSep) + kDevice1Block + kSep);
}

TEST_F(EventLogFile, DeviceTextCannotBreakALine) {
    status[0] = mirror().serial(0, "AB\rCD\nEF\xE9").b;
    firmware(2, "0906\r\n9.");
    startUp();
    const auto& lines = state.DayLog.all();
    EXPECT_EQ(lines[3], "Mirror, F/W Rev. 0906  9.");
    EXPECT_EQ(lines[6], "    Serial no.: \"AB CD EF\xE9           \"");

    // Bytes after a NUL are not part of the text.
    status[0] = mirror().ports(0x20).b;
    poll();
    status[0] = mirror().serial(0, std::string("XY\0Z\r", 5)).b;
    poll();
    EXPECT_EQ(state.DayLog.line(state.DayLog.count() - 2), "  Serial no.: \"XY\"");

    // Read back, the file has exactly DayLog's lines.
    const auto back = readLogLines(*state.Files, today());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, state.DayLog.all());
}

// Writes the temporary file half-way and dies.
class CrashingFiles : public LogFiles {
public:
    bool write(const fs::path& path, std::string_view bytes) override {
        if (!crash) return LogFiles::write(path, bytes);
        LogFiles::write(path, bytes.substr(0, bytes.size() / 2));
        throw std::runtime_error("power lost");
    }
    bool crash = false;
};

TEST_F(EventLogFile, CrashDuringAWriteLeavesThePreviousCompleteLog) {
    auto files = std::make_unique<CrashingFiles>();
    CrashingFiles* crashing = files.get();
    state.Files = std::move(files);
    startUp();
    const std::string complete = file();

    crashing->crash = true;
    status[0] = mirror().ports(0x42).b;
    EXPECT_THROW(poll(), std::runtime_error);
    EXPECT_EQ(file(), complete);

    // The next run starts from that log; the half-written file is replaced.
    EventLogState next;
    next.LogDirectory = dir;
    state = std::move(next);
    firstRefreshPending = true;
    poll();
    EXPECT_EQ(file(), complete + kSep + "GUI has started from 07.12.2026 09:00:08\r\n" +
                          kDevice1BlockP1Absent + kSep);
    EXPECT_FALSE(fs::exists(dir / "261207.log.tmp"));
}

TEST_F(EventLogFile, UnwritableFileIsReportedOnceAndKeptInMemory) {
    // A directory that cannot be made, because a file stands in its way.
    writeBytes(dir / "blocker", "x");
    state.LogDirectory = dir / "blocker" / "logs";
    const std::string path = (state.LogDirectory / "261207.log").string();

    startUp();
    status[0] = mirror().ports(0x42).b;
    poll();
    poll();
    const std::vector<std::string> once = {"Cannot write the event log " + path + "; it is kept in memory"};
    EXPECT_EQ(ui.panelHistory[kPanelMessages], once);
    // Nothing was lost to the missing file: the start-up lines and the event.
    ASSERT_EQ(state.DayLog.count(), 13u);
    EXPECT_EQ(state.DayLog.line(12), "D1 P1 was removed, 07.12.2026 09:00:04");

    // Once the directory can be made, the next pass writes all of it, even
    // with nothing new to say.
    fs::remove(dir / "blocker");
    poll();
    EXPECT_EQ(readBytes(state.LogDirectory / "261207.log"), joinLines(state.DayLog.all()));
    EXPECT_EQ(ui.panelHistory[kPanelMessages].size(), 1u);
}

TEST_F(EventLogFile, LinesLeftUnwrittenBeforeMidnightReachTheirOwnDaysFile) {
    writeBytes(dir / "blocker", "x");
    state.LogDirectory = dir / "blocker" / "logs";
    startUp();
    status[0] = mirror().ports(0x42).b;
    poll();
    const std::string yesterday = joinLines(state.DayLog.all());

    fs::remove(dir / "blocker");
    clock.set(2026, 12, 8, 0, 0, 10);
    pass();
    EXPECT_EQ(readBytes(state.LogDirectory / "261207.log"), yesterday);
    EXPECT_EQ(readBytes(state.LogDirectory / "261208.log"), std::string(kSep) + kDevice1BlockP1Absent + kSep);
}

// Today's file is there but cannot be read.
class UnreadableFiles : public CountingFiles {
public:
    std::optional<std::string> read(const fs::path&) override { return std::nullopt; }
};

TEST_F(EventLogFile, UnreadableTodaysFileIsNeverOverwritten) {
    writeBytes(today(), "precious\r\n");
    state.Files = std::make_unique<UnreadableFiles>();
    startUp();
    status[0] = mirror().ports(0x42).b;
    poll();

    EXPECT_EQ(file(), "precious\r\n");
    EXPECT_EQ(ui.panelHistory[kPanelMessages].size(), 1u);
    EXPECT_EQ(ui.panel(kPanelMessages).rfind("Cannot read the event log " + today().string(), 0), 0u);
    EXPECT_EQ(state.DayLog.line(state.DayLog.count() - 1), "D1 P1 was removed, 07.12.2026 09:00:04");
}

}  // namespace
}  // namespace ardenvel::test
