#include "cli/MonitorAlerts.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "monitor/DeviceText.h"

namespace ardenvel::cli {
namespace {

using json = nlohmann::ordered_json;

constexpr long long kDay = 24 * 60 * 60;
constexpr int kFileVersion = 2;
constexpr EventKind kDiskEvents[] = {EventKind::DiskInserted, EventKind::DiskInitialized,
                                     EventKind::DiskFailed, EventKind::DiskRemoved};
constexpr std::uint8_t kBadFlags = activity::kBadP0 | activity::kBadP1;

long long seconds(Clock::TimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Device bytes as the file keeps them and compares them: valid UTF-8.
std::string text(const std::string& raw) {
    return deviceTextTrimmed(raw);
}

// Text an older file kept untrimmed.
std::string trimBlanks(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::optional<EventKind> diskEventNamed(const std::string& name) {
    for (EventKind k : kDiskEvents)
        if (name == eventName(k)) return k;
    return std::nullopt;
}

// The serial of the disk on each port, empty where there is none.
std::array<std::string, 2> disksOf(const StatusView& r) {
    std::array<std::string, 2> out;
    for (int p = 0; p < 2; ++p) {
        const PortCondition c = r.portCondition(p);
        if (c != PortCondition::Absent && c != PortCondition::None) out[p] = text(r.serial(p));
    }
    return out;
}

// The event of `kind` the log gave for `slot` in this pass, or a bare one.
LogEvent logEventOr(const std::vector<LogEvent>& events, EventKind kind, unsigned slot,
                    const LocalTime& time) {
    for (const LogEvent& e : events)
        if (e.kind == kind && e.slot == slot) return e;
    LogEvent e;
    e.kind = kind;
    e.slot = slot;
    e.time = time;
    return e;
}

template <typename T>
void evictOldest(std::vector<T>& items, std::size_t most, const std::function<bool(const T&)>& keep) {
    while (items.size() > most) {
        auto oldest = items.end();
        for (auto it = items.begin(); it != items.end(); ++it)
            if (!keep(*it) && (oldest == items.end() || it->seen < oldest->seen)) oldest = it;
        if (oldest == items.end()) return;
        items.erase(oldest);
    }
}

}  // namespace

AlertFilter::AlertFilter(unsigned increment, bool remindDaily,
                         std::optional<std::filesystem::path> memoryFile, LogFiles& files)
    : increment_(std::max(1u, increment)),
      remindDaily_(remindDaily),
      file_(std::move(memoryFile)),
      files_(files) {}

std::optional<std::string> AlertFilter::load() {
    if (!file_ || !files_.exists(*file_)) return std::nullopt;
    const auto bytes = files_.read(*file_);
    if (bytes && fromText(*bytes)) return std::nullopt;
    enclosures_.clear();
    disks_.clear();
    loadedPending_.clear();
    return "Cannot read what was alerted from " + file_->string() + "; starting afresh";
}

std::vector<HookDelivery> AlertFilter::takePending(const std::vector<std::string>& programs,
                                                   std::size_t& dropped) {
    std::vector<HookDelivery> out;
    dropped = 0;
    for (HookDelivery& d : loadedPending_) {
        if (std::find(programs.begin(), programs.end(), d.program) != programs.end())
            out.push_back(std::move(d));
        else
            ++dropped;
    }
    loadedPending_.clear();
    return out;
}

void AlertFilter::slotsChanged() {
    bound_ = {};
}

std::optional<std::string> AlertFilter::save(const std::vector<HookDelivery>& pending, bool pendingChanged) {
    if (!file_ || !(changed_ || pendingChanged)) return std::nullopt;
    if (!replaceFile(files_, *file_, toText(pending))) return "Cannot write " + file_->string();
    changed_ = false;
    return std::nullopt;
}

std::string AlertFilter::name(const EnclosureMemory& m) {
    return m.serial && !m.serial->empty() ? m.model + " " + *m.serial : m.model;
}

AlertFilter::EnclosureMemory* AlertFilter::byId(std::uint64_t id) {
    for (auto& m : enclosures_)
        if (m.id == id) return &m;
    return nullptr;
}

AlertFilter::DiskMemory& AlertFilter::disk(const std::string& serial, long long now) {
    for (auto& d : disks_)
        if (d.serial == serial) {
            d.seen = now;
            return d;
        }
    disks_.push_back({serial, {}, now});
    evictOldest<DiskMemory>(disks_, kRememberedDisks,
                            [&](const DiskMemory& d) { return d.serial == serial; });
    for (auto& d : disks_)
        if (d.serial == serial) return d;
    return disks_.back();
}

// Which remembered enclosure each slot read now holds. A slot keeps its
// enclosure while it is read poll after poll and discovery does not run;
// otherwise the model and serial must agree, and the disks in it decide
// between enclosures that look alike.
void AlertFilter::bind(const std::vector<EnclosureSeen>& seen, const StatusBuffers& records, long long now) {
    std::array<std::optional<std::uint64_t>, 4> bound{};
    auto taken = [&](std::uint64_t id) { return std::find(bound.begin(), bound.end(), id) != bound.end(); };
    auto sameKind = [](const EnclosureMemory& m, const EnclosureSeen& s) {
        return m.model == text(s.model) && (!m.serial || *m.serial == text(s.serial));
    };
    for (const EnclosureSeen& s : seen) {
        const unsigned slot = s.slot & 3;
        if (const auto id = bound_[slot]; id && byId(*id) && sameKind(*byId(*id), s)) bound[slot] = id;
    }
    struct Candidate {
        int score;
        long long seen;
        unsigned slot;
        std::uint64_t id;
    };
    std::vector<Candidate> candidates;
    for (const EnclosureSeen& s : seen) {
        const unsigned slot = s.slot & 3;
        if (bound[slot]) continue;
        const auto now = disksOf(StatusView(records[slot]));
        const bool noDisks = now[0].empty() && now[1].empty();
        for (const EnclosureMemory& m : enclosures_) {
            if (taken(m.id) || !sameKind(m, s)) continue;
            int score = 0;
            for (const std::string& d : now)
                if (!d.empty() && std::find(m.disks.begin(), m.disks.end(), d) != m.disks.end()) ++score;
            // Disks on both sides and none shared: another enclosure.
            if (score == 0 && !noDisks && !(m.disks[0].empty() && m.disks[1].empty())) continue;
            candidates.push_back({score, m.seen, slot, m.id});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.score != b.score ? a.score > b.score : a.seen > b.seen;
    });
    for (const Candidate& c : candidates)
        if (!bound[c.slot] && !taken(c.id)) bound[c.slot] = c.id;
    for (const EnclosureSeen& s : seen) {
        const unsigned slot = s.slot & 3;
        if (!bound[slot]) {
            EnclosureMemory m;
            m.id = ++lastId_;
            m.model = text(s.model);
            bound[slot] = m.id;
            enclosures_.push_back(std::move(m));
            changed_ = true;
        }
        EnclosureMemory& m = *byId(*bound[slot]);
        if (m.serial != text(s.serial)) changed_ = true;
        m.serial = text(s.serial);
        m.rawModel = s.model;
        m.seen = now;
    }
    bound_ = bound;
    evictOldest<EnclosureMemory>(enclosures_, kRememberedEnclosures,
                                 [&](const EnclosureMemory& m) { return taken(m.id); });
}

bool AlertFilter::diskEventIsNews(EnclosureMemory& m, const LogEvent& e, long long now) {
    PortMemory& p = m.ports[e.port & 1];
    const std::string serial = text(e.serial);
    if (p.condition == e.kind && p.serial == serial) return false;
    p = {e.kind, serial, now};
    return true;
}

bool AlertFilter::progressIsNews(EnclosureMemory& m, const LogEvent& e) {
    const unsigned step = static_cast<unsigned>(std::max(0, e.percent)) / increment_;
    auto& a = m.activity;
    // Another activity, or the same kind started over (the percentage fell).
    const bool fresh = !a || a->kind != e.kind || a->port != e.port || e.percent < a->percent;
    const bool news = fresh || step > a->step;
    if (news) a = ActivityMemory{e.kind, e.port, step, e.percent};
    a->percent = e.percent;
    return news;
}

std::optional<LogEvent> AlertFilter::newBadSectors(EnclosureMemory& m, LogEvent e, const StatusView& r,
                                                   long long now) {
    // With both ports flagged the log guesses the port; the flag that came up
    // since the last read tells it.
    const std::uint8_t fresh = r.activityFlags() & kBadFlags & ~m.badFlags;
    const int port = fresh == activity::kBadP0 ? 0 : fresh == activity::kBadP1 ? 1 : e.port;
    if (port != e.port) {
        const std::string was = e.port == 0 ? " P0 Bad Sector" : " P1 Bad Sector";
        for (std::string& line : e.lines)
            if (const auto at = line.find(was); at != std::string::npos && e.port >= 0)
                line.replace(at, was.size(), port == 0 ? " P0 Bad Sector" : " P1 Bad Sector");
        e.port = port;
        e.serial = r.serial(port);
        e.model = r.model(port);
    }
    // Told before for a disk still in the enclosure: not news. A new disk
    // hears of LBAs an old one had.
    const auto inside = disksOf(r);
    auto told = [&](std::uint32_t lba) {
        for (const DiskMemory& d : disks_)
            if (std::find(inside.begin(), inside.end(), d.serial) != inside.end() &&
                std::find(d.lbas.begin(), d.lbas.end(), lba) != d.lbas.end())
                return true;
        return false;
    };
    std::vector<std::uint32_t> fresher;
    for (std::uint32_t lba : e.lbas)
        if (!told(lba) && std::find(fresher.begin(), fresher.end(), lba) == fresher.end())
            fresher.push_back(lba);
    if (fresher.empty()) return std::nullopt;
    // The lines name only the new ones.
    std::erase_if(e.lines, [&](const std::string& line) {
        if (!line.starts_with("  LBA: ")) return false;
        const auto lba = static_cast<std::uint32_t>(std::stoul(line.substr(7)));
        return std::find(fresher.begin(), fresher.end(), lba) == fresher.end();
    });
    e.lbas = fresher;
    const std::string serial = port >= 0 ? text(r.serial(port)) : std::string();
    // A disk without a serial is known by its place.
    const std::string place =
        std::string("#").append(std::to_string(m.id)).append("/P").append(std::to_string(port));
    DiskMemory& d = disk(serial.empty() ? place : serial, now);
    d.lbas.insert(d.lbas.end(), fresher.begin(), fresher.end());
    if (d.lbas.size() > kRememberedLbas)
        d.lbas.erase(d.lbas.begin(), d.lbas.end() - static_cast<std::ptrdiff_t>(kRememberedLbas));
    return e;
}

void AlertFilter::found(EnclosureMemory& m, const LogEvent& e, const StatusBlock& record, long long now,
                        std::vector<Alert>& out) {
    changed_ = true;
    if (!m.present) out.push_back({e, name(m)});
    m.present = true;
    const StatusView r(record);
    for (int p = 0; p < 2; ++p) {
        const PortCondition c = r.portCondition(p);
        PortMemory& pm = m.ports[p];
        const std::string serial = text(r.serial(p));
        if (c == PortCondition::Failed) {
            if (pm.condition == EventKind::DiskFailed && pm.serial == serial) continue;
            // Failed before the monitor came: that is news too.
            LogEvent failed = e;
            failed.kind = EventKind::DiskFailed;
            failed.port = p;
            failed.serial = r.serial(p);
            failed.model = r.model(p);
            failed.lines.clear();
            pm = {EventKind::DiskFailed, serial, now};
            out.push_back({std::move(failed), name(m)});
        } else if (c != PortCondition::None) {
            // What changed while nobody watched is the state now, not news.
            static constexpr EventKind kOf[] = {EventKind::DiskRemoved, EventKind::DiskInitialized,
                                                EventKind::DiskFailed, EventKind::DiskInserted};
            const EventKind k = kOf[static_cast<int>(c)];
            if (pm.condition != k || pm.serial != serial) pm = {k, serial, now};
        }
    }
}

std::vector<Alert> AlertFilter::select(const std::vector<LogEvent>& events, const StatusBuffers& records,
                                       const std::vector<EnclosureSeen>& seen, const LocalTime& time,
                                       Clock::TimePoint now) {
    std::vector<Alert> out;
    const long long t = seconds(now);
    bind(seen, records, t);
    auto isBound = [&](std::uint64_t id) {
        return std::find(bound_.begin(), bound_.end(), id) != bound_.end();
    };
    // Lost: read at the last poll, and in no slot read now.
    for (const auto& [id, slot] : readLastPoll_) {
        EnclosureMemory* m = byId(id);
        if (!m || isBound(id)) continue;
        if (m->present) {
            LogEvent e = logEventOr(events, EventKind::EnclosureLost, slot, time);
            e.model = m->rawModel;
            out.push_back({std::move(e), name(*m)});
            m->present = false;
            changed_ = true;
        }
    }
    for (const EnclosureSeen& s : seen) {
        const unsigned slot = s.slot & 3;
        const std::uint64_t id = *bound_[slot];
        const bool wasRead = std::any_of(readLastPoll_.begin(), readLastPoll_.end(),
                                         [&](const auto& r) { return r.first == id; });
        if (!wasRead) {
            LogEvent e = logEventOr(events, EventKind::EnclosureFound, slot, time);
            e.model = s.model;
            found(*byId(id), e, records[slot], t, out);
        }
    }
    if (!events.empty()) changed_ = true;
    for (const LogEvent& e : events) {
        const unsigned slot = e.slot & 3;
        EnclosureMemory* m = bound_[slot] ? byId(*bound_[slot]) : nullptr;
        if (!m || e.kind == EventKind::EnclosureFound || e.kind == EventKind::EnclosureLost) continue;
        switch (e.kind) {
            case EventKind::DiskInserted:
            case EventKind::DiskInitialized:
            case EventKind::DiskFailed:
            case EventKind::DiskRemoved:
                if (e.port < 0 || diskEventIsNews(*m, e, t)) out.push_back({e, name(*m)});
                break;
            case EventKind::RebuildProgress:
            case EventKind::ScanProgress:
                if (progressIsNews(*m, e)) out.push_back({e, name(*m)});
                break;
            case EventKind::BadSectors:
                if (auto news = newBadSectors(*m, e, StatusView(records[slot]), t))
                    out.push_back({std::move(*news), name(*m)});
                break;
            default:
                if (e.kind == EventKind::RebuildDone || e.kind == EventKind::ScanDone ||
                    e.kind == EventKind::ScanAborted || e.kind == EventKind::PortsOk)
                    m->activity.reset();
                out.push_back({e, name(*m)});
                break;
        }
    }
    readLastPoll_.clear();
    for (const EnclosureSeen& s : seen) {
        const unsigned slot = s.slot & 3;
        EnclosureMemory& m = *byId(*bound_[slot]);
        const StatusView r(records[slot]);
        const auto disks = disksOf(r);
        const std::uint8_t flags = r.activityFlags() & kBadFlags;
        if (disks != m.disks || flags != m.badFlags) changed_ = true;
        m.disks = disks;
        m.badFlags = flags;
        readLastPoll_.emplace_back(m.id, slot);
    }
    if (!out.empty()) changed_ = true;
    return out;
}

std::vector<Alert> AlertFilter::reminders(const StatusBuffers& records, const LocalTime& time,
                                          Clock::TimePoint now) {
    std::vector<Alert> out;
    if (!remindDaily_) return out;
    const long long t = seconds(now);
    for (const auto& [id, slot] : readLastPoll_) {
        EnclosureMemory* m = byId(id);
        if (!m) continue;
        const StatusView r(records[slot]);
        for (int p = 0; p < 2; ++p) {
            PortMemory& pm = m->ports[p];
            if (pm.condition != EventKind::DiskFailed || r.portCondition(p) != PortCondition::Failed)
                continue;
            if (t - pm.alertedAt < kDay) continue;
            LogEvent e;
            e.kind = EventKind::DiskFailed;
            e.slot = slot;
            e.port = p;
            e.serial = r.serial(p);
            e.model = r.model(p);
            e.portState = r.portState();
            e.time = time;
            e.reminder = true;
            pm.alertedAt = t;
            changed_ = true;
            out.push_back({std::move(e), name(*m)});
        }
    }
    return out;
}

std::string AlertFilter::toText(const std::vector<HookDelivery>& pending) const {
    json doc;
    doc["version"] = kFileVersion;
    doc["lastAlert"] = lastAlert_;
    json all = json::array();
    for (const EnclosureMemory& m : enclosures_) {
        json s;
        s["model"] = m.model;
        if (m.serial) s["serial"] = *m.serial;
        s["present"] = m.present;
        s["disks"] = m.disks;
        json ports = json::array();
        for (const PortMemory& p : m.ports)
            ports.push_back({{"alerted", p.condition ? eventName(*p.condition) : ""},
                             {"serial", p.serial},
                             {"alertedAt", p.alertedAt}});
        s["ports"] = ports;
        if (m.activity) {
            s["activity"] = {{"event", eventName(m.activity->kind)},
                             {"port", m.activity->port},
                             {"step", m.activity->step},
                             {"percent", m.activity->percent}};
        }
        s["badFlags"] = m.badFlags;
        s["seen"] = m.seen;
        all.push_back(s);
    }
    doc["enclosures"] = all;
    json disks = json::array();
    for (const DiskMemory& d : disks_)
        disks.push_back({{"serial", d.serial}, {"badSectors", d.lbas}, {"seen", d.seen}});
    doc["disks"] = disks;
    json runs = json::array();
    for (const HookDelivery& d : pending) {
        json env = json::object();
        for (const auto& [k, v] : d.env) env[k] = v;
        runs.push_back(
            {{"alert", d.alert},
             {"program", d.program},
             {"event", d.event},
             {"environment", env},
             {"failures", d.failures},
             {"notBefore",
              std::chrono::duration_cast<std::chrono::seconds>(d.notBefore.time_since_epoch()).count()}});
    }
    doc["pending"] = runs;
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool AlertFilter::fromText(const std::string& bytes) {
    const json doc = json::parse(bytes, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    const int version = doc.value("version", 0);
    if (version != 1 && version != kFileVersion) return false;
    auto portsOf = [](const json& ports, EnclosureMemory& m) {
        for (std::size_t p = 0; p < 2 && p < ports.size(); ++p) {
            m.ports[p].condition = diskEventNamed(ports[p].at("alerted").get<std::string>());
            m.ports[p].serial = trimBlanks(ports[p].at("serial").get<std::string>());
            m.ports[p].alertedAt = ports[p].at("alertedAt").get<long long>();
        }
    };
    auto activityOf = [](const json& s, EnclosureMemory& m) {
        if (!s.contains("activity")) return;
        const json& a = s["activity"];
        const std::string name = a.at("event").get<std::string>();
        m.activity = ActivityMemory{
            name == eventName(EventKind::ScanProgress) ? EventKind::ScanProgress : EventKind::RebuildProgress,
            a.at("port").get<int>(), a.at("step").get<unsigned>(), a.at("percent").get<int>()};
    };
    try {
        std::vector<EnclosureMemory> enclosures;
        std::vector<DiskMemory> disks;
        std::vector<HookDelivery> pending;
        std::uint64_t lastAlert = 0;
        if (version == 1) {
            // Kept per slot then: each slot becomes an enclosure whose serial
            // is not known, its bad sectors those of the disks it held.
            for (const json& s : doc.at("devices")) {
                const unsigned device = s.at("device").get<unsigned>();
                if (device < 1 || device > 4) return false;
                EnclosureMemory m;
                m.model = trimBlanks(s.at("model").get<std::string>());
                m.present = s.at("present").get<bool>();
                portsOf(s.at("ports"), m);
                activityOf(s, m);
                for (int p = 0; p < 2; ++p) m.disks[p] = m.ports[p].serial;
                const auto lbas = s.at("badSectors").get<std::vector<std::uint32_t>>();
                for (const std::string& serial : m.disks)
                    if (!serial.empty()) disks.push_back({serial, lbas, 0});
                enclosures.push_back(std::move(m));
            }
        } else {
            lastAlert = doc.at("lastAlert").get<std::uint64_t>();
            for (const json& s : doc.at("enclosures")) {
                EnclosureMemory m;
                m.model = s.at("model").get<std::string>();
                if (s.contains("serial")) m.serial = s["serial"].get<std::string>();
                m.present = s.at("present").get<bool>();
                m.disks = s.at("disks").get<std::array<std::string, 2>>();
                portsOf(s.at("ports"), m);
                activityOf(s, m);
                m.badFlags = s.at("badFlags").get<std::uint8_t>() & kBadFlags;
                m.seen = s.at("seen").get<long long>();
                enclosures.push_back(std::move(m));
            }
            for (const json& d : doc.at("disks"))
                disks.push_back({d.at("serial").get<std::string>(),
                                 d.at("badSectors").get<std::vector<std::uint32_t>>(),
                                 d.at("seen").get<long long>()});
            for (const json& r : doc.at("pending")) {
                HookDelivery d;
                d.alert = r.at("alert").get<std::uint64_t>();
                d.program = r.at("program").get<std::string>();
                d.event = r.at("event").get<std::string>();
                for (const auto& [k, v] : r.at("environment").items())
                    d.env.emplace_back(k, v.get<std::string>());
                d.failures = r.at("failures").get<unsigned>();
                d.notBefore = std::chrono::system_clock::time_point(
                    std::chrono::seconds(r.at("notBefore").get<long long>()));
                if (d.program.empty()) return false;
                pending.push_back(std::move(d));
            }
        }
        if (enclosures.size() > kRememberedEnclosures || disks.size() > kRememberedDisks) return false;
        for (auto& d : disks)
            if (d.lbas.size() > kRememberedLbas) return false;
        for (auto& m : enclosures) m.id = ++lastId_;
        enclosures_ = std::move(enclosures);
        disks_ = std::move(disks);
        loadedPending_ = std::move(pending);
        lastAlert_ = lastAlert;
    } catch (const json::exception&) {
        return false;
    }
    return true;
}

}  // namespace ardenvel::cli
