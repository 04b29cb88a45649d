// Notes of stopped scans, in a directory every user's processes share.

#include "hosts/ScanStopNotes.h"

#include "tests/support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace ardenvel {
namespace {

namespace fs = std::filesystem;

struct NotesDir {
    NotesDir() : path(test::scratchDir("notes-test")) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~NotesDir() { fs::remove_all(path); }
    fs::path path;
};

TEST(ScanStopNotes, AMonitorSeesEachStopNotedAfterItStartedOnce) {
    NotesDir dir;
    ScanStopNotes writer(dir.path), monitor(dir.path);
    ASSERT_TRUE(writer.record({3, 1}));
    EXPECT_TRUE(monitor.takeNew().empty()) << "a stop from before the monitor started";
    ASSERT_TRUE(writer.record({2, 0}));
    ASSERT_TRUE(ScanStopNotes(dir.path).record({2, 1}));
    EXPECT_EQ(monitor.takeNew(), (std::vector<ScanStop>{{2, 0}, {2, 1}}));
    EXPECT_TRUE(monitor.takeNew().empty());
    for (unsigned i = 0; i < ScanStopNotes::kKeptPerUser + 5; ++i) ASSERT_TRUE(writer.record({i % 8, 0}));
    EXPECT_EQ(monitor.takeNew().size(), ScanStopNotes::kKeptPerUser) << "the oldest fall out of the file";
}

// Whatever another user leaves under a note's name: nothing blocks, nothing
// is followed, and lines that are not notes are passed over.
TEST(ScanStopNotes, ForeignFilesUnderANotesNameAreReadSafely) {
    NotesDir dir;
    ScanStopNotes monitor(dir.path);
    monitor.takeNew();
    std::ofstream(dir.path / "ardenvel-scan-stops.4242") << "garbage\n1 2\nx 1 9\n7 99 0\n8 1 1 extra\n";
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir.path / "ardenvel-scan-stops.4243").c_str(), 0644), 0);
    std::ofstream(dir.path / "elsewhere") << "9 1 0\n";
    fs::create_symlink(dir.path / "elsewhere", dir.path / "ardenvel-scan-stops.4244");
#endif
    EXPECT_EQ(monitor.takeNew(), (std::vector<ScanStop>{{1, 1}}));
}

}  // namespace
}  // namespace ardenvel
