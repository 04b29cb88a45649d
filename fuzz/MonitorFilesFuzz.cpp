// libFuzzer target over the two files the monitor reads that others may
// have written: its memory of what was alerted (the state directory) and the
// notes of stopped scans (a directory every user shares). The first byte
// picks the file. Whatever the bytes, nothing crashes, a memory that cannot
// be used leaves the filter as if fresh, and a note names a port 0 or 1.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "cli/MonitorAlerts.h"
#include "fuzz/FuzzInput.h"
#include "hosts/ScanStopNotes.h"

namespace ardenvel::fuzz {
namespace {

namespace fs = std::filesystem;

// The memory file holds the input, and nothing else is there.
class InputFiles : public LogFiles {
public:
    explicit InputFiles(std::string bytes) : bytes_(std::move(bytes)) {}
    bool exists(const fs::path&) override { return true; }
    std::optional<std::string> read(const fs::path&) override { return bytes_; }
    bool write(const fs::path&, std::string_view) override { return true; }
    bool rename(const fs::path&, const fs::path&) override { return true; }
    bool createDirectories(const fs::path&) override { return true; }

private:
    std::string bytes_;
};

void alertMemory(const std::string& bytes) {
    InputFiles files(bytes);
    cli::AlertFilter alerts(20, true, fs::path("alerts.json"), files);
    const bool usable = !alerts.load().has_value();
    std::size_t dropped = 0;
    for (const cli::HookDelivery& d : alerts.takePending({"hook"}, dropped)) FUZZ_CHECK(d.program == "hook");
    StatusBuffers records{};
    records[1][status::kPortState] = 0x28;
    records[1][status::kActivityFlags] = activity::kBadP1;
    LogEvent bad;
    bad.kind = EventKind::BadSectors;
    bad.slot = 1;
    bad.port = 1;
    bad.lbas = {7, 8};
    bad.lines = {"D2 P1 Bad Sector was found. T", "  LBA: 7", "  LBA: 8"};
    const std::vector<cli::EnclosureSeen> seen{{1, "MODEL", "SERIAL"}};
    const auto out =
        alerts.select({bad}, records, seen, LocalTime{}, std::chrono::system_clock::time_point{});
    for (const cli::Alert& a : out) FUZZ_CHECK(a.event.slot == 1);
    if (!usable) {
        // Forgotten whole: a fresh filter passes on the enclosure, its
        // failed disk and the bad sectors.
        FUZZ_CHECK(out.size() == 3);
    }
    alerts.reminders(records, LocalTime{}, std::chrono::system_clock::time_point{} + std::chrono::hours(48));
    FUZZ_CHECK(!alerts.save({}, true).has_value());
}

void scanStopNotes(const std::string& bytes) {
    static const fs::path dir =
        fs::temp_directory_path() / ("ardenvel-fuzz-notes-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ScanStopNotes notes(dir);
    std::ofstream(dir / "ardenvel-scan-stops.0", std::ios::binary | std::ios::trunc) << "";
    notes.takeNew();
    std::ofstream(dir / "ardenvel-scan-stops.0", std::ios::binary | std::ios::trunc) << bytes;
    for (const ScanStop& s : notes.takeNew()) FUZZ_CHECK((s.port == 0 || s.port == 1) && s.drive < 64);
}

}  // namespace
}  // namespace ardenvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        ardenvel::fuzz::alertMemory(bytes);
    else
        ardenvel::fuzz::scanStopNotes(bytes);
    return 0;
}
