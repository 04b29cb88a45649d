// Fault sweeps over whole upgrades. For request k of a run: the power goes
// after it or in the middle of it (a program or erase torn part-way), it
// fails, writes from it on or it alone succeed without effect, or it reads
// stale or garbled bytes. After each fault the flash must hold a sound ring
// naming whole codes, and a chain of fault-free upgrades must keep it so at
// every step and end with the bridge booting what the last one wrote.
//
// The chain after a fault depends only on the flash the fault left (the free
// slot's contents aside, which the next upgrade erases), so each distinct
// flash is chained once and the result stands for every fault that left it.
//
// CI samples every few fault points and every point near a change of the
// ring. ARDENVEL_FAULT_SWEEP=full takes every point and chains long enough to
// wrap the ring twice (ctest -L long); ARDENVEL_FAULT_STRIDE sets the stride
// alone, for a quicker look.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "firmware/RecordRing.h"
#include "tests/firmware/UpgradeRig.h"

namespace ardenvel::test {
namespace {

using image::CodeSpec;
using virt::Route;
constexpr std::uint32_t kSlot = image::kCodeSlotSize;

enum class Fault { CutPower, TornWrite, FailRequest, DropWrites, DropOnce, StaleRead, GarbledRead };
constexpr Fault kFaults[] = {Fault::CutPower, Fault::TornWrite, Fault::FailRequest, Fault::DropWrites,
                             Fault::DropOnce, Fault::StaleRead, Fault::GarbledRead};

const char* faultName(Fault f) {
    switch (f) {
        case Fault::CutPower: return "power cut after request k";
        case Fault::TornWrite: return "power cut inside request k";
        case Fault::FailRequest: return "request k fails";
        case Fault::DropWrites: return "writes from request k dropped";
        case Fault::DropOnce: return "write k dropped";
        case Fault::StaleRead: return "read k stale";
        case Fault::GarbledRead: return "read k garbled";
    }
    return "";
}

struct Story {
    const char* name;
    Route route;
    std::vector<CodeSpec> codes;
    unsigned startSlot;  // the newest record's slot, its sector full up to it
    // What another writer's fault left, for the repair: the newest record torn
    // part-way and an append cut before its first byte after it; or older
    // records in the sector behind the newest and in one from an earlier lap.
    enum class Start { Sound, Torn, Stale } start = Story::Start::Sound;
};

struct Sweep {
    Story story;
    Fault fault;
};

void PrintTo(const Sweep& s, std::ostream* os) {
    *os << s.story.name << ", " << faultName(s.fault);
}

bool fullSweep() {
    const char* s = std::getenv("ARDENVEL_FAULT_SWEEP");
    return s != nullptr && std::string(s) == "full";
}

std::optional<unsigned> strideFromEnvironment() {
    if (const char* s = std::getenv("ARDENVEL_FAULT_STRIDE")) return std::max(1, std::atoi(s));
    return std::nullopt;
}

// Each chained upgrade moves one code type and appends one record: twice
// round the ring in the full sweep, 20 in CI.
unsigned chainLength() {
    return fullSweep() ? 2 * image::kRecordSlots + 2 : 20;
}

constexpr std::uint8_t kChainTypes[] = {0x31, 0x32, 0x35};
std::uint8_t chainType(unsigned step) {
    return kChainTypes[step % 3];
}
std::string chainTag(unsigned step) {
    return "c" + std::to_string(step);
}

// The chain's images: each step a version of its own, marking one code type.
const Bytes& chainImage(unsigned step) {
    static std::map<unsigned, Bytes> images;
    auto it = images.find(step);
    if (it == images.end()) {
        std::vector<CodeSpec> codes = {
            {0x31, kSlot, false}, {0x32, 2 * kSlot, false}, {0x35, 3 * kSlot, false}};
        codes[step % 3].update = true;
        it = images.emplace(step, generate(imageMarking(codes, chainTag(step)))).first;
    }
    return it->second;
}

std::uint64_t fingerprint(const Bytes& bytes) {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Per fault kind, over every sweep this program ran.
struct Totals {
    unsigned points = 0, held = 0, states = 0, chains = 0, chainUpgrades = 0, chainedAfterFaults = 0;
};
std::map<Fault, Totals>& totals() {
    static std::map<Fault, Totals> t;
    return t;
}

class PrintTotals : public ::testing::Environment {
public:
    void TearDown() override {
        if (totals().empty()) return;
        std::printf(
            "[ fault    ] totals: kind, fault points held of tried, distinct flashes left, chains run, "
            "upgrades in them, chained upgrades after faults\n");
        for (const auto& [f, t] : totals())
            std::printf("[ fault    ]   %-30s %5u of %5u  %4u  %4u  %6u  %7u\n", faultName(f), t.held,
                        t.points, t.states, t.chains, t.chainUpgrades, t.chainedAfterFaults);
    }
};
[[maybe_unused]] const auto* const kTotals = ::testing::AddGlobalTestEnvironment(new PrintTotals);

class FaultSweepTest : public ::testing::TestWithParam<Sweep> {
protected:
    void SetUp() override {
        const Story& s = GetParam().story;
        if (s.startSlot != 0) rig.placeRecordAt(s.startSlot, true);
        oldRecord = rig.newest();
        if (s.start == Story::Start::Stale) {
            const unsigned n = rig.newestSlot();
            staleSectors = {ring::sectorOf(n) - 1, ring::sectorOf(n) + 4};
            for (unsigned sector : staleSectors)
                for (unsigned t = ring::firstSlotOf(sector); t < ring::firstSlotOf(sector + 1); ++t)
                    rig.writeRecordAt(t, oldRecord);
        }
        if (s.start == Story::Start::Torn) {
            const unsigned n = rig.newestSlot();
            std::copy(oldRecord.begin(), oldRecord.end(), rig.ringSlot(n + 1).begin());
            rig.ringSlot(n + 1)[0] = 0xFF;
            std::fill(rig.ringSlot(n).begin() + 60, rig.ringSlot(n).end(), 0xFF);
            tornNewest = RecordBytes{};
            std::copy_n(rig.ringSlot(n).begin(), image::kRecordSize, tornNewest->begin());
        }
        fresh = rig.flash();
        storyImage = generate(imageMarking(s.codes));
        rig.load(storyImage);
        for (const CodeSpec& c : s.codes) newCode[c.type] = image::codeSlotContents(c.type, "v2");

        // The clean run: how many requests, which slots it programs, and
        // which requests change the ring.
        Bytes ringBefore(rig.ring().begin(), rig.ring().end());
        unsigned request = 0;
        rig.host.setTraceObserver([&](const virt::TraceEntry& e) {
            if (e.kind != virt::TraceEntry::Kind::Cdb && e.kind != virt::TraceEntry::Kind::Ata) return;
            ++request;
            if (std::memcmp(ringBefore.data(), rig.ring().data(), ringBefore.size()) == 0) return;
            ringChanges.push_back(request);
            ringBefore.assign(rig.ring().begin(), rig.ring().end());
        });
        const unsigned before = rig.host.requestCount();
        ASSERT_TRUE(rig.upgrade());
        rig.host.setTraceObserver(nullptr);
        requests = rig.host.requestCount() - before;
        for (const CodeSpec& c : s.codes) targets.insert(Rig::slotOf(rig.newest(), c.type));
        ASSERT_EQ(targets.size(), s.codes.size());
        ASSERT_EQ(rig.enc.counters().ringBreaks, 0u) << rig.enc.ringBreak();
    }

    void reset() {
        disarm();
        rig.flash() = fresh;
        rig.load(storyImage);
        rig.ui.boxes.clear();
        rig.ui.panels.clear();
        rig.ui.panelHistory.clear();
        rig.logLines.clear();
        rig.progress = RecordingProgress{};
    }

    void arm(Fault f, unsigned k) {
        virt::EnclosureFaults own;
        switch (f) {
            case Fault::CutPower: rig.host.cutPowerAfter(k); return;
            case Fault::FailRequest: rig.host.failRequest(k); return;
            case Fault::DropWrites: rig.host.dropWritesFrom(k); return;
            case Fault::TornWrite:
                own.tornRequest = k;
                own.tornFraction = static_cast<std::uint8_t>(1 + (k * 97u + rig.recordBase()) % 255);
                break;
            case Fault::DropOnce: own.droppedWrite = k; break;
            case Fault::StaleRead: own.staleRead = k; break;
            case Fault::GarbledRead: own.garbledRead = k; break;
        }
        rig.enc.setFaults(own);
    }
    void disarm() {
        rig.host.clearFaults();
        rig.host.powerOn();
        rig.enc.setFaults({});
    }

    bool sameAsFresh(std::uint32_t from, std::uint32_t to) const {
        return from >= to || std::memcmp(fresh.data() + from, rig.enc.flash().data() + from, to - from) == 0;
    }
    bool holds(std::uint32_t at, const Bytes& code) const {
        return std::uint64_t{at} + code.size() <= rig.enc.flash().size() &&
               std::memcmp(rig.enc.flash().data() + at, code.data(), code.size()) == 0;
    }

    // The ring's invariant, with each named code what `whole` expects of it.
    std::string ringFault(const ring::CodeCheck& whole) {
        if (const unsigned breaks = rig.enc.counters().ringBreaks; breaks != breaksSeen)
            return "the bridge saw its ring break: " + rig.enc.ringBreak();
        return ring::ringFault(rig.ring(), rig.recordBase(), whole);
    }

    // The code of `type` the story started with, or the one it writes.
    bool oldOrNew(std::uint8_t type, std::uint32_t at) const {
        const auto fresher = newCode.find(type);
        const std::uint32_t old = Rig::slotOf(oldRecord, type);
        return (std::uint64_t{old} + kSlot <= fresh.size() &&
                holds(at, Bytes(fresh.begin() + old, fresh.begin() + old + kSlot))) ||
               (fresher != newCode.end() && holds(at, fresher->second));
    }
    // A torn newest record the story started with, still the newest.
    bool stillTorn() {
        const auto n = ring::newestSlot(rig.ring());
        return tornNewest && n &&
               std::equal(tornNewest->begin(), tornNewest->end(), rig.ringSlot(*n).begin());
    }

    // Stale sectors the story started with may stay, whole or half erased,
    // until a repair is through, as long as they do not decide the newest.
    std::string faultBesideStale(const ring::CodeCheck& whole) {
        Bytes masked(rig.ring().begin(), rig.ring().end());
        const std::optional<unsigned> n = ring::newestSlot(masked);
        for (unsigned sector : staleSectors)
            if (!n || ring::sectorOf(*n) != sector)
                std::fill_n(masked.begin() + sector * image::kFlashSectorSize, image::kFlashSectorSize, 0xFF);
        if (ring::newestSlot(masked) != n) return "a stale sector decides the newest record";
        return ring::ringFault(masked, rig.recordBase(), whole);
    }

    // Right after the fault: empty when all holds.
    std::string checkAfterFault(bool reportsDone) {
        const auto whole = [&](std::uint8_t type, std::uint32_t at) { return oldOrNew(type, at); };
        std::string fault = ringFault(whole);
        // A ring that was broken may stay so until its repair is through.
        if (!fault.empty() && rig.enc.counters().ringBreaks == breaksSeen) {
            if (stillTorn())
                fault.clear();
            else if (!staleSectors.empty())
                fault = faultBesideStale(whole);
        }
        if (!fault.empty()) return fault;
        if (!sameAsFresh(0, image::kBootAreaEnd)) return "boot area changed";
        // Between the target slots (sorted, disjoint) nothing may change.
        std::uint32_t from = image::kBootAreaEnd;
        for (std::uint32_t t : targets) {
            if (!sameAsFresh(from, t)) return "changed below the target slot " + hexText(t);
            from = t + kSlot;
        }
        if (!sameAsFresh(from, rig.recordBase())) return "changed outside the target slots";
        if (reportsDone) {
            // Never more reported done than the bridge now boots.
            unsigned upgraded = 0, total = 0;
            const RecordBytes rec = rig.newest();
            for (const auto& [type, code] : newCode) upgraded += holds(Rig::slotOf(rec, type), code) ? 1 : 0;
            const unsigned done = rig.upgradeOutcome(total);
            if (done != ~0u && done > upgraded)
                return "reported " + std::to_string(done) + " done, " + std::to_string(upgraded) +
                       " recorded";
        }
        return {};
    }

    // Fault-free upgrades from here on: every one completes, and after every
    // one the ring holds and names the code it wrote and the codes before it.
    std::string chain() {
        // The free slot's contents are erased by the next upgrade (a torn
        // ring has no free slot the upgrade would trust, and none was written).
        Bytes key = rig.flash();
        const std::optional<unsigned> n = ring::newestSlot(rig.ring());
        if (n && ring::recordFlaw(rig.ring(), *n).empty()) {
            const std::uint32_t freeSlot = readLe24(rig.ringSlot(*n), image::record::kFreeSlotAddress);
            if (std::uint64_t{freeSlot} + kSlot <= key.size()) std::fill_n(key.begin() + freeSlot, kSlot, 0);
        }
        const auto [memo, first] = chained.try_emplace(fingerprint(key));
        if (!first) return memo->second;
        ++chainsRun;
        // The code each chained upgrade wrote; before that, the story's own.
        std::map<std::uint8_t, Bytes> expected;
        for (unsigned step = 0; step < chainLength(); ++step) {
            rig.ui.boxes.clear();
            rig.load(chainImage(step));
            ++chainUpgradesRun;
            if (!rig.upgrade() || rig.outcome.done != 1)
                return memo->second = "chained upgrade " + std::to_string(step) +
                                      " did not complete: " + ::testing::PrintToString(rig.boxTexts());
            expected[chainType(step)] = image::codeSlotContents(chainType(step), chainTag(step));
            const std::string fault = ringFault([&](std::uint8_t type, std::uint32_t at) {
                const auto e = expected.find(type);
                return e != expected.end() ? holds(at, e->second) : oldOrNew(type, at);
            });
            if (!fault.empty())
                return memo->second = "after chained upgrade " + std::to_string(step) + ": " + fault;
        }
        return memo->second = "";
    }

    unsigned stride() const { return fullSweep() ? 1 : strideFromEnvironment().value_or(64); }
    std::set<unsigned> faultPoints() const {
        const bool cut = GetParam().fault == Fault::CutPower;
        const unsigned first = cut ? 0 : 1, last = cut ? requests - 1 : requests;
        std::set<unsigned> points;
        const std::optional<unsigned> forced = strideFromEnvironment();
        for (unsigned k = first; k <= last; k += stride()) points.insert(k);
        // Around each change of the ring, every point.
        if (!forced)
            for (unsigned r : ringChanges)
                for (unsigned k = r > 2 ? r - 2 : first; k <= std::min(r + 1, last); ++k) points.insert(k);
        return points;
    }

    Rig rig{GetParam().story.route};
    Bytes fresh, storyImage;
    RecordBytes oldRecord{};
    std::optional<RecordBytes> tornNewest;
    std::vector<unsigned> staleSectors;
    std::map<std::uint8_t, Bytes> newCode;
    std::set<std::uint32_t> targets;
    std::vector<unsigned> ringChanges;
    unsigned requests = 0;
    unsigned breaksSeen = 0;
    std::map<std::uint64_t, std::string> chained;
    unsigned chainsRun = 0, chainUpgradesRun = 0;
};

TEST_P(FaultSweepTest, EveryFaultPointAndTheUpgradesAfterItKeepTheRing) {
    const Sweep& s = GetParam();
    unsigned tried = 0, held = 0;
    std::vector<std::string> failures;
    for (unsigned k : faultPoints()) {
        reset();
        breaksSeen = rig.enc.counters().ringBreaks;
        arm(s.fault, k);
        rig.upgrade();
        disarm();
        const bool cut = s.fault == Fault::CutPower || s.fault == Fault::TornWrite;
        std::string why = checkAfterFault(!cut);
        if (why.empty()) why = chain();
        ++tried;
        if (why.empty())
            ++held;
        else if (failures.size() < 5)
            failures.push_back("k=" + std::to_string(k) + ": " + why);
    }
    const unsigned length = chainLength();
    std::printf(
        "[ fault    ] %s, %s: %u of %u fault points held (%u requests); %zu flashes left, each "
        "chained through %u upgrades (%u upgrades run)\n",
        s.story.name, faultName(s.fault), held, tried, requests, chained.size(), length, chainUpgradesRun);
    Totals& t = totals()[s.fault];
    t.points += tried;
    t.held += held;
    t.states += static_cast<unsigned>(chained.size());
    t.chains += chainsRun;
    t.chainUpgrades += chainUpgradesRun;
    t.chainedAfterFaults += tried * length;
    EXPECT_EQ(held, tried) << ::testing::PrintToString(failures);
    EXPECT_GE(tried, requests / stride());
}

std::vector<Sweep> sweeps() {
    const std::vector<CodeSpec> two = {{0x31, kSlot, true}, {0x32, 2 * kSlot, true}};
    const std::vector<CodeSpec> one = {{0x35, 3 * kSlot, true}};
    const std::vector<Story> stories = {
        {"TwoTypesLba", Route::Lba, two, 0},
        {"TwoTypesUsb", Route::UsbShift, two, 0},
        {"SectorStartLba", Route::Lba, two, 15},
        {"SectorStartUsb", Route::UsbShift, two, 15},
        {"RingWrapLba", Route::Lba, one, 127},
        {"RingWrapUsb", Route::UsbShift, one, 127},
        {"RepairLba", Route::Lba, one, 5, Story::Start::Torn},
        {"RepairUsb", Route::UsbShift, one, 5, Story::Start::Torn},
        {"StaleSectorsLba", Route::Lba, one, 17, Story::Start::Stale},
        {"StaleSectorsUsb", Route::UsbShift, one, 17, Story::Start::Stale},
    };
    std::vector<Sweep> out;
    for (Fault f : kFaults)
        for (const Story& s : stories) out.push_back({s, f});
    return out;
}

std::string sweepName(const ::testing::TestParamInfo<Sweep>& info) {
    static const char* const kFault[] = {"Cut", "Torn", "Fail", "Drop", "DropOnce", "Stale", "Garbled"};
    return std::string(info.param.story.name) + kFault[static_cast<int>(info.param.fault)];
}

INSTANTIATE_TEST_SUITE_P(Upgrades, FaultSweepTest, ::testing::ValuesIn(sweeps()), sweepName);

}  // namespace
}  // namespace ardenvel::test
