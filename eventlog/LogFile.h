#pragma once
// The log's files: reading a log into lines, replacing the day's file whole,
// and where the files live.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ardenvel {

struct BoundedRead {
    std::optional<std::string> bytes;  // nothing when unreadable or too large
    bool tooLarge = false;
};

// The file operations the log uses. The program uses these as they are; a
// test overrides one to make it fail or to stop half-way, as a crash would.
class LogFiles {
public:
    virtual ~LogFiles() = default;

    virtual bool exists(const std::filesystem::path& path);
    // The whole file as bytes; nothing when it cannot be read.
    virtual std::optional<std::string> read(const std::filesystem::path& path);
    // The same for a file the user picks, which may be anything: nothing is
    // read past limit + 1 bytes, and what is not a plain file (a device may
    // never end) is not read at all.
    virtual BoundedRead readAtMost(const std::filesystem::path& path, std::uintmax_t limit);
    // Creates or truncates path, writes bytes and flushes them.
    virtual bool write(const std::filesystem::path& path, std::string_view bytes);
    // Moves from over to, replacing to.
    virtual bool rename(const std::filesystem::path& from, const std::filesystem::path& to);
    virtual bool createDirectories(const std::filesystem::path& dir);
};

// Splits text into lines; a line ends at CR LF, a lone CR or a lone LF, and
// text after the last line end is a line of its own.
std::vector<std::string> splitLines(std::string_view text);

// The lines of a log file; nothing when it cannot be read.
std::optional<std::vector<std::string>> readLogLines(LogFiles& files, const std::filesystem::path& path);

// Every line followed by CR LF.
std::string joinLines(const std::vector<std::string>& lines);

// Replaces path with contents so that it holds either the old or the new
// contents whatever happens: the new file is written beside it as path +
// ".tmp" and then renamed over it.
bool replaceFile(LogFiles& files, const std::filesystem::path& path, std::string_view contents);

enum class HostPlatform { Linux, Windows };
#ifdef _WIN32
inline constexpr HostPlatform kThisPlatform = HostPlatform::Windows;
#else
inline constexpr HostPlatform kThisPlatform = HostPlatform::Linux;
#endif

using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
using WritableCheck = std::function<bool(const std::filesystem::path& dir)>;

// True when a file can be created in dir (tried, then removed).
bool directoryWritable(const std::filesystem::path& dir);

// How a program runs, for where its files go.
struct ProgramPlace {
    std::filesystem::path dir;  // the executable's directory
    bool inBuildTree = false;   // started from the tree it was built in
    bool privileged = false;    // root (Linux only)
};

// Linux: the program's own directory for a run from the build tree;
// /var/log/ardenvel for root; else $XDG_STATE_HOME/ardenvel, or
// ~/.local/state/ardenvel. Windows: the program's directory when it can be
// written, else %ProgramData%\Ardenvel, else %LOCALAPPDATA%\Ardenvel.
// Falls back to the program's directory when the environment names nothing.
std::filesystem::path chooseLogDirectory(const ProgramPlace& program, const EnvLookup& env,
                                         const WritableCheck& writable = directoryWritable,
                                         HostPlatform platform = kThisPlatform);

// $XDG_STATE_HOME, else ~/.local/state; nothing when neither is an absolute
// path (XDG ignores a relative one). Judged as POSIX paths on any system.
std::optional<std::filesystem::path> xdgStateHome(const EnvLookup& env);

// The process environment, for chooseLogDirectory.
std::optional<std::string> processEnv(const std::string& name);

}  // namespace ardenvel
