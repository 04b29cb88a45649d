// An enclosure described by a directory: description.json and flash.bin.
// The format is documented in docs/virtual-enclosure.md.

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "hosts/virtual/BridgeModel.h"

namespace ardenvel::virt {
namespace {

using nlohmann::json;

// Reads typed fields out of one JSON object and remembers the first problem.
// Keys it was not asked about are reported too: a misspelt key would otherwise
// silently fall back to a default.
class Fields {
public:
    Fields(const json& object, std::string where, std::string& error)
        : obj_(object), where_(std::move(where)), error_(error) {
        if (!obj_.is_object()) fail("must be an object");
    }

    bool ok() const { return error_.empty(); }

    template <typename T>
    void number(const char* key, T& out, std::uint64_t max) {
        const json* v = find(key);
        if (!v) return;
        std::uint64_t value = 0;
        if (v->is_number_unsigned()) {
            value = v->get<std::uint64_t>();
        } else if (v->is_string()) {
            std::uint32_t parsed = 0;
            if (!image::parseNumber(v->get<std::string>(), parsed)) return fail(key, "is not a number");
            value = parsed;
        } else {
            return fail(key, "must be a non-negative number or a \"0x..\" string");
        }
        if (value > max) return fail(key, "is larger than " + std::to_string(max));
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

    const json* find(const char* key) {
        seen_.insert(key);
        if (!ok() || !obj_.is_object()) return nullptr;
        const auto it = obj_.find(key);
        return it == obj_.end() ? nullptr : &*it;
    }

    void finish() {
        if (!ok() || !obj_.is_object()) return;
        for (auto it = obj_.begin(); it != obj_.end(); ++it)
            if (!seen_.count(it.key())) return fail(it.key().c_str(), "is not a known key");
    }

    void fail(const char* key, const std::string& why) {
        std::string text(1, '"');
        text.append(key).append("\" ").append(why);
        fail(text);
    }
    void fail(const std::string& why) {
        if (error_.empty()) error_ = where_ + ": " + why;
    }

private:
    const json& obj_;
    std::string where_;
    std::string& error_;
    std::set<std::string> seen_;
};

void readDisk(const json& j, const std::string& where, PortDisk& disk, std::string& error) {
    Fields f(j, where, error);
    f.text("serial", disk.serial, 20);
    f.text("model", disk.model, 40);
    f.number("capacity", disk.capacity, 0xFFFFFFFFu);
    f.number("sataGeneration", disk.sataGeneration, 15);
    f.finish();
}

bool eventKind(const std::string& name, TimelineEvent::Kind& kind) {
    using K = TimelineEvent::Kind;
    static constexpr struct {
        const char* name;
        K kind;
    } kNames[] = {
        {"insert-disk", K::InsertDisk}, {"initialize", K::Initialize},
        {"fail-disk", K::FailDisk},     {"remove-disk", K::RemoveDisk},
        {"activity", K::SetActivity},   {"end-activity", K::EndActivity},
        {"bad-sector", K::BadSector},   {"port-state", K::SetPortState},
        {"unplug", K::Unplug},          {"plug", K::Plug},
    };
    for (const auto& n : kNames) {
        if (name == n.name) {
            kind = n.kind;
            return true;
        }
    }
    return false;
}

void readEvent(const json& j, const std::string& where, TimelineEvent& e, std::string& error) {
    Fields f(j, where, error);
    f.number("afterReads", e.afterReads, 0xFFFFFFFFu);
    std::string name;
    f.text("event", name, 32);
    if (f.ok() && !eventKind(name, e.kind)) f.fail("\"event\" \"" + name + "\" is not a known event");
    f.number("port", e.port, 1);
    if (const json* d = f.find("disk")) readDisk(*d, where + ".disk", e.disk, error);
    f.number("flags", e.value, 0xFF);
    f.number("portState", e.value, 0xFF);
    f.number("percent", e.percent, 100);
    f.number("lba", e.lba, 0xFFFFFFFFu);
    f.finish();
}

void readStatus(const json& j, BridgeStatus& st, std::string& error) {
    Fields f(j, "status", error);
    f.number("raidModeOfSystem", st.raidModeOfSystem, 0xFF);
    f.number("portState", st.portState, 0xFF);
    f.number("activityFlags", st.activityFlags, 0xFF);
    f.number("progressPercent", st.progressPercent, 100);
    f.number("configuredCapacity", st.configuredCapacity, 0xFFFFFFFFu);
    if (const json* ports = f.find("ports")) {
        if (!ports->is_array() || ports->size() != 2) {
            f.fail("ports", "must be a list of two entries, P0 and P1 (null for no disk)");
        } else {
            for (int p = 0; p < 2; ++p) {
                const json& d = (*ports)[static_cast<std::size_t>(p)];
                if (d.is_null()) {
                    st.disks[p].reset();
                    continue;
                }
                PortDisk disk;
                readDisk(d, "status.ports[" + std::to_string(p) + "]", disk, error);
                st.disks[p] = disk;
            }
        }
    }
    if (const json* bad = f.find("badSectors")) {
        if (!bad->is_array() || bad->size() > 255) {
            f.fail("badSectors", "must be a list of at most 255 LBAs");
        } else {
            st.badSectorCount = 0;
            for (const json& lba : *bad) {
                if (!lba.is_number_unsigned() || lba.get<std::uint64_t>() > 0xFFFFFFFFu) {
                    f.fail("badSectors", "must hold LBAs (unsigned 32-bit numbers)");
                    break;
                }
                st.badSectorRing[st.badSectorCount % 10] = lba.get<std::uint32_t>();
                ++st.badSectorCount;
            }
        }
    }
    f.finish();
}

void readFlashLayout(const json& j, EnclosureConfig& c, std::string& error) {
    Fields f(j, "flash", error);
    f.text("versionTag", c.flashVersionTag, 32);
    if (const json* codes = f.find("codes")) {
        if (!codes->is_array() || codes->size() > 10)
            return f.fail("codes", "must be a list of at most 10 code types");
        c.flashCodes.clear();
        for (std::size_t k = 0; k < codes->size(); ++k) {
            image::CodeSpec plan;
            Fields cf((*codes)[k], "flash.codes[" + std::to_string(k) + "]", error);
            cf.number("type", plan.type, 0xFE);
            cf.number("slot", plan.slot, 0xFFFFFF);
            cf.flag("update", plan.update);
            cf.finish();
            c.flashCodes.push_back(plan);
        }
    }
    f.finish();
}

bool readFile(const std::filesystem::path& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return static_cast<bool>(in) || in.eof();
}

}  // namespace

bool readEnclosureDescription(const std::filesystem::path& dir, EnclosureConfig& config,
                              std::vector<TimelineEvent>& timeline, std::string& error) {
    const std::filesystem::path file = dir / "description.json";
    std::string text;
    if (!readFile(file, text)) {
        error = "cannot read " + file.string();
        return false;
    }
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        error = file.string() + ": not valid JSON";
        return false;
    }
    EnclosureConfig c;
    std::vector<TimelineEvent> events;
    std::string why;
    {
        Fields f(j, file.filename().string(), why);
        std::string route = routeName(c.route);
        f.text("route", route, 16);
        if (f.ok() && !parseRoute(route, c.route))
            f.fail("\"route\" must be one of usb-shift, usb-noshift, usb-query, lba, ata, lba+ata");
        f.text("firmwareRevision", c.firmwareRevision, 8);
        f.text("model", c.model, 40);
        f.text("serial", c.serial, 20);
        f.number("flashSize", c.flashSize, 0x1000000);
        f.number("raidModeInSpi", c.raidModeInSpi, 0xFF);
        f.number("settingFlags", c.settingFlags, 0xFF);
        f.number("inquiryAdditionalLength", c.inquiryAdditionalLength, 0xFF);
        f.number("queryCdbShift", c.queryCdbShift, 1);
        f.number("activityPercentPerRead", c.activityPercentPerRead, 99);
        if (const json* fl = f.find("flash")) readFlashLayout(*fl, c, why);
        if (const json* st = f.find("status")) readStatus(*st, c.status, why);
        if (const json* tl = f.find("timeline")) {
            if (!tl->is_array()) {
                f.fail("timeline", "must be a list of events");
            } else {
                for (std::size_t k = 0; k < tl->size(); ++k) {
                    TimelineEvent e;
                    readEvent((*tl)[k], "timeline[" + std::to_string(k) + "]", e, why);
                    events.push_back(e);
                }
            }
        }
        f.finish();
    }
    if (!why.empty()) {
        error = (dir / why).string();
        return false;
    }
    config = std::move(c);
    timeline = std::move(events);
    return true;
}

std::unique_ptr<VirtualEnclosure> openEnclosureDirectory(const std::filesystem::path& dir,
                                                         std::string& error) {
    EnclosureConfig config;
    std::vector<TimelineEvent> timeline;
    if (!readEnclosureDescription(dir, config, timeline, error)) return nullptr;

    auto enclosure = std::make_unique<VirtualEnclosure>(config);
    const std::filesystem::path flashFile = dir / "flash.bin";
    std::error_code ec;
    if (std::filesystem::exists(flashFile, ec)) {
        std::string bytes;
        if (!readFile(flashFile, bytes)) {
            error = "cannot read " + flashFile.string();
            return nullptr;
        }
        if (bytes.size() != config.flashSize) {
            // Never overwrite a flash we do not understand.
            error = flashFile.string() + " holds " + std::to_string(bytes.size()) +
                    " bytes but description.json says flashSize " + std::to_string(config.flashSize);
            return nullptr;
        }
        enclosure->flash().assign(bytes.begin(), bytes.end());
        enclosure->impl().dirty = false;
    } else if (!enclosure->lastError().empty()) {
        error = dir.string() + ": cannot lay out a flash of " + std::to_string(config.flashSize) +
                " bytes: " + enclosure->lastError();
        return nullptr;
    }
    if (!enclosure->setBackingFile(flashFile)) {
        error = enclosure->lastError();
        return nullptr;
    }
    for (const TimelineEvent& e : timeline) enclosure->addTimeline(e);
    return enclosure;
}

}  // namespace ardenvel::virt
