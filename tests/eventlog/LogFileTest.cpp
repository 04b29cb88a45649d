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

// An installed program never logs into its own folder on Linux, root least
// of all (/usr/local/bin/261209.log); Windows keeps a writable one.
TEST(ChooseLogDirectory, EachKindOfRunLogsWhereItsUserLooks) {
    const Env home{{{"HOME", "/home/ann"}}};
    const Env state{{{"XDG_STATE_HOME", "/home/ann/st"}, {"HOME", "/home/ann"}}};
    const Env relative{{{"XDG_STATE_HOME", "st"}, {"HOME", "/home/ann"}}};
    const Env empty{{{"XDG_STATE_HOME", ""}, {"HOME", "/home/ann"}}};
    const Env win{{{"ProgramData", "C:\\ProgramData"}, {"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"}}};
    const Env winUser{{{"LOCALAPPDATA", "C:\\Users\\ann\\AppData\\Local"}}};
    struct Row {
        HostPlatform platform;
        bool buildTree, root, writable;
        const Env& env;
        fs::path expected;
    };
    const fs::path exe = "/opt/ardenvel/bin";
    const Row rows[] = {
        {HostPlatform::Linux, true, false, true, state, exe},
        {HostPlatform::Linux, true, true, true, state, exe},
        {HostPlatform::Linux, true, false, false, state, "/home/ann/st/ardenvel"},
        {HostPlatform::Linux, false, true, true, state, "/var/log/ardenvel"},
        {HostPlatform::Linux, false, false, true, state, "/home/ann/st/ardenvel"},
        {HostPlatform::Linux, false, false, true, home, "/home/ann/.local/state/ardenvel"},
        // XDG ignores a relative or empty base.
        {HostPlatform::Linux, false, false, true, relative, "/home/ann/.local/state/ardenvel"},
        {HostPlatform::Linux, false, false, true, empty, "/home/ann/.local/state/ardenvel"},
        {HostPlatform::Linux, false, false, false, Env{}, exe},
        {HostPlatform::Windows, false, false, true, win, exe},
        {HostPlatform::Windows, false, false, false, win, fs::path("C:\\ProgramData") / "Ardenvel"},
        {HostPlatform::Windows, false, false, false, winUser,
         fs::path("C:\\Users\\ann\\AppData\\Local") / "Ardenvel"},
        {HostPlatform::Windows, false, false, false, state, exe},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.expected.string());
        const ProgramPlace program{exe, r.buildTree, r.root};
        auto writable = [&](const fs::path& d) { return d == exe && r.writable; };
        EXPECT_EQ(chooseLogDirectory(program, r.env.lookup(), writable, r.platform), r.expected);
    }
}

}  // namespace
}  // namespace ardenvel::test
