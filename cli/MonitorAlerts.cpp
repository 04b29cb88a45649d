#include "cli/MonitorAlerts.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "monitor/DeviceText.h"

namespace ardenvel::cli {
namespace {

using json = nlohmann::ordered_json;

constexpr long long kDay = 24 * 60 * 60;
constexpr EventKind kDiskEvents[] = {EventKind::DiskInserted, EventKind::DiskInitialized,
                                     EventKind::DiskFailed, EventKind::DiskRemoved};

long long seconds(Clock::TimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Device bytes as the file keeps them: valid UTF-8 whatever they are.
std::string text(const std::string& raw) {
    return deviceTextUtf8(raw);
}

std::optional<EventKind> diskEventNamed(const std::string& name) {
    for (EventKind k : kDiskEvents)
        if (name == eventName(k)) return k;
    return std::nullopt;
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
    slots_ = {};
    return "Cannot read what was alerted from " + file_->string() + "; starting afresh";
}

std::optional<std::string> AlertFilter::save() {
    if (!file_ || !changed_) return std::nullopt;
    if (!replaceFile(files_, *file_, toText())) return "Cannot write " + file_->string();
    changed_ = false;
    return std::nullopt;
}

bool AlertFilter::diskEventIsNews(SlotMemory& m, const LogEvent& e, long long now) {
    PortMemory& p = m.ports[e.port & 1];
    const std::string serial = text(e.serial);
    if (p.condition == e.kind && p.serial == serial) return false;
    p = {e.kind, serial, now};
    return true;
}

bool AlertFilter::progressIsNews(SlotMemory& m, const LogEvent& e) {
    const unsigned step = static_cast<unsigned>(std::max(0, e.percent)) / increment_;
    auto& a = m.activity;
    // Another activity, or the same kind started over (the percentage fell).
    const bool fresh = !a || a->kind != e.kind || a->port != e.port || e.percent < a->percent;
    const bool news = fresh || step > a->step;
    if (news) a = ActivityMemory{e.kind, e.port, step, e.percent};
    a->percent = e.percent;
    return news;
}

std::optional<LogEvent> AlertFilter::newBadSectors(SlotMemory& m, const LogEvent& e) {
    LogEvent out = e;
    out.lbas.clear();
    for (std::uint32_t lba : e.lbas)
        if (std::find(m.lbas.begin(), m.lbas.end(), lba) == m.lbas.end()) out.lbas.push_back(lba);
    if (out.lbas.empty()) return std::nullopt;
    // The lines name only the new ones.
    std::erase_if(out.lines, [&](const std::string& line) {
        if (!line.starts_with("  LBA: ")) return false;
        const auto lba = static_cast<std::uint32_t>(std::stoul(line.substr(7)));
        return std::find(out.lbas.begin(), out.lbas.end(), lba) == out.lbas.end();
    });
    m.lbas.insert(m.lbas.end(), out.lbas.begin(), out.lbas.end());
    if (m.lbas.size() > kRememberedLbas)
        m.lbas.erase(m.lbas.begin(), m.lbas.end() - static_cast<std::ptrdiff_t>(kRememberedLbas));
    return out;
}

void AlertFilter::found(SlotMemory& m, const LogEvent& e, const StatusBlock& record, long long now,
                        std::vector<LogEvent>& out) {
    const std::string model = text(e.model);
    // Another enclosure in this slot: what was alerted was about that one.
    if (!m.model.empty() && m.model != model) m = SlotMemory{};
    m.model = model;
    if (!m.present) out.push_back(e);
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
            pm = {EventKind::DiskFailed, serial, now};
            out.push_back(std::move(failed));
        } else if (c != PortCondition::None) {
            // What changed while nobody watched is the state now, not news.
            static constexpr EventKind kOf[] = {EventKind::DiskRemoved, EventKind::DiskInitialized,
                                                EventKind::DiskFailed, EventKind::DiskInserted};
            const EventKind k = kOf[static_cast<int>(c)];
            if (pm.condition != k || pm.serial != serial) pm = {k, serial, now};
        }
    }
}

std::vector<LogEvent> AlertFilter::select(const std::vector<LogEvent>& events, const StatusBuffers& records,
                                          Clock::TimePoint now) {
    std::vector<LogEvent> out;
    const long long t = seconds(now);
    for (const LogEvent& e : events) {
        SlotMemory& m = slots_[e.slot & 3];
        changed_ = true;
        switch (e.kind) {
            case EventKind::EnclosureFound: found(m, e, records[e.slot & 3], t, out); break;
            case EventKind::EnclosureLost:
                if (m.present) out.push_back(e);
                m.present = false;
                break;
            case EventKind::DiskInserted:
            case EventKind::DiskInitialized:
            case EventKind::DiskFailed:
            case EventKind::DiskRemoved:
                if (e.port < 0 || diskEventIsNews(m, e, t)) out.push_back(e);
                break;
            case EventKind::RebuildProgress:
            case EventKind::ScanProgress:
                if (progressIsNews(m, e)) out.push_back(e);
                break;
            case EventKind::BadSectors:
                if (auto news = newBadSectors(m, e)) out.push_back(std::move(*news));
                break;
            default:
                if (e.kind == EventKind::RebuildDone || e.kind == EventKind::ScanDone ||
                    e.kind == EventKind::ScanAborted || e.kind == EventKind::PortsOk)
                    m.activity.reset();
                out.push_back(e);
                break;
        }
    }
    return out;
}

std::vector<LogEvent> AlertFilter::reminders(const StatusBuffers& records, std::uint8_t devicesRead,
                                             const LocalTime& time, Clock::TimePoint now) {
    std::vector<LogEvent> out;
    if (!remindDaily_) return out;
    const long long t = seconds(now);
    for (unsigned slot = 0; slot < slots_.size(); ++slot) {
        if (!((devicesRead >> slot) & 1u)) continue;
        const StatusView r(records[slot]);
        for (int p = 0; p < 2; ++p) {
            PortMemory& pm = slots_[slot].ports[p];
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
            out.push_back(std::move(e));
        }
    }
    return out;
}

std::string AlertFilter::toText() const {
    json doc;
    doc["version"] = 1;
    json slots = json::array();
    for (unsigned i = 0; i < slots_.size(); ++i) {
        const SlotMemory& m = slots_[i];
        json s;
        s["device"] = i + 1;
        s["present"] = m.present;
        s["model"] = m.model;
        json ports = json::array();
        for (const PortMemory& p : m.ports) {
            json pj;
            pj["alerted"] = p.condition ? eventName(*p.condition) : "";
            pj["serial"] = p.serial;
            pj["alertedAt"] = p.alertedAt;
            ports.push_back(pj);
        }
        s["ports"] = ports;
        if (m.activity) {
            s["activity"] = {{"event", eventName(m.activity->kind)},
                             {"port", m.activity->port},
                             {"step", m.activity->step},
                             {"percent", m.activity->percent}};
        }
        s["badSectors"] = m.lbas;
        slots.push_back(s);
    }
    doc["devices"] = slots;
    return doc.dump(2) + "\n";
}

bool AlertFilter::fromText(const std::string& bytes) {
    const json doc = json::parse(bytes, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("version", 0) != 1) return false;
    try {
        std::array<SlotMemory, 4> slots{};
        for (const json& s : doc.at("devices")) {
            const unsigned device = s.at("device").get<unsigned>();
            if (device < 1 || device > slots.size()) return false;
            SlotMemory& m = slots[device - 1];
            m.present = s.at("present").get<bool>();
            m.model = s.at("model").get<std::string>();
            const json& ports = s.at("ports");
            for (std::size_t p = 0; p < 2 && p < ports.size(); ++p) {
                m.ports[p].condition = diskEventNamed(ports[p].at("alerted").get<std::string>());
                m.ports[p].serial = ports[p].at("serial").get<std::string>();
                m.ports[p].alertedAt = ports[p].at("alertedAt").get<long long>();
            }
            if (s.contains("activity")) {
                const json& a = s["activity"];
                const std::string name = a.at("event").get<std::string>();
                m.activity = ActivityMemory{
                    name == eventName(EventKind::ScanProgress) ? EventKind::ScanProgress
                                                               : EventKind::RebuildProgress,
                    a.at("port").get<int>(), a.at("step").get<unsigned>(), a.at("percent").get<int>()};
            }
            m.lbas = s.at("badSectors").get<std::vector<std::uint32_t>>();
        }
        slots_ = std::move(slots);
    } catch (const json::exception&) {
        return false;
    }
    return true;
}

}  // namespace ardenvel::cli
