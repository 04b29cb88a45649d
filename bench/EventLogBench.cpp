// One event-log pass over a day's log of 20,000 lines: the pass adds one
// event line and rewrites the whole file (about 1 MB). Target: under 20 ms.
//
//   EventLogBench

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device/ByteOrder.h"
#include "eventlog/EventLog.h"
#include "hosts/SystemClock.h"
#include "platform/Ui.h"

namespace {

using namespace ardenvel;

constexpr std::size_t kDayLines = 20000;

void UpdateEventLogPass(benchmark::State& bench) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "ardenvel-eventlog-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    SystemClock clock;
    QuietUi ui;
    DiscoveryTables tables;
    tables.deviceCount = 1;
    tables.deviceTable[0] = 2 | kUsbPath;
    StatusBuffers status{};
    writeLe32(status[0], status::kConfiguredCapacity, 1953525168u);

    EventLogState state;
    state.LogDirectory = dir;
    // The start-up pass makes today's file; then the panel has been refreshed.
    status[0][status::kPortState] = 0x22;
    UpdateEventLog(state, EventLogInputs{clock, ui, tables, status, true, false}, 0x01);

    std::vector<std::string> day = state.DayLog.all();
    while (day.size() < kDayLines) day.push_back("D1 P0 Scan 42%, 07.12.2026 09:41:12");
    state.DayLog.assign(day);

    bool removed = false;
    for (auto _ : bench) {
        bench.PauseTiming();
        state.DayLog.assign(day);
        removed = !removed;
        status[0][status::kPortState] = removed ? 0x42 : 0x22;
        bench.ResumeTiming();

        UpdateEventLog(state, EventLogInputs{clock, ui, tables, status, false, false}, 0x01);
    }
    bench.counters["lines"] = static_cast<double>(state.DayLog.count());
    std::filesystem::remove_all(dir);
}

BENCHMARK(UpdateEventLogPass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
