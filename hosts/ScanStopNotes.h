#pragma once
// Notes that a scan was stopped, left beside the machine's device lock where
// every Ardenvel process that shares the disks looks. The process that
// stops a scan writes one; a monitor in another process reads it before its
// next poll and logs the end of that scan as "User Abort", as the window
// that sent the stop would.
//
// Each user writes a file of its own (another user's file in a shared
// sticky directory cannot be replaced), holding its latest stops.

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ardenvel {

struct ScanStop {
    unsigned drive = 0;  // physical drive number
    int port = 0;        // 0 = P0, 1 = P1

    friend bool operator==(const ScanStop&, const ScanStop&) = default;
};

class ScanStopNotes {
public:
    explicit ScanStopNotes(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return dir_; }
    // Whether `name`, a file in the directory, holds notes.
    static bool isNoteFile(const std::string& name);

    // Adds a note of this process's user. False when it cannot be written.
    bool record(const ScanStop& stop);
    // The stops noted since the last call. The first call takes in what is
    // there already and returns nothing: those stops are old news.
    std::vector<ScanStop> takeNew();

    static constexpr std::size_t kKeptPerUser = 32;

private:
    std::filesystem::path dir_;
    std::set<std::string> seen_;
    bool started_ = false;
};

}  // namespace ardenvel
