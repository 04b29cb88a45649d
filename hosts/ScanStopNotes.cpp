#include "hosts/ScanStopNotes.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "eventlog/LogFile.h"

namespace ardenvel {

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "ardenvel-scan-stops.";

std::string userTag() {
#ifdef _WIN32
    return "user";
#else
    return std::to_string(::getuid());
#endif
}

long processId() {
#ifdef _WIN32
    return _getpid();
#else
    return ::getpid();
#endif
}

// One note per line: "ID DRIVE PORT", the ID unique to the stop.
struct Note {
    std::string id;
    ScanStop stop;
};

// Any user may put a file by that name in a shared directory: only a plain
// file is read, never through a link, and no more than a note file holds.
constexpr std::size_t kMaxNoteBytes = 16 * 1024;

std::string readNoteFile(const fs::path& file) {
#ifdef _WIN32
    std::ifstream in(file, std::ios::binary);
    std::string text(kMaxNoteBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
#else
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(kMaxNoteBytes);
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    return text;
#endif
}

// Writes `text` to `file` through a temporary file of this process's own,
// made anew (never an existing file or link), then renamed over it.
bool writeNoteFile(const fs::path& file, const std::string& text) {
#ifdef _WIN32
    LogFiles files;
    return replaceFile(files, file, text);
#else
    fs::path temp = file;
    temp += std::string(".").append(std::to_string(processId())) + ".tmp";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // Every user's monitor reads it, whatever the umask.
    ::fchmod(fd, 0644);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (written && ::rename(temp.c_str(), file.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
#endif
}

std::vector<Note> readNotes(const fs::path& file) {
    std::vector<Note> notes;
    std::istringstream in(readNoteFile(file));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Note n;
        if (fields >> n.id >> n.stop.drive >> n.stop.port && n.stop.drive < 64 &&
            (n.stop.port == 0 || n.stop.port == 1))
            notes.push_back(n);
    }
    return notes;
}

}  // namespace

ScanStopNotes::ScanStopNotes(fs::path directory) : dir_(std::move(directory)) {}

bool ScanStopNotes::isNoteFile(const std::string& name) {
    return name.starts_with(kPrefix) && !name.ends_with(".tmp");
}

bool ScanStopNotes::record(const ScanStop& stop) {
    const fs::path file = dir_ / (kPrefix + userTag());
    std::vector<Note> notes = readNotes(file);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    notes.push_back({std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) + "-" +
                         std::to_string(processId()),
                     stop});
    if (notes.size() > kKeptPerUser) notes.erase(notes.begin(), notes.end() - kKeptPerUser);
    std::string text;
    for (const Note& n : notes)
        text += n.id + " " + std::to_string(n.stop.drive) + " " + std::to_string(n.stop.port) + "\n";
    return writeNoteFile(file, text);
}

std::vector<ScanStop> ScanStopNotes::takeNew() {
    std::vector<ScanStop> fresh;
    std::set<std::string> present;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_, ec)) {
        if (!isNoteFile(entry.path().filename().string())) continue;
        for (const Note& n : readNotes(entry.path())) {
            present.insert(n.id);
            if (started_ && !seen_.contains(n.id)) fresh.push_back(n.stop);
        }
    }
    // What the files no longer hold cannot come back.
    seen_ = std::move(present);
    started_ = true;
    return fresh;
}

}  // namespace ardenvel
