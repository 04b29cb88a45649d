#pragma once
// An upgrade whose enclosure is taken away after one of its requests and
// another disk put under its number: a plain disk, or another enclosure.
// Run once per step of a seeded sample, it counts the requests that reach
// the newcomer, which must be none.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "device/Discovery.h"
#include "device/VuChannel.h"
#include "firmware/Upgrade.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::test {

struct SwapSweepResult {
    unsigned runs = 0;
    unsigned requestsToNewcomers = 0;
    unsigned upgradeRequests = 0;  // of one upgrade with no swap
};

// `road` turns the virtual host into the host the device logic talks to
// (the host itself, or the host helper's road to it) and runs the work.
template <class Road>
SwapSweepResult sweepSwaps(virt::Route route, unsigned samples, std::uint32_t seed, Road road) {
    namespace fs = std::filesystem;
    const fs::path dumps = fs::temp_directory_path() / ("ardenvel-swap-" + std::to_string(seed));
    fs::create_directories(dumps);
    FirmwareState fw;
    image::ImageSpec plan;
    plan.versionTag = "v2";
    plan.codes = {{0x31, 0xC000, true}, {0x32, 0x18000, true}};
    std::string error;
    EXPECT_TRUE(image::generateImage(plan, fw.image.bytes, error)) << error;

    // Discovery, then the upgrade; `swapAt` requests into the upgrade (none
    // when negative) drive 1 gets `newcomer`.
    const auto run = [&](int swapAt, const virt::VirtualHost::Newcomer& newcomer, unsigned& toNewcomer) {
        virt::VirtualHost host;
        host.addOrdinaryDisk(0);
        virt::EnclosureConfig c;
        c.route = route;
        host.addEnclosure(1, c);
        unsigned upgradeRequests = 0;
        road(host, [&](DeviceState& dev) {
            dev.physicalDriveCount = CountPhysicalDrives(dev);
            ASSERT_TRUE(RunDiscovery(dev));
            ApplyDiscoveryResult(dev);
            ASSERT_EQ(dev.tables.deviceCount, 1);
            const unsigned before = host.requestCount();
            const std::uint64_t oldDisk = host.diskSequence(1);
            host.clearTrace();
            if (swapAt >= 0) host.swapAfter(static_cast<unsigned>(swapAt), 1, newcomer);
            QuietProgress progress;
            StartUpgrade(fw, dev, progress, dumps);
            upgradeRequests = host.requestCount() - before;
            const std::uint64_t newDisk = host.diskSequence(1);
            if (swapAt < 0 || newDisk == oldDisk) return;
            for (const virt::TraceEntry& e : host.trace()) {
                const bool request =
                    e.kind == virt::TraceEntry::Kind::Cdb || e.kind == virt::TraceEntry::Kind::Ata;
                if (request && e.disk == newDisk) ++toNewcomer;
            }
        });
        return upgradeRequests;
    };

    SwapSweepResult result;
    unsigned none = 0;
    result.upgradeRequests = run(-1, virt::OrdinaryDiskConfig{}, none);
    EXPECT_EQ(none, 0u);
    EXPECT_GT(result.upgradeRequests, 100u);
    // Every step is a candidate: before the first request, after each one.
    std::mt19937 rng(seed);
    std::set<unsigned> steps{0, 1, result.upgradeRequests - 1};
    while (steps.size() < samples) steps.insert(rng() % result.upgradeRequests);
    for (const unsigned k : steps) {
        for (int kind = 0; kind < 2; ++kind) {
            virt::EnclosureConfig other;
            other.route = k % 2 ? virt::Route::Lba : virt::Route::UsbShift;
            other.serial = "ARDV00000002";
            const virt::VirtualHost::Newcomer newcomer =
                kind == 0 ? virt::VirtualHost::Newcomer{virt::OrdinaryDiskConfig{}}
                          : virt::VirtualHost::Newcomer{other};
            unsigned reached = 0;
            run(static_cast<int>(k), newcomer, reached);
            EXPECT_EQ(reached, 0u) << "swap after request " << k
                                   << (kind ? ", another enclosure" : ", a plain disk");
            result.requestsToNewcomers += reached;
            ++result.runs;
        }
    }
    fs::remove_all(dumps);
    return result;
}

}  // namespace ardenvel::test
