// The monitor service's idle cost: ardenvel-cli monitor over four emulated
// enclosures, as the systemd unit runs it (hook, metrics, state, state
// directory), watched from outside. Wake-ups are the context switches of
// all its threads; memory is its peak resident set (VmHWM).
//
// Two runs: one polling every 4 s (the default), one with a 10-minute
// interval, which shows the wake-ups between polls alone. Targets: under 2
// wake-ups a second, under 10 MB.
//
//   MonitorServiceBench [SECONDS]   (each run; 60 by default)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A value of /proc/PID/task/*/status or /proc/PID/status, summed over the files.
long long statusField(const std::vector<fs::path>& files, const std::string& field) {
    long long sum = 0;
    for (const fs::path& f : files) {
        std::ifstream in(f);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(field + ":", 0) == 0) sum += std::atoll(line.substr(field.size() + 1).c_str());
    }
    return sum;
}

std::vector<fs::path> taskStatus(pid_t pid) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        out.push_back(t.path() / "status");
    return out;
}

long long switches(pid_t pid) {
    const auto tasks = taskStatus(pid);
    return statusField(tasks, "voluntary_ctxt_switches") + statusField(tasks, "nonvoluntary_ctxt_switches");
}

struct Figures {
    double wakeupsPerSecond = 0;
    long long peakKb = 0;
    long long threads = 0;
    unsigned polls = 0;
};

Figures measure(const fs::path& root, double interval, int seconds) {
    const fs::path logs = root / "logs", state = root / ("state-" + std::to_string(int(interval)));
    std::vector<std::string> args = {ARDENVEL_CLI};
    for (int i = 0; i < 4; ++i) {
        args.push_back("--virtual");
        args.push_back((root / ("e" + std::to_string(i))).string());
    }
    const std::vector<std::string> rest = {"--log-dir",
                                           logs.string(),
                                           "monitor",
                                           "--interval",
                                           std::to_string(interval),
                                           "--exec",
                                           "/bin/true",
                                           "--metrics",
                                           (state / "ardenvel.prom").string(),
                                           "--state",
                                           (state / "status.json").string(),
                                           "--state-dir",
                                           state.string()};
    args.insert(args.end(), rest.begin(), rest.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    // Past start-up: discovery, the first poll, the first hooks.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const long long before = switches(pid);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long after = switches(pid);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Figures f;
    f.wakeupsPerSecond = double(after - before) / elapsed;
    f.peakKb = statusField({"/proc/" + std::to_string(pid) + "/status"}, "VmHWM");
    f.threads = statusField({"/proc/" + std::to_string(pid) + "/status"}, "Threads");
    std::ifstream metrics(state / "ardenvel.prom");
    for (std::string line; std::getline(metrics, line);)
        if (line.rfind("ardenvel_monitor_polls_total ", 0) == 0)
            f.polls = unsigned(std::atoi(line.c_str() + 29));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const fs::path root =
        fs::temp_directory_path() / ("ardenvel-service-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    for (int i = 0; i < 4; ++i) {
        fs::create_directories(root / ("e" + std::to_string(i)));
        fs::copy_file(fs::path(ARDENVEL_SOURCE_DIR) / "examples/mirror-lba/description.json",
                      root / ("e" + std::to_string(i)) / "description.json");
    }
    std::printf("ardenvel-cli monitor, four emulated enclosures, %d s per run\n", seconds);
    bool ok = true;
    for (double interval : {4.0, 600.0}) {
        const Figures f = measure(root, interval, seconds);
        std::printf("  interval %5.0f s: %6.2f wake-ups/s over %lld threads, %u polls, peak memory %.1f MB\n",
                    interval, f.wakeupsPerSecond, f.threads, f.polls, f.peakKb / 1024.0);
        ok = ok && f.wakeupsPerSecond < 2.0 && f.peakKb < 10 * 1024;
    }
    fs::remove_all(root);
    std::printf("%s\n", ok ? "targets met: < 2 wake-ups/s, < 10 MB" : "TARGETS MISSED");
    return ok ? 0 : 1;
}
