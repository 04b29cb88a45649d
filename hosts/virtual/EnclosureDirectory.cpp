// An enclosure described by a directory: description.json and flash.bin.
// The format is documented in docs/virtual-enclosure.md. The description is
// read and checked whole before anything is built: the first broken rule is
// reported with the file, the field and the rule, and nothing is loaded.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "hosts/virtual/BridgeModel.h"
#include "hosts/virtual/DirectoryFiles.h"

namespace ardenvel::virt {
namespace {

using nlohmann::json;

constexpr std::uint32_t kFlashGrain = 0x1000;       // one erase sector
constexpr std::uint32_t kMaxFlashSize = 0x1000000;  // 16 MiB, 24-bit addresses
constexpr std::size_t kMaxBadSectors = 255;         // the record's count is one byte
constexpr std::size_t kMaxCodeTypes = 10;           // entries of the code table
constexpr std::size_t kMaxFailRequests = 256;
constexpr std::uint32_t kMaxDelayMicros = 10'000'000;  // ten seconds, far past any timeout

// The first broken rule: the field's path ("status.ports[1].serial") and what it breaks.
struct Problem {
    std::string field;
    std::string rule;
    bool found() const { return !rule.empty(); }
};

struct Range {
    std::uint64_t min = 0;
    std::uint64_t max = 0;
};

template <typename E>
struct Named {
    const char* name;
    E value;
};

// "57 44 FF 00" or "5744FF00" as bytes.
bool parseHexBytes(const std::string& hex, std::string& out) {
    out.clear();
    int high = -1;
    for (const char c : hex) {
        if (c == ' ') {
            if (high >= 0) return false;  // a byte is two digits together
            continue;
        }
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high << 4 | v);
            high = -1;
        }
    }
    return high < 0;
}

// Reads the fields of one JSON object. Every key the object holds must be
// asked for, so that a misspelt key is refused instead of quietly leaving a
// default. A new field is one call; a new block is one object() or list().
class Fields {
public:
    Fields(const json& object, std::string path, Problem& problem)
        : obj_(object), path_(std::move(path)), problem_(problem) {
        if (!obj_.is_object()) fail("", "must be an object");
    }

    // Reads `object` with `read`, then refuses the keys `read` did not ask for.
    template <typename Body>
    static void read(const json& object, const std::string& path, Problem& problem, Body&& body) {
        Fields f(object, path, problem);
        body(f);
        f.finish();
    }

    bool ok() const { return !problem_.found(); }

    // A whole number, as a JSON number or as a "0x1F" / "1Fh" string.
    template <typename T>
    void number(const char* key, T& out, Range range) {
        const json* v = find(key);
        if (!v) return;
        std::uint64_t value = 0;
        if (v->is_number_unsigned()) {
            value = v->get<std::uint64_t>();
        } else if (v->is_string()) {
            std::uint32_t parsed = 0;
            if (!image::parseNumber(v->get<std::string>(), parsed))
                return fail(key, "\"" + v->get<std::string>() + "\" is not a number");
            value = parsed;
        } else {
            return fail(key, "must be a whole number or a \"0x..\" string");
        }
        if (value < range.min || value > range.max)
            return fail(key,
                        "must be from " + std::to_string(range.min) + " to " + std::to_string(range.max));
        out = static_cast<T>(value);
    }

    void text(const char* key, std::string& out, std::size_t maxLength) {
        const json* v = find(key);
        if (!v) return;
        if (!v->is_string()) return fail(key, "must be a string");
        const std::string s = v->get<std::string>();
        if (s.size() > maxLength)
            return fail(key, "is longer than " + std::to_string(maxLength) + " characters");
        out = s;
    }

    void flag(const char* key, bool& out) {
        const json* v = find(key);
        if (!v) return;
        if (!v->is_boolean()) return fail(key, "must be true or false");
        out = v->get<bool>();
    }

    // One of a fixed set of names.
    template <typename E, std::size_t N>
    void choice(const char* key, E& out, const Named<E> (&names)[N]) {
        const json* v = find(key);
        if (!v) return;
        std::string list;
        for (const auto& n : names) {
            if (v->is_string() && v->get<std::string>() == n.name) {
                out = n.value;
                return;
            }
            list += list.empty() ? "" : ", ";
            list += n.name;
        }
        fail(key, "must be one of " + list);
    }

    // A nested object, read by `read`.
    template <typename Body>
    void object(const char* key, Body&& body) {
        if (const json* v = find(key)) read(*v, pathOf(key), problem_, body);
    }

    // A list of `items` entries; `read` gets each entry and its path.
    template <typename Entry>
    void list(const char* key, Range items, Entry&& entry) {
        const json* v = find(key);
        if (!v) return;
        if (!v->is_array() || v->size() < items.min || v->size() > items.max) {
            const std::string count =
                items.min == items.max ? std::to_string(items.min) : "at most " + std::to_string(items.max);
            return fail(key, "must be a list of " + count + " entries");
        }
        for (std::size_t k = 0; k < v->size() && ok(); ++k)
            entry((*v)[k], pathOf(key) + "[" + std::to_string(k) + "]");
    }

    // Device text as it reads (`key`) or as its bytes (`key` + "Hex":
    // "57 44 FF 00"), which carry what no JSON string can: NULs, 0xFF, any
    // byte. One of the two, not both.
    void deviceText(const char* key, std::string& out, std::size_t maxLength) {
        const std::string hexKey = std::string(key) + "Hex";
        const json* hex = find(hexKey.c_str());
        if (!hex) return text(key, out, maxLength);
        if (find(key)) return fail(hexKey.c_str(), std::string("cannot be given with \"") + key + "\"");
        std::string bytes;
        if (!hex->is_string() || !parseHexBytes(hex->get<std::string>(), bytes))
            return fail(hexKey.c_str(), "must be bytes in hexadecimal, as \"57 44 FF 00\"");
        if (bytes.size() > maxLength)
            return fail(hexKey.c_str(), "holds more than " + std::to_string(maxLength) + " bytes");
        out = std::move(bytes);
    }

    // A rule over a field already read, or over several.
    void require(bool holds, const char* key, const std::string& rule) {
        if (!holds) fail(key, rule);
    }

    // What finish() says of a key nobody asked for.
    void setUnknownKeyRule(std::string rule) { unknownKeyRule_ = std::move(rule); }

    void fail(const char* key, const std::string& rule) {
        if (problem_.found()) return;
        problem_.field = *key ? pathOf(key) : path_;
        problem_.rule = rule;
    }

private:
    const json* find(const char* key) {
        seen_.insert(key);
        if (!ok() || !obj_.is_object()) return nullptr;
        const auto it = obj_.find(key);
        return it == obj_.end() ? nullptr : &*it;
    }

    void finish() {
        if (!ok() || !obj_.is_object()) return;
        for (auto it = obj_.begin(); it != obj_.end(); ++it)
            if (!seen_.count(it.key())) return fail(it.key().c_str(), unknownKeyRule_);
    }

    std::string pathOf(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

    const json& obj_;
    std::string path_;
    Problem& problem_;
    std::set<std::string> seen_;
    std::string unknownKeyRule_ = "is not a known key";
};

constexpr Named<Route> kRoutes[] = {
    {"usb-shift", Route::UsbShift},
    {"usb-noshift", Route::UsbNoShift},
    {"usb-query", Route::UsbQuery},
    {"lba", Route::Lba},
    {"ata", Route::Ata},
    {"lba+ata", Route::LbaAta},
};

using Kind = TimelineEvent::Kind;
constexpr Named<Kind> kEvents[] = {
    {"insert-disk", Kind::InsertDisk},
    {"initialize", Kind::Initialize},
    {"fail-disk", Kind::FailDisk},
    {"remove-disk", Kind::RemoveDisk},
    {"activity", Kind::SetActivity},
    {"end-activity", Kind::EndActivity},
    {"bad-sector", Kind::BadSector},
    {"port-state", Kind::SetPortState},
    {"unplug", Kind::Unplug},
    {"plug", Kind::Plug},
    {"bad-sector-count", Kind::SetBadSectorCount},
};

constexpr Named<RingState> kRings[] = {
    {"written", RingState::Written},
    {"empty", RingState::Empty},
    {"garbled-newest", RingState::GarbledNewest},
    {"out-of-turn", RingState::OutOfTurn},
};

const char* eventName(Kind kind) {
    for (const auto& n : kEvents)
        if (n.value == kind) return n.name;
    return "?";
}

void readDisk(Fields& f, PortDisk& disk) {
    f.deviceText("serial", disk.serial, 20);
    f.deviceText("model", disk.model, 40);
    f.number("capacity", disk.capacity, {0, 0xFFFFFFFFu});
    f.number("sataGeneration", disk.sataGeneration, {0, 15});
}

// An event takes the fields its kind needs and no others.
void readEvent(Fields& f, TimelineEvent& e) {
    f.number("afterReads", e.afterReads, {0, 0xFFFFFFFFu});
    f.choice("event", e.kind, kEvents);
    if (!f.ok()) return;
    f.setUnknownKeyRule(std::string("is not a field of the \"") + eventName(e.kind) + "\" event");
    switch (e.kind) {
        case Kind::InsertDisk:
            f.number("port", e.port, {0, 1});
            f.object("disk", [&](Fields& d) { readDisk(d, e.disk); });
            break;
        case Kind::Initialize:
        case Kind::FailDisk:
        case Kind::RemoveDisk: f.number("port", e.port, {0, 1}); break;
        case Kind::SetActivity:
            f.number("flags", e.value, {0, 0xFF});
            f.number("percent", e.percent, {0, 0xFF});  // a bridge may report any byte
            break;
        case Kind::BadSector:
            f.number("port", e.port, {0, 1});
            f.number("lba", e.lba, {0, 0xFFFFFFFFu});
            break;
        case Kind::SetPortState: f.number("portState", e.value, {0, 0xFF}); break;
        case Kind::SetBadSectorCount: f.number("count", e.value, {0, 0xFF}); break;
        case Kind::EndActivity:
        case Kind::Unplug:
        case Kind::Plug: break;
    }
}

void readStatus(Fields& f, BridgeStatus& st, Problem& problem) {
    f.number("raidModeOfSystem", st.raidModeOfSystem, {0, 0xFF});
    f.number("portState", st.portState, {0, 0xFF});
    f.number("activityFlags", st.activityFlags, {0, 0xFF});
    f.number("progressPercent", st.progressPercent, {0, 0xFF});
    f.number("configuredCapacity", st.configuredCapacity, {0, 0xFFFFFFFFu});
    int p = 0;
    f.list("ports", {2, 2}, [&](const json& entry, const std::string& path) {
        const int port = p++;
        if (entry.is_null()) {
            st.disks[port].reset();
            return;
        }
        PortDisk disk;
        Fields::read(entry, path, problem, [&](Fields& d) { readDisk(d, disk); });
        st.disks[port] = disk;
    });
    std::vector<std::uint32_t> bad;
    f.list("badSectors", {0, kMaxBadSectors}, [&](const json& lba, const std::string&) {
        if (!lba.is_number_unsigned() || lba.get<std::uint64_t>() > 0xFFFFFFFFu)
            return f.fail("badSectors", "must hold LBAs (whole numbers below 2^32)");
        bad.push_back(lba.get<std::uint32_t>());
    });
    if (f.ok() && !bad.empty()) {
        st.badSectorRing = {};
        st.badSectorCount = 0;
        for (std::uint32_t lba : bad) st.badSectorRing[st.badSectorCount++ % st.badSectorRing.size()] = lba;
    }
}

void readFlashLayout(Fields& f, EnclosureConfig& c, Problem& problem) {
    f.text("versionTag", c.flashVersionTag, 32);
    f.choice("ring", c.flashRing, kRings);
    std::vector<image::CodeSpec> codes;
    bool listed = false;
    f.list("codes", {0, kMaxCodeTypes}, [&](const json& entry, const std::string& path) {
        listed = true;
        image::CodeSpec plan;
        Fields::read(entry, path, problem, [&](Fields& cf) {
            cf.number("type", plan.type, {0, 0xFE});
            cf.number("slot", plan.slot, {0, 0xFFFFFF});
            cf.flag("update", plan.update);
        });
        codes.push_back(plan);
    });
    if (listed) c.flashCodes = std::move(codes);
}

// The enclosure's own faults; requests count from 1.
void readFaults(Fields& f, EnclosureFaults& faults) {
    constexpr std::uint64_t kLastRequest = 0xFFFFFFFFu;
    f.list("failRequests", {0, kMaxFailRequests}, [&](const json& n, const std::string&) {
        if (!n.is_number_unsigned() || n.get<std::uint64_t>() < 1 || n.get<std::uint64_t>() > kLastRequest)
            return f.fail("failRequests",
                          "must hold request numbers from 1 to " + std::to_string(kLastRequest));
        faults.failRequests.push_back(n.get<unsigned>());
    });
    const auto optional = [&f](const char* key, std::optional<unsigned>& out, Range range) {
        constexpr std::uint64_t kAbsent = ~std::uint64_t{0};
        std::uint64_t n = kAbsent;
        f.number(key, n, range);
        if (n != kAbsent) out = static_cast<unsigned>(n);
    };
    optional("cutPowerAfter", faults.cutPowerAfter, {0, kLastRequest});
    f.number("powerOnAfter", faults.powerOnAfter, {0, kLastRequest});
    f.require(faults.powerOnAfter == 0 || faults.cutPowerAfter.has_value(), "powerOnAfter",
              "needs \"cutPowerAfter\"");
    optional("dropWritesFrom", faults.dropWritesFrom, {1, kLastRequest});
    optional("tornRequest", faults.tornRequest, {1, kLastRequest});
    std::uint64_t fraction = 0;
    f.number("tornFraction", fraction, {1, 255});
    f.require(fraction == 0 || faults.tornRequest.has_value(), "tornFraction", "needs \"tornRequest\"");
    if (fraction != 0) faults.tornFraction = static_cast<std::uint8_t>(fraction);
    optional("staleRead", faults.staleRead, {1, kLastRequest});
    optional("garbledRead", faults.garbledRead, {1, kLastRequest});
    optional("droppedWrite", faults.droppedWrite, {1, kLastRequest});
    std::uint32_t delay = 0;
    f.number("delayPerRequestUs", delay, {0, kMaxDelayMicros});
    faults.delayPerRequest = std::chrono::microseconds(delay);
}

void readDescription(Fields& f, EnclosureConfig& c, std::vector<TimelineEvent>& events, Problem& problem) {
    f.choice("route", c.route, kRoutes);
    f.deviceText("firmwareRevision", c.firmwareRevision, 8);
    f.deviceText("model", c.model, 40);
    f.deviceText("serial", c.serial, 20);
    f.number("flashSize", c.flashSize, {kFlashGrain, kMaxFlashSize});
    f.require(c.flashSize % kFlashGrain == 0, "flashSize",
              "must be a multiple of 4096 (the 4 KB erase sector)");
    f.number("raidModeInSpi", c.raidModeInSpi, {0, 0xFF});
    f.number("settingFlags", c.settingFlags, {0, 0xFF});
    f.number("inquiryAdditionalLength", c.inquiryAdditionalLength, {0, 0xFF});
    f.number("queryCdbShift", c.queryCdbShift, {0, 1});
    f.number("activityPercentPerRead", c.activityPercentPerRead, {0, 99});
    f.object("flash", [&](Fields& fl) { readFlashLayout(fl, c, problem); });
    f.object("status", [&](Fields& st) { readStatus(st, c.status, problem); });
    f.object("faults", [&](Fields& ff) { readFaults(ff, c.faults); });
    f.list("timeline", {0, 0xFFFF}, [&](const json& entry, const std::string& path) {
        TimelineEvent e;
        Fields::read(entry, path, problem, [&](Fields& ef) { readEvent(ef, e); });
        events.push_back(e);
    });
}

#ifndef _WIN32
// Closes a descriptor at the end of its scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string reason(const std::filesystem::path& file, const char* what) {
    return std::string("cannot ") + what + " " + file.string() + ": " +
           (errno == ELOOP ? "it is a link" : std::strerror(errno));
}
#endif

}  // namespace

#ifndef _WIN32
ReadOutcome readDirectoryFile(const std::filesystem::path& dir, const std::string& name, std::string& out,
                              std::string& error) {
    const std::filesystem::path file = dir / name;
    Fd d{::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd < 0) {
        error = reason(dir, "open");
        return ReadOutcome::Failed;
    }
    // Non-blocking, so that a FIFO in its place cannot hold the open.
    Fd f{::openat(d.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0) {
        if (errno == ENOENT) return ReadOutcome::Missing;
        error = reason(file, "read");
        return ReadOutcome::Failed;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read " + file.string() + ": it is not a regular file";
        return ReadOutcome::Failed;
    }
    out.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(f.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = reason(file, "read");
            return ReadOutcome::Failed;
        }
        if (n == 0) return ReadOutcome::Read;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool replaceDirectoryFile(const std::filesystem::path& dir, const std::string& name,
                          std::span<const std::uint8_t> bytes, std::string& error) {
    const std::string tmpName = name + ".tmp";
    const std::filesystem::path tmp = dir / tmpName;
    Fd d{::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd < 0) {
        error = reason(dir, "open");
        return false;
    }
    // Whatever lies in the temporary's place goes first (a link, a hard
    // link to another file): the temporary is always a file of its own.
    if (::unlinkat(d.fd, tmpName.c_str(), 0) != 0 && errno != ENOENT) {
        error = reason(tmp, "remove");
        return false;
    }
    {
        Fd f{::openat(d.fd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644)};
        if (f.fd < 0) {
            error = reason(tmp, "write");
            return false;
        }
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::write(f.fd, bytes.data() + at, bytes.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = reason(tmp, "write");
                return false;
            }
            at += static_cast<std::size_t>(n);
        }
        if (::close(f.fd) != 0) {
            f.fd = -1;
            error = reason(tmp, "write");
            return false;
        }
        f.fd = -1;
    }
    if (::renameat(d.fd, tmpName.c_str(), d.fd, name.c_str()) != 0) {
        error = reason(dir / name, "replace");
        return false;
    }
    return true;
}
#else
// Windows: links need rights an ordinary user lacks, and there is no openat.
ReadOutcome readDirectoryFile(const std::filesystem::path& dir, const std::string& name, std::string& out,
                              std::string& error) {
    const std::filesystem::path file = dir / name;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return ReadOutcome::Missing;
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    if (in || in.eof()) return ReadOutcome::Read;
    error = "cannot read " + file.string();
    return ReadOutcome::Failed;
}

bool replaceDirectoryFile(const std::filesystem::path& dir, const std::string& name,
                          std::span<const std::uint8_t> bytes, std::string& error) {
    const std::filesystem::path file = dir / name, tmp = dir / (name + ".tmp");
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!f) {
            error = "cannot write " + tmp.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        error = "cannot replace " + file.string() + ": " + ec.message();
        return false;
    }
    return true;
}
#endif

bool parseEnclosureDescription(std::string_view text, const std::string& file, EnclosureConfig& config,
                               std::vector<TimelineEvent>& timeline, std::string& error) {
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        error = file + ": not valid JSON";
        return false;
    }
    EnclosureConfig c;
    std::vector<TimelineEvent> events;
    Problem problem;
    Fields::read(j, "", problem, [&](Fields& f) { readDescription(f, c, events, problem); });
    if (problem.found()) {
        error = file + ": " + (problem.field.empty() ? "" : "\"" + problem.field + "\" ") + problem.rule;
        return false;
    }
    config = std::move(c);
    timeline = std::move(events);
    return true;
}

bool readEnclosureDescription(const std::filesystem::path& dir, EnclosureConfig& config,
                              std::vector<TimelineEvent>& timeline, std::string& error) {
    const std::filesystem::path file = dir / "description.json";
    std::string text;
    switch (readDirectoryFile(dir, "description.json", text, error)) {
        case ReadOutcome::Read: break;
        case ReadOutcome::Missing: error = "cannot read " + file.string(); return false;
        case ReadOutcome::Failed: return false;
    }
    return parseEnclosureDescription(text, file.string(), config, timeline, error);
}

std::unique_ptr<VirtualEnclosure> buildEnclosure(const EnclosureConfig& config,
                                                 const std::vector<TimelineEvent>& timeline,
                                                 const std::optional<std::string>& flashBytes,
                                                 const std::string& flashFile, std::string& error) {
    auto enclosure = std::make_unique<VirtualEnclosure>(config);
    if (flashBytes) {
        if (flashBytes->size() != config.flashSize) {
            // Never take, or later overwrite, a flash of another size.
            error = flashFile + ": holds " + std::to_string(flashBytes->size()) +
                    " bytes, but \"flashSize\" in description.json is " + std::to_string(config.flashSize);
            return nullptr;
        }
        enclosure->flash().assign(flashBytes->begin(), flashBytes->end());
        enclosure->impl().dirty = false;
    } else if (!enclosure->lastError().empty()) {
        error = flashFile +
                ": missing, and no flash can be laid out from description.json: " + enclosure->lastError();
        return nullptr;
    }
    for (const TimelineEvent& e : timeline) enclosure->addTimeline(e);
    return enclosure;
}

std::unique_ptr<VirtualEnclosure> openEnclosureDirectory(const std::filesystem::path& dir,
                                                         std::string& error) {
    EnclosureConfig config;
    std::vector<TimelineEvent> timeline;
    if (!readEnclosureDescription(dir, config, timeline, error)) return nullptr;

    const std::filesystem::path flashFile = dir / "flash.bin";
    std::optional<std::string> bytes;
    std::string read;
    switch (readDirectoryFile(dir, "flash.bin", read, error)) {
        case ReadOutcome::Read: bytes = std::move(read); break;
        case ReadOutcome::Missing: break;
        case ReadOutcome::Failed: return nullptr;
    }
    auto enclosure = buildEnclosure(config, timeline, bytes, flashFile.string(), error);
    if (!enclosure) return nullptr;
    if (!enclosure->setBackingFile(flashFile)) {
        error = enclosure->lastError();
        return nullptr;
    }
    return enclosure;
}

}  // namespace ardenvel::virt
