#pragma once
// Drives UpdateEventLog without a window: status records built field by
// field, a fixed clock, and a log directory of the test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "device/ByteOrder.h"
#include "eventlog/EventLog.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/TestUi.h"

namespace ardenvel::test {

// A status record, field by field.
struct Record {
    StatusBlock b{};

    Record& mode(std::uint8_t code) { return set(status::kRaidModeOfSystem, code); }
    Record& ports(std::uint8_t portState) { return set(status::kPortState, portState); }
    Record& activity(std::uint8_t flags) { return set(status::kActivityFlags, flags); }
    Record& progress(std::uint8_t percent) { return set(status::kProgressPercent, percent); }
    Record& sata(std::uint8_t p0, std::uint8_t p1) {
        return set(status::kSataGenerations, static_cast<std::uint8_t>(p0 | (p1 << 4)));
    }
    Record& configured(std::uint32_t sectors) {
        writeLe32(b, status::kConfiguredCapacity, sectors);
        return *this;
    }
    Record& capacity(int p, std::uint32_t sectors) {
        writeLe32(b, p == 0 ? status::kP0Capacity : status::kP1Capacity, sectors);
        return *this;
    }
    // Stored the way the bridge does: the two bytes of every pair swapped.
    Record& serial(int p, const std::string& text) {
        const std::size_t at = p == 0 ? status::kP0Serial : status::kP1Serial;
        for (std::size_t i = 0; i < status::kSerialLength; ++i) {
            b[at + (i ^ 1)] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
        }
        return *this;
    }
    Record& badCount(std::uint8_t count) { return set(status::kBadSectorCount, count); }
    Record& ring(unsigned entry, std::uint32_t lba) {
        writeLe32(b, status::kBadSectorRing + entry * 4, lba);
        return *this;
    }

private:
    Record& set(std::size_t at, std::uint8_t v) {
        b[at] = v;
        return *this;
    }
};

inline constexpr std::uint32_t k1TB = 1953525168;  // 931 GB

// A healthy mirror with both disks initialized.
inline Record mirror() {
    return Record{}
        .mode(1)
        .configured(k1TB)
        .ports(0x22)
        .sata(2, 3)
        .serial(0, "WD-WCAV12345678")
        .capacity(0, k1TB)
        .serial(1, "S2H7J9AB123456")
        .capacity(1, k1TB);
}

inline std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Counts the writes that reach the file system.
class CountingFiles : public LogFiles {
public:
    bool write(const std::filesystem::path& path, std::string_view bytes) override {
        ++writes;
        return LogFiles::write(path, bytes);
    }
    int writes = 0;
};

class EventLogRig : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = ardenvel::test::scratchDir("eventlog-test") /
              (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        state.LogDirectory = dir;
        auto files = std::make_unique<CountingFiles>();
        counting = files.get();
        state.Files = std::move(files);
        // Slot 0 on drive 2, slot 1 on drive 5.
        tables.deviceCount = 1;
        tables.deviceTable[0] = 2 | kUsbPath;
        tables.deviceTable[1] = 5 | kUsbPath;
        firmware(2, "090619.0");
        firmware(5, "080101.1");
        status[0] = mirror().b;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void firmware(unsigned drive, const std::string& text) {
        for (std::size_t i = 0; i < 8; ++i) {
            tables.sectorBuffers[drive][46 + (i ^ 1)] =
                i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
        }
    }

    void pass(std::uint8_t devicesRead = 0x01) {
        UpdateEventLog(state, EventLogInputs{clock, ui, tables, status, firstRefreshPending, scanCapable},
                       devicesRead);
    }
    // The start-up pass, then the panel's first refresh.
    void startUp(std::uint8_t devicesRead = 0x01) {
        pass(devicesRead);
        firstRefreshPending = false;
    }
    // A fresh program at 09:00:00 whose enclosure reports `start`, through
    // its start-up pass; the log directory stays.
    void restart(const StatusBlock& start) {
        EventLogState fresh;
        fresh.LogDirectory = dir;
        state = std::move(fresh);
        firstRefreshPending = true;
        clock.set(2026, 12, 7, 9, 0, 0);
        status[0] = start;
        startUp();
    }
    // The next poll, four seconds on.
    void poll(std::uint8_t devicesRead = 0x01) {
        clock.current += std::chrono::seconds(4);
        pass(devicesRead);
    }

    std::filesystem::path today() const { return dir / "261207.log"; }
    std::string file() const { return readBytes(today()); }
    // The lines added since `from`, one string with CR LF after each.
    std::string linesSince(std::size_t from) const {
        std::string out;
        for (std::size_t i = from; i < state.DayLog.count(); ++i) out += state.DayLog.line(i) + "\r\n";
        return out;
    }

    std::filesystem::path dir;
    FixedClock clock;  // 07.12.2026 09:00:00
    TestUi ui;
    DiscoveryTables tables;
    StatusBuffers status{};
    EventLogState state;
    CountingFiles* counting = nullptr;
    bool firstRefreshPending = true;
    bool scanCapable = true;
};

}  // namespace ardenvel::test
