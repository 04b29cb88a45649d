// Fault sweeps over whole upgrades: for every request k of a run, cut the
// power after it, fail it, or let writes from it on succeed without effect.
// Then power on and check what the bridge would boot from.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "tests/firmware/UpgradeRig.h"

namespace ardenvel::test {
namespace {

using image::CodeSpec;
using virt::Route;
constexpr std::uint32_t kSlot = image::kCodeSlotSize;

enum class Fault { CutPower, FailRequest, DropWrites };
constexpr unsigned kRecoverEvery = 8;

struct Sweep {
    const char* name;
    Route route;
    std::vector<CodeSpec> codes;
    bool fromSequence127;
    Fault fault;
};

void PrintTo(const Sweep& s, std::ostream* os) {
    *os << s.name;
}

// Sanitizer builds sample every few fault points; ARDENVEL_FAULT_STRIDE overrides.
unsigned stride() {
    if (const char* s = std::getenv("ARDENVEL_FAULT_STRIDE")) return std::max(1, std::atoi(s));
#if defined(__SANITIZE_ADDRESS__)
    return 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 4;
#endif
#endif
    return 1;
}

const char* faultName(Fault f) {
    switch (f) {
        case Fault::CutPower: return "power cut after request k";
        case Fault::FailRequest: return "request k fails";
        case Fault::DropWrites: return "writes from request k dropped";
    }
    return "";
}

class FaultSweepTest : public ::testing::TestWithParam<Sweep> {
protected:
    void SetUp() override {
        const Sweep& s = GetParam();
        if (s.fromSequence127) rig.placeRecordAt(127, true);
        fresh = rig.flash();
        oldRecord = rig.newest();
        image = generate(imageMarking(s.codes));
        rig.load(image);
        for (const CodeSpec& c : s.codes) newCode[c.type] = image::codeSlotContents(c.type, "v2");

        // The clean run: how many requests, and which slots it programs.
        const unsigned before = rig.host.requestCount();
        ASSERT_TRUE(rig.upgrade());
        requests = rig.host.requestCount() - before;
        for (const CodeSpec& c : s.codes) targets.insert(Rig::slotOf(rig.newest(), c.type));
        ASSERT_EQ(targets.size(), s.codes.size());
    }

    void reset() {
        rig.host.clearFaults();
        rig.host.powerOn();
        rig.flash() = fresh;
        rig.ui.boxes.clear();
        rig.ui.panels.clear();
        rig.ui.panelHistory.clear();
        rig.progress = RecordingProgress{};
    }

    Bytes slotBytes(const Bytes& flash, std::uint32_t slot) const {
        if (std::uint64_t{slot} + kSlot > flash.size()) return {};
        return Bytes(flash.begin() + slot, flash.begin() + slot + kSlot);
    }

    std::optional<std::uint32_t> firstChange(std::uint32_t from, std::uint32_t to) const {
        if (from >= to) return std::nullopt;
        const auto m =
            std::mismatch(fresh.begin() + from, fresh.begin() + to, rig.enc.flash().begin() + from);
        if (m.first == fresh.begin() + to) return std::nullopt;
        return static_cast<std::uint32_t>(m.first - fresh.begin());
    }

    // What must hold after any fault: empty when it did.
    std::string check(bool afterFaultRun) {
        const auto at = rig.enc.newestRecordAddress();
        if (!at) return "no record found";
        const std::span<const std::uint8_t> rec(rig.flash().data() + *at, image::kRecordSize);
        if (readLe16(rec, image::record::kChecksum) != image::recordChecksum(rec))
            return "newest record checksum";
        if (rec[image::record::kConfigVersion] != image::kConfigVersion) return "newest record version";
        unsigned upgraded = 0;
        for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
            const std::uint8_t type = oldRecord[image::codeEntryOffset(k)];
            if (type == image::kEmptyCodeType) continue;
            const std::uint32_t now = Rig::slotOf(rec, type);
            const Bytes there = slotBytes(rig.flash(), now);
            const bool isOld = !there.empty() && there == slotBytes(fresh, Rig::slotOf(oldRecord, type));
            const auto fresher = newCode.find(type);
            const bool isNew = fresher != newCode.end() && there == fresher->second;
            if (!isOld && !isNew)
                return "code type " + hexText(type) + " names " + hexText(now) + ", neither code";
            upgraded += isNew ? 1 : 0;
        }
        if (!std::equal(fresh.begin(), fresh.begin() + image::kBootAreaEnd, rig.flash().begin()))
            return "boot area changed";
        // Between the target slots (sorted, disjoint) nothing may change.
        std::uint32_t from = image::kBootAreaEnd;
        for (std::uint32_t t : targets) {
            if (const auto a = firstChange(from, t))
                return "changed outside the target slots at " + hexText(*a);
            from = t + kSlot;
        }
        if (const auto a = firstChange(from, rig.recordBase()))
            return "changed outside the target slots at " + hexText(*a);
        if (afterFaultRun) {
            // Never more reported done than the bridge now boots.
            unsigned total = 0;
            const unsigned done = rig.upgradeOutcome(total);
            if (done != ~0u && done > upgraded)
                return "reported " + std::to_string(done) + " done, " + std::to_string(upgraded) +
                       " recorded";
        }
        return {};
    }

    // A clean upgrade afterwards finishes the job.
    std::string recover() {
        rig.ui.boxes.clear();
        if (!rig.upgrade()) return "the upgrade after power-on failed";
        const RecordBytes rec = rig.newest();
        for (const auto& [type, code] : newCode)
            if (slotBytes(rig.flash(), Rig::slotOf(rec, type)) != code)
                return "after the next upgrade " + hexText(type) + " still lacks the new code";
        if (!std::equal(fresh.begin(), fresh.begin() + image::kBootAreaEnd, rig.flash().begin()))
            return "boot area changed by the next upgrade";
        return {};
    }

    Rig rig{GetParam().route};
    Bytes fresh, image;
    RecordBytes oldRecord{};
    std::map<std::uint8_t, Bytes> newCode;
    std::set<std::uint32_t> targets;
    unsigned requests = 0;
};

TEST_P(FaultSweepTest, EveryFaultPointLeavesABootableFlash) {
    const Sweep& s = GetParam();
    const unsigned step = stride();
    unsigned tried = 0, held = 0;
    std::vector<std::string> failures;
    const unsigned first = s.fault == Fault::CutPower ? 0 : 1;
    const unsigned last = s.fault == Fault::CutPower ? requests - 1 : requests;
    for (unsigned k = first; k <= last; k += step) {
        reset();
        switch (s.fault) {
            case Fault::CutPower: rig.host.cutPowerAfter(k); break;
            case Fault::FailRequest: rig.host.failRequest(k); break;
            case Fault::DropWrites: rig.host.dropWritesFrom(k); break;
        }
        rig.upgrade();
        rig.host.clearFaults();
        rig.host.powerOn();
        std::string why = check(s.fault != Fault::CutPower);
        // The follow-up upgrade costs a whole run; every few points show it.
        if (why.empty() && k % kRecoverEvery == 0) why = recover();
        ++tried;
        if (why.empty())
            ++held;
        else if (failures.size() < 5)
            failures.push_back("k=" + std::to_string(k) + ": " + why);
    }
    std::printf("[ fault    ] %s, %s: %u of %u fault points held (%u requests, stride %u)\n", s.name,
                faultName(s.fault), held, tried, requests, step);
    EXPECT_EQ(held, tried) << ::testing::PrintToString(failures);
    EXPECT_GT(tried, requests / step / 2);
}

std::vector<Sweep> sweeps() {
    const std::vector<CodeSpec> two = {{0x31, kSlot, true}, {0x32, 2 * kSlot, true}};
    const std::vector<CodeSpec> one = {{0x35, 3 * kSlot, true}};
    std::vector<Sweep> out;
    for (Fault f : {Fault::CutPower, Fault::FailRequest, Fault::DropWrites}) {
        out.push_back({"TwoTypesLba", Route::Lba, two, false, f});
        out.push_back({"TwoTypesUsb", Route::UsbShift, two, false, f});
        out.push_back({"RingWrapLba", Route::Lba, one, true, f});
        out.push_back({"RingWrapUsb", Route::UsbShift, one, true, f});
    }
    return out;
}

std::string sweepName(const ::testing::TestParamInfo<Sweep>& info) {
    static const char* const kFault[] = {"Cut", "Fail", "Drop"};
    return std::string(info.param.name) + kFault[static_cast<int>(info.param.fault)];
}

INSTANTIATE_TEST_SUITE_P(Upgrades, FaultSweepTest, ::testing::ValuesIn(sweeps()), sweepName);

}  // namespace
}  // namespace ardenvel::test
