#include "cli/Cli.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define ARDENVEL_ISATTY _isatty
#define ARDENVEL_FILENO _fileno
#else
#include <unistd.h>
#define ARDENVEL_ISATTY isatty
#define ARDENVEL_FILENO fileno
#endif

#include "cli/CliUi.h"
#include "cli/MonitorService.h"
#include "device/Discovery.h"
#include "device/SpiFlash.h"
#include "device/VuChannel.h"
#include "eventlog/EventLog.h"
#include "firmware/FirmwareLoad.h"
#include "firmware/ImageLayout.h"
#include "firmware/Upgrade.h"
#include "hosts/ExecutableDirectory.h"
#include "hosts/MachineLock.h"
#include "hosts/ScanStopNotes.h"
#include "hosts/SystemClock.h"
#include "hosts/TracingHost.h"
#include "hosts/virtual/EnclosureSet.h"
#include "hosts/virtual/VirtualHost.h"
#include "monitor/ControllerStatus.h"
#include "monitor/DeviceText.h"
#ifdef _WIN32
#include "hosts/win32/Win32Host.h"
#else
#include "hosts/linux/LinuxHost.h"
#include "hosts/remote/HelperLaunch.h"
#endif

namespace ardenvel::cli {
namespace {

using json = nlohmann::ordered_json;
#ifdef _WIN32
using SystemHost = win32::Win32Host;
#else
using SystemHost = LinuxHost;
#endif

#ifdef _WIN32
#define ARDENVEL_HELPER_SYNOPSIS ""
#define ARDENVEL_HELPER_USAGE ""
#else
#define ARDENVEL_HELPER_SYNOPSIS "[--helper PATH] "
#define ARDENVEL_HELPER_USAGE \
    "  --helper PATH   reach the disks through the host helper at PATH, started as it is\n"
#endif

constexpr char kUsage[] =
    "Usage: ardenvel-cli [--virtual DIR]... [--log-dir DIR] [--trace FILE] " ARDENVEL_HELPER_SYNOPSIS
    "[--lock-dir DIR] COMMAND [ARGS]\n"
    "       ardenvel-cli --help | --version\n"
    "\n"
    "Commands:\n"
    "  list [--json]                the enclosures found among the host's disks\n"
    "  status [--json]              each enclosure's decoded status record\n"
    "  monitor [--interval S] [--count N] [--exec PROGRAM]... [--metrics FILE] [--state FILE] ...\n"
    "                               poll, write the daily event log and raise alerts\n"
    "  buzzer mute|sound [--device N]\n"
    "  autoscan on|off [--device N]\n"
    "  scan stop P0|P1 [--device N] [--yes]\n"
    "  firmware check FILE          load and verify a firmware image\n"
    "  firmware upgrade FILE [--device N] [--yes]\n"
    "  --device N is the enclosure's number in list, 1 to 8 (the window's Device1 to Device4\n"
    "  are the first four).\n"
    "\n"
    "Options:\n"
    "  --virtual DIR   use the emulated enclosure described in DIR (repeatable)\n"
    "  --log-dir DIR   where the event logs and record dumps go\n"
    "  --trace FILE    write every request sent to the disks to FILE, each line\n"
    "                  after the time it completed\n" ARDENVEL_HELPER_USAGE
    "  --lock-dir DIR  keep the lock that gives one Ardenvel process at a time the\n"
    "                  disks in DIR (default: the machine's; with --virtual, the\n"
    "                  first enclosure's directory)\n"
    "  --help          this text; COMMAND --help for one command\n"
    "  --version       the version, and where the tool looks for its files\n"
    "\n"
    "Exit codes: 0 success, 1 failed, 2 bad usage, 3 no enclosure found,\n"
    "            4 firmware upgrade finished with fewer code types done than marked,\n"
    "            5 no rights to reach the disks.\n";

constexpr char kSeeHelp[] = "Run ardenvel-cli --help for the commands and options.\n";

struct CommandHelp {
    const char* name;
    const char* text;
};
constexpr CommandHelp kCommandHelp[] = {
    {"list",
     "Usage: ardenvel-cli list [--json]\n  Slot, physical drive, routes, volumes, firmware revision and "
     "model of each "
     "enclosure;\n  --json gives them as the schema of docs/cli.md.\n"},
    {"status",
     "Usage: ardenvel-cli status [--json]\n  The decoded status record of each enclosure; --json gives the "
     "schema of docs/cli.md.\n"},
    {"monitor",
     "Usage: ardenvel-cli monitor [--interval SECONDS] [--count N] [--exec PROGRAM]... [--exec-timeout "
     "SECONDS]\n"
     "                            [--increment N] [--metrics FILE] [--state FILE] [--state-dir DIR]\n"
     "                            [--remind-daily] [--test]\n"
     "  Polls every enclosure (every 4 s by default, 1 s at the shortest), writes the daily event\n"
     "  log as the window does and prints each new log line. Stops on SIGINT or SIGTERM, or after\n"
     "  N polls.\n"
     "  --exec PROGRAM      run PROGRAM once per event, the event in ARDENVEL_* variables\n"
     "  --exec-timeout S    kill a hook still running after S seconds (30)\n"
     "  --increment N       progress events every N percent (20)\n"
     "  --metrics FILE      write Prometheus metrics to FILE after every poll\n"
     "  --state FILE        write the status --json document to FILE after every poll\n"
     "  --state-dir DIR     remember in DIR what was alerted, across restarts\n"
     "  --remind-daily      alert again once a day while a disk stays failed\n"
     "  --test              send one test event to every hook and exit\n"
     "  --exec-retries N    run a failed hook again up to N times (10), then give it up\n"
     "  --exec-retry-delay S  wait S seconds before the first retry (30), doubling each time\n"
     "  --journal           critical events to the systemd journal (PRIORITY=2)\n"
     "  --test-on-start     send the test event to every hook and the journal at the start\n"
     "  --json              JSON lines for each event and poll instead of the log's lines\n"
     "  ARDENVEL_INTERVAL, ARDENVEL_EXEC, ARDENVEL_EXEC_TIMEOUT, ARDENVEL_EXEC_RETRIES,\n"
     "  ARDENVEL_EXEC_RETRY_DELAY, ARDENVEL_TEST_ON_START (yes|no), ARDENVEL_INCREMENT and\n"
     "  ARDENVEL_REMIND (daily|no) stand in for options not given. See docs/monitor.md.\n"},
    {"buzzer",
     "Usage: ardenvel-cli buzzer mute|sound [--device N]\n  Mutes or sounds the bridge's buzzer.\n"},
    {"autoscan",
     "Usage: ardenvel-cli autoscan on|off [--device N]\n  Switches the bridge's automatic surface scan.\n"},
    {"scan",
     "Usage: ardenvel-cli scan stop P0|P1 [--device N] [--yes]\n"
     "  Stops the surface scan on a port; asks first unless --yes is given.\n"},
    {"firmware",
     "Usage: ardenvel-cli firmware check FILE\n"
     "       ardenvel-cli firmware upgrade FILE [--device N] [--yes]\n"
     "  check: loads and verifies an image, prints its checksum and the code types it marks.\n"
     "  upgrade: programs each marked code type into a free slot, verifies it and records it.\n"},
};

// The command options each command takes. The monitor's own options
// (parseMonitorOption) are for monitor alone.
struct CommandOptions {
    const char* command;
    std::vector<std::string_view> options;
};
constexpr const char* kMonitorOptions = "monitor options";
const CommandOptions kCommandOptions[] = {
    {"list", {"--json"}},
    {"status", {"--json"}},
    {"monitor", {"--count", "--json", kMonitorOptions}},
    {"buzzer", {"--device"}},
    {"autoscan", {"--device"}},
    {"scan", {"--device", "--yes"}},
    {"firmware check", {}},
    {"firmware upgrade", {"--device", "--yes"}},
};

// Device slots as the tool reaches them; the window shows the first four.
constexpr unsigned kMostDevices = kDeviceTableSize;
// Real bridges are polled no more often than this: each poll is a run of
// vendor commands to every enclosure.
constexpr double kShortestInterval = 1.0;

struct Options {
    std::vector<std::string> virtualDirs;
    std::optional<std::filesystem::path> logDir;
    std::optional<std::filesystem::path> traceFile;
    std::optional<std::filesystem::path> lockDir;
    std::optional<std::string> helper;
    std::string command;
    std::vector<std::string> args;  // the command's own words, options removed
    // The command options given, by their long names, and whether each is a
    // monitor option.
    std::vector<std::pair<std::string, bool>> given;
    bool json = false;
    bool yes = false;
    bool help = false;
    bool version = false;
    unsigned device = 1;
    std::optional<unsigned> count;
    MonitorSettings monitor;
};

bool parseUnsigned(const std::string& s, unsigned& out) {
    if (s.empty() || s.size() > 9 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    out = static_cast<unsigned>(std::stoul(s));
    return true;
}

bool isCommandOption(const std::string& a) {
    for (const char* o : {"--json", "--yes", "-y", "--device", "--count"})
        if (a == o) return true;
    std::vector<std::string> words{a, "0"};
    std::size_t at = 0;
    MonitorSettings unused;
    std::string error;
    return a.starts_with("--") && parseMonitorOption(words, at, unused, error) != OptionResult::NotMine;
}

// Global options come before the command; the command's options may follow
// it. Which command takes which is checked afterwards (checkCommand).
std::optional<std::string> parseArgs(const std::vector<std::string>& args, Options& o) {
    std::size_t i = 0;
    auto value = [&]() -> std::optional<std::string> {
        if (i + 1 >= args.size()) return std::nullopt;
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--virtual") {
            auto v = value();
            if (!v) return "--virtual needs a directory";
            o.virtualDirs.push_back(*v);
        } else if (a == "--log-dir") {
            auto v = value();
            if (!v) return "--log-dir needs a directory";
            o.logDir = *v;
        } else if (a == "--trace") {
            auto v = value();
            if (!v) return "--trace needs a file";
            o.traceFile = *v;
        } else if (a == "--lock-dir") {
            auto v = value();
            if (!v) return "--lock-dir needs a directory";
            o.lockDir = *v;
#ifndef _WIN32
        } else if (a == "--helper") {
            auto v = value();
            if (!v) return "--helper needs the helper's path";
            o.helper = *v;
#endif
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (isCommandOption(a)) {
            return a + " is an option of the command: it goes after it";
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else {
            break;
        }
    }
    if (i < args.size()) o.command = args[i++];
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        const std::string name = a == "-y" ? "--yes" : a;
        if (a == "--json") {
            o.json = true;
        } else if (name == "--yes") {
            o.yes = true;
        } else if (a == "--device") {
            auto v = value();
            if (!v || !parseUnsigned(*v, o.device) || o.device < 1 || o.device > kMostDevices)
                return "--device needs an enclosure's number from 1 to " + std::to_string(kMostDevices) +
                       ", as list shows them";
        } else if (a == "--count") {
            auto v = value();
            unsigned n = 0;
            if (!v || !parseUnsigned(*v, n) || n == 0) return "--count needs a positive number";
            o.count = n;
        } else if (std::string error; a.starts_with("--")) {
            const OptionResult r = parseMonitorOption(args, i, o.monitor, error);
            if (r == OptionResult::Bad) return error;
            if (r == OptionResult::NotMine) return "unknown option " + a;
            o.given.emplace_back(name, true);
            continue;
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else {
            o.args.push_back(a);
            continue;
        }
        o.given.emplace_back(name, false);
    }
    return std::nullopt;
}

// The one word of a command that takes one of a few.
std::optional<std::string> oneWordOf(const std::string& what, const std::vector<std::string>& words,
                                     std::size_t at, std::initializer_list<const char*> choices) {
    std::string list;
    for (const char* c : choices) list += (list.empty() ? "" : " or "), list += c;
    if (words.size() <= at) return what + " needs " + list;
    if (std::none_of(choices.begin(), choices.end(), [&](const char* c) { return words[at] == c; }))
        return what + " takes " + list + ", not \"" + words[at] + "\"";
    return std::nullopt;
}

// The command's words and options, checked before anything starts: a
// mistake costs no prompt for rights and no request to a disk.
std::optional<std::string> checkCommand(const Options& o, bool interactive) {
    const auto& w = o.args;
    std::optional<std::string> problem;
    std::string name = o.command;
    std::size_t words = 0;
    if (o.command == "buzzer") {
        problem = oneWordOf("buzzer", w, 0, {"mute", "sound"}), words = 1;
    } else if (o.command == "autoscan") {
        problem = oneWordOf("autoscan", w, 0, {"on", "off"}), words = 1;
    } else if (o.command == "scan") {
        problem = oneWordOf("scan", w, 0, {"stop"});
        if (!problem) problem = oneWordOf("scan stop", w, 1, {"P0", "P1"});
        words = 2;
    } else if (o.command == "firmware") {
        problem = oneWordOf("firmware", w, 0, {"check", "upgrade"});
        if (!problem && w.size() < 2) problem = "firmware " + w[0] + " needs a FILE";
        if (!problem) name += " " + w[0];
        words = 2;
    }
    if (!problem && w.size() > words)
        problem = name + (words == 0 ? " takes no arguments, not \"" : " takes nothing after that, not \"") +
                  w[words] + "\"";
    if (problem) return problem;

    for (const CommandOptions& c : kCommandOptions) {
        if (name != c.command) continue;
        for (const auto& [option, monitorOption] : o.given) {
            const bool taken = std::any_of(c.options.begin(), c.options.end(), [&](std::string_view t) {
                return option == t || (monitorOption && t == kMonitorOptions);
            });
            if (!taken)
                return name + " does not take " + option +
                       (monitorOption ? " (an option of monitor)" : std::string());
        }
    }
    if (!o.yes && !interactive && (name == "scan" || name == "firmware upgrade"))
        return name + (name == "scan" ? " stop" : "") +
               " asks for confirmation; give --yes when not on a terminal";
    return std::nullopt;
}

// The monitor's settings with the environment's, and the bound on its
// interval for real bridges.
std::optional<std::string> settleMonitor(Options& o) {
    const bool onCommandLine = o.monitor.interval.has_value();
    o.monitor.count = o.count;
    o.monitor.json = o.json;
    if (auto problem = applyMonitorEnvironment(o.monitor, processEnv)) return problem;
    if (o.virtualDirs.empty() && o.monitor.intervalSeconds() < kShortestInterval)
        return std::string(onCommandLine ? "--interval" : "ARDENVEL_INTERVAL") +
               " must be at least 1 second for real enclosures";
    return std::nullopt;
}

std::string routeNames(std::uint32_t word) {
    std::string s;
    auto add = [&](const char* n) { s += (s.empty() ? "" : ","), s += n; };
    if (word & kUsbPath) add(word & kShiftPath ? "USB(shift)" : "USB");
    if (word & kLbaPath) add("LBA");
    if (word & kAtaPath) add("ATA");
    return s;
}

std::string volumesOf(const DiscoveryTables& t, unsigned drive) {
    std::string s;
    for (unsigned i = 0; i < t.logicalDriveCount && i < kLogicalDriveRecords; ++i)
        if (t.logicalDrives[i].driveType == kDriveFixed && t.logicalDrives[i].diskNumber == drive)
            s += t.logicalDrives[i].letter;
    return s;
}

// Local time to the microsecond: 14:03:59.123456.
std::string traceTime(const Clock& clock) {
    const auto now = clock.now();
    const LocalTime t = clock.toLocal(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06lld", t.hour, t.minute, t.second,
                  static_cast<long long>(micros));
    return buf;
}

// Device text as the terminal and JSON show it: UTF-8, one character per
// byte, ending at a NUL, control bytes as U+FFFD (docs/cli.md).
std::string shown(const std::string& s) {
    return deviceTextUtf8(s);
}

std::string trimmed(const std::string& s) {
    std::string t = shown(s);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    while (!t.empty() && t.front() == ' ') t.erase(t.begin());
    return t;
}

const char* conditionName(PortCondition c) {
    switch (c) {
        case PortCondition::Absent: return "absent";
        case PortCondition::Initialized: return "initialized";
        case PortCondition::Failed: return "failed";
        case PortCondition::Inserted: return "inserted";
        case PortCondition::None: return "none";
    }
    return "none";
}

const char* volumeStateName(VolumeState v) {
    switch (v) {
        case VolumeState::Normal: return "Normal";
        case VolumeState::Failure: return "Failure";
        case VolumeState::SingleDisk: return "Single HDD Present";
    }
    return "";
}

const char* sourceName(ModeSource s) {
    switch (s) {
        case ModeSource::Jumper: return "jumper";
        case ModeSource::Spi: return "spi";
        case ModeSource::Unstated: return "unstated";
    }
    return "unstated";
}

// The host, the device state and everything a command needs, for one run.
class Session {
public:
    Session(const Options& o, std::FILE* out, std::FILE* err, bool interactive)
        : opts_(o), out_(out), err_(err), interactive_(interactive), ui_(err, o.yes, interactive_) {}

    // `needsDisks` false: the command reads no disk, so no prompt for
    // rights. kExitOk, or the code to exit with.
    int open(bool needsDisks) {
        if (int rc = openBase(needsDisks); rc != kExitOk) return rc;
        Host* host = base_.get();
        if (opts_.traceFile) {
            traceStream_.open(*opts_.traceFile, std::ios::out | std::ios::trunc);
            if (!traceStream_) {
                std::fprintf(err_, "Cannot write the trace file %s.\n", opts_.traceFile->string().c_str());
                return kExitFailed;
            }
            tracing_ = std::make_unique<TracingHost>(*base_, [this](const std::string& line) {
                // The time lets two processes' traces be laid side by side.
                traceStream_ << traceTime(clock_) << ' ' << line << '\n';
                if (!bridgeRejection_.empty()) traceStream_ << "    rejected: " << bridgeRejection_ << '\n';
                bridgeRejection_.clear();
                traceStream_.flush();
            });
            host = tracing_.get();
        }
        dev_ = std::make_unique<DeviceState>(*host, ui_, clock_);
        SeedRandomLba(*dev_);
        // Virtual enclosures are shared by the processes given the same
        // directory, so that is where their lock lives.
        const std::optional<std::filesystem::path> lockDir =
            opts_.lockDir
                ? opts_.lockDir
                : (opts_.virtualDirs.empty() ? std::nullopt
                                             : std::optional<std::filesystem::path>(opts_.virtualDirs[0]));
        machineLock_ = lockDir ? makeDirectoryLock(*lockDir) : makeSystemMachineLock();
        if (lockDir && !machineLock_) {
            std::fprintf(err_, "Cannot make the lock files in %s.\n", lockDir->string().c_str());
            return kExitFailed;
        }
        dev_->operationLock.setMachineLock(machineLock_.get());
#ifndef _WIN32
        notesDir_ = lockDir ? lockDir : systemMachineLockDirectory();
#else
        notesDir_ = lockDir;
#endif
        if (ARDENVEL_ISATTY(ARDENVEL_FILENO(err_)) != 0)
            dev_->operationLock.setWaitNotice([this](bool waiting) {
                if (waiting) std::fprintf(err_, "%s\n", kTextWaitingForOtherProcess);
            });
        logDir_ = opts_.logDir ? *opts_.logDir : chooseLogDirectory(thisProgram(), processEnv);
        return kExitOk;
    }

    // One discovery pass, straight away, as the window's first one. It holds
    // the device for its whole length: the counts and the probes see one
    // state of the disks, and another process's operation none of it.
    unsigned discover() {
        std::lock_guard hold(dev_->operationLock);
        EnumerateDriveLetters(*dev_);
        dev_->physicalDriveCount = CountPhysicalDrives(*dev_);
        RunDiscovery(*dev_);
        ApplyDiscoveryResult(*dev_);
        // Without the rights the disks stay closed; the host says what to do.
        if (auto* system = dynamic_cast<SystemHost*>(base_.get()))
            if (auto warning = system->takePrivilegeWarning()) {
                std::fprintf(err_, "%s\n", warning->c_str());
                noRights_ = true;
            }
        return dev_->tables.deviceCount;
    }

    // Nothing found: for want of rights, or because there is nothing.
    int noEnclosure() {
        std::fprintf(err_, "No Drive found! \n");
        return noRights_ ? kExitNoRights : kExitNoEnclosure;
    }

    bool readStatus(unsigned slot, StatusBlock& block) {
        dev_->selectedDevice = static_cast<std::uint8_t>(slot);
        return ReadSpiRecord(*dev_, block.data());
    }

    std::string firmwareOf(unsigned slot) const {
        const auto& t = dev_->tables;
        return firmwareRevisionText(t.sectorBuffers[driveNumberOf(t.deviceTable[slot])]);
    }
    std::string modelOf(unsigned slot) const {
        const auto& t = dev_->tables;
        return modelText(t.sectorBuffers[driveNumberOf(t.deviceTable[slot])]);
    }

    int openBase(bool needsDisks) {
        // Nothing to start, nothing to ask for: a host without disks.
        if (!needsDisks) {
            base_ = std::make_unique<virt::VirtualHost>();
            return kExitOk;
        }
#ifndef _WIN32
        if (opts_.helper) {
            std::vector<std::string> command{*opts_.helper};
            for (const std::string& d : opts_.virtualDirs) command.insert(command.end(), {"--virtual", d});
            return startHelper(command);
        }
#endif
        if (!opts_.virtualDirs.empty()) {
            auto v = std::make_unique<virt::VirtualHost>();
            std::string error;
            if (!virt::loadEnclosureSet(*v, opts_.virtualDirs, error)) {
                std::fprintf(err_, "%s\n", error.c_str());
                return kExitFailed;
            }
            // Nothing here reads the emulator's own trace; the --trace file
            // gets the bridge's reason for each request it rejected.
            v->setTraceEnabled(false);
            v->setTraceObserver([this](const virt::TraceEntry& e) { bridgeRejection_ = e.rejected; });
            base_ = std::move(v);
            return kExitOk;
        }
#ifndef _WIN32
        // Root reaches the disks itself; a user at a terminal can answer the
        // helper's prompt; anyone else gets the privilege message.
        if (remote::chooseHostRoute(::geteuid() == 0, interactive_) == remote::HostRoute::Helper)
            return startHelper(remote::pkexecCommand(remote::helperPath(executableDirectory())));
#endif
        base_ = std::make_unique<SystemHost>();
        return kExitOk;
    }

#ifndef _WIN32
    int startHelper(const std::vector<std::string>& command) {
        remote::HelperLaunch launch = remote::launchHelper(command);
        switch (launch.outcome) {
            case remote::LaunchOutcome::Connected: base_ = std::move(launch.host); return kExitOk;
            case remote::LaunchOutcome::Declined:
            case remote::LaunchOutcome::NoAgent:
                std::fprintf(err_, "%s\n", launch.message.c_str());
                return kExitNoRights;
            default: std::fprintf(err_, "%s\n", launch.message.c_str()); return kExitFailed;
        }
    }
#endif

    int list();
    int status();
    int monitor();
    int settings(bool buzzer);
    int scan();
    int firmware();

private:
    int needEnclosure(unsigned& slot);
    json identityJson(unsigned slot);
    json statusJson(unsigned slot, const StatusBlock* block);
    void printStatus(unsigned slot, const StatusBlock* block);
    void printDocument(const json& enclosures);
    int upgrade(const std::string& file);

    const Options& opts_;
    std::FILE* out_;
    std::FILE* err_;
    bool interactive_;
    CliUi ui_;
    SystemClock clock_;
    std::unique_ptr<Host> base_;
    std::unique_ptr<TracingHost> tracing_;
    std::ofstream traceStream_;
    std::string bridgeRejection_;  // of the request in hand, on a virtual host
    std::unique_ptr<MachineLock> machineLock_;
    std::unique_ptr<DeviceState> dev_;
    std::filesystem::path logDir_;
    bool noRights_ = false;  // a disk was refused for want of rights
    // Beside the device lock: where scan stops are noted for a monitor.
    std::optional<std::filesystem::path> notesDir_;
};

int Session::list() {
    const unsigned n = discover();
    if (opts_.json) {
        json all = json::array();
        for (unsigned s = 0; s < n; ++s) all.push_back(identityJson(s));
        printDocument(all);
    }
    if (n == 0) return noEnclosure();
    if (opts_.json) return kExitOk;
    std::fprintf(out_, "%-5s %-6s %-16s %-8s %-9s %s\n", "SLOT", "DRIVE", "ROUTES", "VOLUMES", "FIRMWARE",
                 "MODEL");
    for (unsigned s = 0; s < n; ++s) {
        const std::uint32_t w = dev_->tables.deviceTable[s];
        std::fprintf(out_, "%-5u %-6u %-16s %-8s %-9s %s\n", s + 1, driveNumberOf(w), routeNames(w).c_str(),
                     volumesOf(dev_->tables, driveNumberOf(w)).c_str(), trimmed(firmwareOf(s)).c_str(),
                     trimmed(modelOf(s)).c_str());
    }
    return kExitOk;
}

json Session::identityJson(unsigned slot) {
    const std::uint32_t w = dev_->tables.deviceTable[slot];
    json j;
    j["slot"] = slot + 1;
    j["drive"] = driveNumberOf(w);
    j["routes"] = routeNames(w);
    j["volumes"] = volumesOf(dev_->tables, driveNumberOf(w));
    j["firmware"] = trimmed(firmwareOf(slot));
    j["model"] = trimmed(modelOf(slot));
    return j;
}

void Session::printDocument(const json& enclosures) {
    json doc;
    doc["version"] = 1;
    doc["enclosures"] = enclosures;
    // Every string in it is valid UTF-8 already; should one ever not be,
    // it is repaired rather than thrown on.
    std::fprintf(out_, "%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

json Session::statusJson(unsigned slot, const StatusBlock* block) {
    const std::string rev = firmwareOf(slot);
    json j = identityJson(slot);
    j["scanCapable"] = scanCapable(rev);
    j["read"] = block != nullptr;
    if (!block) return j;
    const StatusView v(*block);
    const bool capable = scanCapable(rev);
    j["raidMode"] = modeName(v.raidModeOfSystem());
    j["raidModeInSpi"] = modeName(v.raidModeInSpi());
    j["modeSource"] = sourceName(v.modeSource());
    j["buzzer"] = v.buzzerSounding() ? "sounding" : "muted";
    j["autoScan"] = v.autoScanOn();
    j["capacitySectors"] = v.configuredCapacity();
    j["capacityGb"] = capacityGb(v.configuredCapacity());
    j["volumeState"] = volumeStateName(v.volumeState());
    json act;
    const ActivityKind kind = v.activityKind(capable);
    act["kind"] = kind == ActivityKind::None ? "none" : kind == ActivityKind::Scan ? "scan" : "rebuild";
    if (kind != ActivityKind::None) {
        act["port"] = v.activityPort();
        act["percent"] = v.progressPercent();
    }
    j["activity"] = act;
    json ports = json::array();
    for (int p = 0; p < 2; ++p) {
        json pj;
        const PortCondition c = v.portCondition(p);
        pj["port"] = p;
        pj["state"] = conditionName(c);
        if (c == PortCondition::Initialized || c == PortCondition::Failed) {
            pj["serial"] = trimmed(v.serial(p));
            pj["model"] = trimmed(v.model(p));
            pj["capacitySectors"] = v.portCapacity(p);
            pj["capacityGb"] = capacityGb(v.portCapacity(p));
            pj["sataGeneration"] = v.sataGeneration(p);
        }
        pj["badSector"] = (v.activityFlags() & (p == 0 ? activity::kBadP0 : activity::kBadP1)) != 0;
        ports.push_back(pj);
    }
    j["ports"] = ports;
    json bad;
    const unsigned count = v.badSectorCount();
    bad["count"] = count;
    json lbas = json::array();
    for (unsigned k = count > 10 ? count - 10 : 0; k < count; ++k) lbas.push_back(v.badSectorLba(k));
    bad["latest"] = lbas;
    j["badSectors"] = bad;
    return j;
}

void Session::printStatus(unsigned slot, const StatusBlock* block) {
    const json j = statusJson(slot, block);
    std::fprintf(out_, "Device%u (PhysicalDrive%u, %s) [%s]\n", slot + 1, j["drive"].get<unsigned>(),
                 j["routes"].get<std::string>().c_str(), j["volumes"].get<std::string>().c_str());
    std::fprintf(out_, "  Model: %s  F/W Rev. %s\n", j["model"].get<std::string>().c_str(),
                 j["firmware"].get<std::string>().c_str());
    if (!block) {
        std::fprintf(out_, "  status could not be read\n");
        return;
    }
    std::fprintf(out_, "  RAID Mode of System: %s (in SPI: %s, set by %s)\n",
                 j["raidMode"].get<std::string>().c_str(), j["raidModeInSpi"].get<std::string>().c_str(),
                 j["modeSource"].get<std::string>().c_str());
    std::fprintf(out_, "  Capacity: %u GB (%u sectors)\n", j["capacityGb"].get<unsigned>(),
                 j["capacitySectors"].get<unsigned>());
    std::fprintf(out_, "  Buzzer: %s  Auto Scan: %s\n", j["buzzer"].get<std::string>().c_str(),
                 j["autoScan"].get<bool>() ? "on" : "off");
    for (const auto& p : j["ports"]) {
        std::fprintf(out_, "  P%d: %s", p["port"].get<int>(), p["state"].get<std::string>().c_str());
        if (p.contains("serial"))
            std::fprintf(out_, " (SATA%u) Serial# %s, %s, %u GB", p["sataGeneration"].get<unsigned>(),
                         p["serial"].get<std::string>().c_str(), p["model"].get<std::string>().c_str(),
                         p["capacityGb"].get<unsigned>());
        if (p["badSector"].get<bool>()) std::fprintf(out_, "  Bad Sector");
        std::fprintf(out_, "\n");
    }
    const auto& a = j["activity"];
    if (a["kind"] == "none") {
        std::fprintf(out_, "  Volume: %s\n", j["volumeState"].get<std::string>().c_str());
    } else if (a["kind"] == "scan") {
        std::fprintf(out_, "  P%d Scan %u%%\n", a["port"].get<int>(), a["percent"].get<unsigned>());
    } else {
        std::fprintf(out_, "  Rebuild %s %u%%\n", a["port"].get<int>() == 0 ? "P1 --> P0" : "P0 --> P1",
                     a["percent"].get<unsigned>());
    }
    const auto& b = j["badSectors"];
    std::fprintf(out_, "  Bad sectors: %u", b["count"].get<unsigned>());
    if (!b["latest"].empty()) {
        std::fprintf(out_, " (latest:");
        for (const auto& l : b["latest"]) std::fprintf(out_, " %u", l.get<unsigned>());
        std::fprintf(out_, ")");
    }
    std::fprintf(out_, "\n");
}

int Session::status() {
    const unsigned n = discover();
    if (n == 0) {
        if (opts_.json) printDocument(json::array());
        return noEnclosure();
    }
    json all = json::array();
    bool anyFailed = false;
    for (unsigned s = 0; s < n; ++s) {
        StatusBlock block{};
        const bool ok = readStatus(s, block);
        anyFailed |= !ok;
        if (opts_.json)
            all.push_back(statusJson(s, ok ? &block : nullptr));
        else
            printStatus(s, ok ? &block : nullptr);
    }
    if (opts_.json) printDocument(all);
    return anyFailed ? kExitFailed : kExitOk;
}

int Session::needEnclosure(unsigned& slot) {
    const unsigned n = discover();
    if (n == 0) return noEnclosure();
    if (opts_.device > n) {
        std::fprintf(err_, "There is no Device%u: %u enclosure(s) found.\n", opts_.device, n);
        return kExitUsage;
    }
    slot = opts_.device - 1;
    return kExitOk;
}

int Session::settings(bool buzzer) {
    const std::string& word = opts_.args[0];
    const bool on = buzzer ? word == "sound" : word == "on";
    unsigned slot = 0;
    if (int rc = needEnclosure(slot); rc != kExitOk) return rc;
    // The block carries both settings: the one not changed keeps the bridge's value.
    StatusBlock block{};
    if (!readStatus(slot, block)) return kExitFailed;
    const StatusView v(block);
    PanelCommandInput in;
    in.activePage = static_cast<int>(slot);
    in.buzzerMuteTicked = buzzer ? !on : !v.buzzerSounding();
    in.autoScanTicked = buzzer ? v.autoScanOn() : on;
    std::array<std::uint8_t, 4> cooldown{}, abort{};
    const PanelCommandEffects fx{cooldown, abort, [] {}};
    return SetBuzzerAutoScan(*dev_, in, fx) ? kExitOk : kExitFailed;
}

int Session::scan() {
    const int port = opts_.args[1] == "P0" ? 0 : 1;
    unsigned slot = 0;
    if (int rc = needEnclosure(slot); rc != kExitOk) return rc;
    StatusBlock block{};
    if (!readStatus(slot, block)) return kExitFailed;
    const char* question = port == 0 ? "Do You Want to terminate the scan process?"
                                     : "Do You want to terminate the scan process?";
    if (ui_.messageBox(question, "Message", BoxButtons::YesNo, BoxIcon::None) != BoxResult::Yes)
        return kExitFailed;
    PanelCommandInput in;
    in.activePage = static_cast<int>(slot);
    in.scanStart = 0;
    in.scanPort = static_cast<std::uint8_t>(port);
    in.scanFirstLba = 0;
    in.scanLastLba = StatusView(block).configuredCapacity() - 1u;
    std::array<std::uint8_t, 4> cooldown{}, abort{};
    const PanelCommandEffects fx{cooldown, abort, [] {}};
    // The stop and its note reach a monitor's poll together.
    std::lock_guard hold(dev_->operationLock);
    if (!SendScanControl(*dev_, in, fx)) return kExitFailed;
    if (notesDir_ && !ScanStopNotes(*notesDir_).record({driveNumberOf(dev_->tables.deviceTable[slot]), port}))
        std::fprintf(err_, "Cannot note the stop in %s for a monitor to see.\n", notesDir_->string().c_str());
    return kExitOk;
}

int Session::monitor() {
    MonitorContext context{
        *dev_,
        clock_,
        ui_,
        out_,
        err_,
        logDir_,
        notesDir_,
        [this] { return discover(); },
        [this](unsigned slot, const StatusBlock* block) { return statusJson(slot, block); },
        [this](bool quiet) { ui_.quiet = quiet; }};
    const int rc = runMonitor(opts_.monitor, context);
    return rc == kExitNoEnclosure && noRights_ ? kExitNoRights : rc;
}

// Progress of an upgrade on the terminal: a bar on a terminal, plain lines otherwise.
class CliProgress final : public FirmwareProgress {
public:
    CliProgress(std::FILE* err, bool terminal, const DeviceState& dev)
        : err_(err), terminal_(terminal), dev_(dev) {}
    void setTitle(const std::string& text) override { std::fprintf(err_, "%s\n", text.c_str()); }
    void setCaption(const std::string& text) override {
        if (text.empty()) return;
        if (terminal_) std::fprintf(err_, "\n");
        std::fprintf(err_, "%s\n", text.c_str());
    }
    void setPanelVisible(bool shown) override {
        if (!shown && terminal_) std::fprintf(err_, "\n");
    }
    void setProgressMaximum(std::uint32_t maximum) override { maximum_ = maximum; }
    void setProgressPosition(std::uint32_t position) override {
        if (maximum_ == 0) return;
        const unsigned pct =
            static_cast<unsigned>(std::min<std::uint64_t>(100, 100ull * position / maximum_));
        if (terminal_) {
            const unsigned filled = pct * 40 / 100;
            std::fprintf(err_, "\r[%s%s] %3u%%", std::string(filled, '#').c_str(),
                         std::string(40 - filled, ' ').c_str(), pct);
            std::fflush(err_);
        } else if (pct / 10 != lastDecile_) {
            lastDecile_ = pct / 10;
            std::fprintf(err_, "progress %u%%\n", pct);
        }
    }
    void startTimer() override { running_ = true; }
    void stopTimer() override { running_ = false; }

    // Timer1's once-a-second tick, driven from the flash steps.
    void tick() {
        if (!running_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::seconds(1)) return;
        last_ = now;
        ProgressTimerTick(dev_, *this);
    }

private:
    std::FILE* err_;
    bool terminal_;
    const DeviceState& dev_;
    std::uint32_t maximum_ = 0;
    unsigned lastDecile_ = 0;
    bool running_ = false;
    std::chrono::steady_clock::time_point last_{};
};

std::string hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

int Session::firmware() {
    if (opts_.args[0] == "upgrade") return upgrade(opts_.args[1]);
    FirmwareState fw;
    DiskFileOpener opener;
    if (!LoadFirmwareFile(fw, ui_, opts_.args[1], opener)) return kExitFailed;
    const std::uint8_t* rec = fw.image.bytes.data() + fw.image.length() - image::kRecordAreaSize;
    unsigned marked = 0;
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
        const std::uint8_t* e = rec + image::codeEntryOffset(k);
        if (e[image::entry::kCodeType] == image::kEmptyCodeType) continue;
        const bool update = e[image::entry::kUpdateMark] == image::kUpdateMark;
        marked += update;
        const unsigned addr = e[1] | (e[2] << 8) | (e[3] << 16);
        std::fprintf(out_, "CodeType 0x%s at 0x%06X%s\n", hex2(e[0]).c_str(), addr,
                     update ? "  marked for update" : "");
    }
    std::fprintf(out_, "%u code type(s) marked for update\n", marked);
    return kExitOk;
}

int Session::upgrade(const std::string& file) {
    FirmwareState fw;
    DiskFileOpener opener;
    if (!LoadFirmwareFile(fw, ui_, file, opener)) return kExitFailed;
    unsigned slot = 0;
    if (int rc = needEnclosure(slot); rc != kExitOk) return rc;
    if (!opts_.yes && ui_.messageBox("Upgrade the firmware of Device" + std::to_string(slot + 1) + "?",
                                     "Message", BoxButtons::YesNo, BoxIcon::Warning) != BoxResult::Yes)
        return kExitFailed;
    dev_->selectedDevice = static_cast<std::uint8_t>(slot);
    CliProgress progress(err_, ARDENVEL_ISATTY(ARDENVEL_FILENO(err_)) != 0, *dev_);
    ui_.onProcessEvents = [&progress] { progress.tick(); };
    UpgradeOutcome outcome;
    EventLogState log;
    log.LogDirectory = logDir_;
    const bool allDone = StartUpgrade(fw, *dev_, progress, logDir_, &outcome, [&](const std::string& line) {
        AppendLogLine(log, clock_, ui_, line);
    });
    ui_.onProcessEvents = nullptr;
    if (allDone) return kExitOk;
    return outcome.loopRan ? kExitUpgradeIncomplete : kExitFailed;
}

int printVersion(std::FILE* out) {
    std::fprintf(out, "ardenvel-cli %s\n", ARDENVEL_VERSION);
    const ProgramPlace program = thisProgram();
#ifndef _WIN32
    std::fprintf(out, "Host helper: %s\n", remote::helperPath(program.dir).string().c_str());
#endif
    std::fprintf(out, "Event logs: %s\n", chooseLogDirectory(program, processEnv).string().c_str());
    return kExitOk;
}

}  // namespace

int runCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Options o;
    const CommandHelp* help = nullptr;
    if (auto problem = parseArgs(args, o)) {
        for (const auto& h : kCommandHelp)
            if (o.command == h.name) help = &h;
        std::fprintf(err, "ardenvel-cli: %s\n%s", problem->c_str(), help ? help->text : kSeeHelp);
        return kExitUsage;
    }
    if (o.command.empty()) {
        if (o.version && !o.help) return printVersion(out);
        std::fprintf(o.help ? out : err, "%s", kUsage);
        return o.help ? kExitOk : kExitUsage;
    }
    for (const auto& h : kCommandHelp)
        if (o.command == h.name) help = &h;
    if (!help) {
        std::fprintf(err, "ardenvel-cli: unknown command %s\n%s", o.command.c_str(), kSeeHelp);
        return kExitUsage;
    }
    if (o.help) {
        std::fprintf(out, "%s", help->text);
        return kExitOk;
    }
    const bool interactive = ARDENVEL_ISATTY(ARDENVEL_FILENO(stdin)) != 0;
    std::optional<std::string> problem =
        o.version ? "--version comes before a command, alone" : checkCommand(o, interactive);
    if (!problem && o.command == "monitor") problem = settleMonitor(o);
    if (problem) {
        std::fprintf(err, "ardenvel-cli: %s\n%s", problem->c_str(), help->text);
        return kExitUsage;
    }

    Session s(o, out, err, interactive);
    const bool readsNoDisk =
        (o.command == "firmware" && o.args[0] == "check") || (o.command == "monitor" && o.monitor.test);
    if (int rc = s.open(!readsNoDisk); rc != kExitOk) return rc;
    if (o.command == "list") return s.list();
    if (o.command == "status") return s.status();
    if (o.command == "monitor") return s.monitor();
    if (o.command == "buzzer") return s.settings(true);
    if (o.command == "autoscan") return s.settings(false);
    if (o.command == "scan") return s.scan();
    return s.firmware();
}

}  // namespace ardenvel::cli
