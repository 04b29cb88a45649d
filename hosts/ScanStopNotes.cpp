#include "hosts/ScanStopNotes.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
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

std::vector<Note> readNotes(const fs::path& file) {
    std::vector<Note> notes;
    std::ifstream in(file);
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
    LogFiles files;
    if (!replaceFile(files, file, text)) return false;
#ifndef _WIN32
    // Every user's monitor reads it, whatever the umask.
    ::chmod(file.c_str(), 0644);
#endif
    return true;
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
