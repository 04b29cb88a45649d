// Splitting log text into lines, the whole-file replacement and the choice of
// the log directory.

#include <gtest/gtest.h>

#include <map>

#include "eventlog/LogFile.h"
#include "tests/eventlog/EventLogRig.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(SplitLines, EndsLinesAtCrLfLoneCrAndLoneLf) {
    EXPECT_EQ(splitLines("a\r\nb\rc\nd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(splitLines("a\r\n\r\n"), (Lines{"a", ""}));
    EXPECT_EQ(splitLines("a\n\rb"), (Lines{"a", "", "b"}));  // LF CR is two ends
    EXPECT_EQ(splitLines("a\r"), (Lines{"a"}));
    EXPECT_EQ(splitLines(""), Lines{});
    EXPECT_EQ(splitLines(std::string("x\0y\xFF", 4)), (Lines{std::string("x\0y\xFF", 4)}));
}

TEST(JoinLines, EndsEveryLineWithCrLf) {
    EXPECT_EQ(joinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
    EXPECT_EQ(joinLines({}), "");
}

class ReplaceFile : public EventLogRig {};

TEST_F(ReplaceFile, MakesTheDirectoryAndReplacesAnOldFile) {
    LogFiles files;
    const fs::path target = dir / "new" / "261207.log";
    ASSERT_TRUE(replaceFile(files, target, "one\r\n"));
    ASSERT_TRUE(replaceFile(files, target, "two\r\n"));
    EXPECT_EQ(readBytes(target), "two\r\n");
    EXPECT_FALSE(fs::exists(dir / "new" / "261207.log.tmp"));
}

// Refuses the rename, as when another program holds the file open.
class NoRename : public LogFiles {
public:
    bool rename(const fs::path&, const fs::path&) override { return false; }
};

TEST_F(ReplaceFile, FailedRenameLeavesTheOldFile) {
    writeBytes(dir / "261207.log", "old\r\n");
    NoRename files;
    EXPECT_FALSE(replaceFile(files, dir / "261207.log", "new\r\n"));
    EXPECT_EQ(readBytes(dir / "261207.log"), "old\r\n");
}

TEST_F(ReplaceFile, DirectoryWritableTellsARealDirectory) {
    EXPECT_TRUE(directoryWritable(dir));
    EXPECT_FALSE(directoryWritable(dir / "missing"));
    writeBytes(dir / "plain", "x");
    EXPECT_FALSE(directoryWritable(dir / "plain"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no probe left
}

struct Env {
    std::map<std::string, std::string> vars;
    EnvLookup lookup() const {
        return [this](const std::string& name) -> std::optional<std::string> {
            auto it = vars.find(name);
            if (it == vars.end()) return std::nullopt;
            return it->second;
        };
    }
};

TEST(ChooseLogDirectory, WritableExecutableDirectoryIsUsed) {
    Env env{{{"XDG_DATA_HOME", "/home/ann/.data"}, {"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"}}};
    auto yes = [](const fs::path&) { return true; };
    EXPECT_EQ(chooseLogDirectory("/opt/ardenvel", env.lookup(), yes, HostPlatform::Linux), "/opt/ardenvel");
    EXPECT_EQ(chooseLogDirectory("/opt/ardenvel", env.lookup(), yes, HostPlatform::Windows), "/opt/ardenvel");
}

TEST(ChooseLogDirectory, InstalledProgramLogsToThePerUserDataDirectory) {
    auto no = [](const fs::path&) { return false; };
    const fs::path exe = "/usr/bin";
    auto onLinux = [&](Env env) { return chooseLogDirectory(exe, env.lookup(), no, HostPlatform::Linux); };
    EXPECT_EQ(onLinux({{{"XDG_DATA_HOME", "/home/ann/.data"}, {"HOME", "/home/ann"}}}),
              "/home/ann/.data/ardenvel");
    // A relative or empty XDG_DATA_HOME is ignored.
    EXPECT_EQ(onLinux({{{"XDG_DATA_HOME", "data"}, {"HOME", "/home/ann"}}}),
              "/home/ann/.local/share/ardenvel");
    EXPECT_EQ(onLinux({{{"XDG_DATA_HOME", ""}, {"HOME", "/home/ann"}}}), "/home/ann/.local/share/ardenvel");
    EXPECT_EQ(onLinux({}), exe);

    const Env win{{{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"}, {"XDG_DATA_HOME", "/x"}}};
    EXPECT_EQ(chooseLogDirectory(exe, win.lookup(), no, HostPlatform::Windows),
              fs::path("C:\\Users\\ann\\AppData\\Local") / "Ardenvel");
    EXPECT_EQ(chooseLogDirectory(exe, Env{}.lookup(), no, HostPlatform::Windows), exe);
}

}  // namespace
}  // namespace ardenvel::test
