#pragma once
// What `ardenvel-cli monitor` is told: on its command line, or, for what the
// command line leaves out, in ARDENVEL_* variables (the service's
// environment file).

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/HookRunner.h"
#include "eventlog/LogFile.h"

namespace ardenvel::cli {

struct MonitorSettings {
    std::optional<double> interval;  // seconds between polls; 4
    std::optional<unsigned> count;   // polls, then stop
    std::vector<std::string> hooks;  // --exec PROGRAM, repeatable
    std::optional<double> hookTimeout;
    std::optional<unsigned> increment;  // progress events every N percent; 20
    std::optional<bool> remindDaily;
    std::optional<unsigned> retries;   // runs of a failed hook after the first; 10
    std::optional<double> retryDelay;  // seconds before the first retry, doubled after each; 30
    bool test = false;
    std::optional<bool> testOnStart;  // the test event through every channel at the start
    bool journal = false;             // critical events to the systemd journal
    bool json = false;                // JSON lines on standard output
    std::optional<std::filesystem::path> metricsFile;
    std::optional<std::filesystem::path> stateFile;
    std::optional<std::filesystem::path> stateDir;

    double intervalSeconds() const { return interval.value_or(4.0); }
    std::chrono::milliseconds hookLimit() const;
    unsigned progressIncrement() const { return increment.value_or(20); }
    HookRetries hookRetries() const;
};

enum class OptionResult { NotMine, Taken, Bad };

// Reads the monitor option at args[i], moving i past its value. On Bad,
// `error` says why.
OptionResult parseMonitorOption(const std::vector<std::string>& args, std::size_t& i, MonitorSettings& s,
                                std::string& error);

// Fills what the command line left unset from ARDENVEL_INTERVAL,
// ARDENVEL_EXEC, ARDENVEL_EXEC_TIMEOUT, ARDENVEL_EXEC_RETRIES,
// ARDENVEL_EXEC_RETRY_DELAY, ARDENVEL_INCREMENT, ARDENVEL_REMIND and
// ARDENVEL_TEST_ON_START.
// Empty variables count as unset. The error names the variable.
std::optional<std::string> applyMonitorEnvironment(MonitorSettings& s, const EnvLookup& env);

}  // namespace ardenvel::cli
