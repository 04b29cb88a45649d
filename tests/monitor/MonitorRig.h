#pragma once
// A monitor over a fake window, with discovery tables filled by hand. The
// host below answers nothing; tests that need a bridge use the virtual one.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/DeviceState.h"
#include "monitor/Monitor.h"
#include "tests/monitor/FakeMainView.h"
#include "tests/monitor/Records.h"
#include "tests/support/TestUi.h"

namespace ardenvel::test {

class DeadHost final : public Host {
public:
    DriveHandle openPhysicalDrive(unsigned) override { return kInvalidHandle; }
    DriveHandle openVolume(char) override { return kInvalidHandle; }
    void closeDrive(DriveHandle) override {}
    bool sendCdb(DriveHandle, std::span<const std::uint8_t, 10>, DataDirection, std::span<std::uint8_t>,
                 unsigned) override {
        return false;
    }
    bool sendAta(DriveHandle, TaskFile&, std::span<std::uint8_t>) override { return false; }
    void rescanBus(DriveHandle) override {}
    std::uint32_t logicalDriveMask() override { return 0; }
    std::uint8_t driveType(char) override { return kDriveUnknown; }
    bool volumeDiskNumber(DriveHandle, std::uint32_t&) override { return false; }
    void setDeviceChangeHandler(std::function<void()>) override {}
};

// The identification answer discovery leaves for an enclosure.
inline Sector identifyAnswer(const std::string& revision, const std::string& model) {
    Sector s{};
    for (std::size_t i = 0; i < 8; ++i)
        s[46 + (i ^ 1)] = static_cast<std::uint8_t>(i < revision.size() ? revision[i] : ' ');
    for (std::size_t i = 0; i < 40; ++i)
        s[54 + (i ^ 1)] = static_cast<std::uint8_t>(i < model.size() ? model[i] : ' ');
    return s;
}

struct MonitorRig {
    DeadHost host;
    TestUi ui;
    FixedClock clock;
    DeviceState dev{host, ui, clock};
    MonitorState state;
    FakeMainView view;
    Monitor m{state, dev, view, ui, clock, {}};

    // Records the bridges answer, per slot; a slot missing from `answering` fails.
    std::array<StatusBlock, 4> records{};
    std::array<bool, 4> answering{true, true, true, true};
    std::vector<std::uint8_t> eventLogMasks;
    std::vector<int> queried;

    MonitorRig() {
        state.savedCaption = "Ardenvel v0.21";
        for (auto& r : records) r = RecordBuilder();
        m.hooks.queryStatus = [this](std::uint8_t slot) {
            queried.push_back(slot);
            if (!answering[slot]) return false;
            state.statusBuffers[slot] = records[slot];
            return true;
        };
        m.hooks.updateEventLog = [this](std::uint8_t mask) { eventLogMasks.push_back(mask); };
    }

    // `count` enclosures on drives 1, 2, ... over the reserved-LBA route.
    void enclosures(unsigned count, const std::vector<std::string>& revisions = {}) {
        dev.tables.deviceCount = static_cast<std::uint8_t>(count);
        for (unsigned i = 0; i < count; ++i) {
            dev.tables.deviceTable[i] = kLbaPath | (i + 1);
            const std::string rev = i < revisions.size() ? revisions[i] : "090619.0";
            dev.tables.sectorBuffers[i + 1] = identifyAnswer(rev, "Model" + std::to_string(i + 1));
        }
    }

    // A finished pass, as Timer4 sees it.
    void discover(unsigned count, const std::vector<std::string>& revisions = {}) {
        enclosures(count, revisions);
        {
            std::lock_guard lock(dev.resultMutex);
            dev.finished = dev.tables;
        }
        dev.discoveryPending = false;
        dev.discoveryDone = true;
        EXPECT_TRUE(Timer4Timer(m)) << "the tick did not apply the finished pass";
        EXPECT_FALSE(Timer4Timer(m)) << "one pass applied twice";
    }

    std::uint8_t pending() const { return state.pendingRequests.load(); }
};

}  // namespace ardenvel::test
