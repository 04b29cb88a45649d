// What the road through the host helper costs per request. The same flash
// read of one code slot (0xC000 bytes, the read-back of an upgrade) runs
// straight on the emulated enclosure and through RemoteHost, a socket pair
// and the helper's loop on its own thread, in alternating rounds. Every
// request is held D at the disk (the emulator sleeps, then spins the last
// stretch). The cost per request is the difference of the two medians; at
// D = 1 ms it must stay below 2 % of D (20 us), so that an upgrade through
// the helper still runs at 98 % of the wire's limit. D = 0 shows the bare
// round trip.
//
//   HelperPipeBench [rounds]      11 rounds of each by default

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/Discovery.h"
#include "device/SpiFlash.h"
#include "hosts/SystemClock.h"
#include "hosts/remote/InProcessHelper.h"
#include "hosts/virtual/VirtualHost.h"
#include "platform/Ui.h"

namespace {

using namespace ardenvel;
using Steady = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Road {
    Road(Host& host, virt::VirtualHost& disk) : disk(disk), dev(host, ui, clock) {
        // Discovery first: through the helper, writes go only to a drive
        // that has answered as a bridge.
        dev.physicalDriveCount = CountPhysicalDrives(dev);
        RunDiscovery(dev);
        ApplyDiscoveryResult(dev);
    }
    // Microseconds per request of one slot read.
    double readSlot() {
        std::vector<std::uint8_t> slot(0xC000);
        const unsigned before = disk.requestCount();
        const auto start = Steady::now();
        if (!SpiRead(dev, 0xC000, 0xC000, slot.data())) std::abort();
        const double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
        return us / (disk.requestCount() - before);
    }
    virt::VirtualHost& disk;
    QuietUi ui;
    SystemClock clock;
    DeviceState dev;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    virt::VirtualHost disk;
    disk.setTraceEnabled(false);
    virt::EnclosureConfig lba;
    lba.route = virt::Route::Lba;
    disk.addEnclosure(0, lba);
    remote::InProcessHelper helper(disk);
    Road direct(disk, disk), through(helper.host(), disk);
    if (direct.dev.tables.deviceCount != 1 || through.dev.tables.deviceCount != 1) {
        std::fprintf(stderr, "HelperPipeBench: discovery found no enclosure\n");
        return 1;
    }

    std::printf("Flash read of 0xC000 bytes on the reserved-LBA route, %d rounds each, medians:\n", rounds);
    std::printf("  %-6s %14s %16s %12s %10s\n", "D", "direct us/req", "helper us/req", "pipe us/req", "of D");
    bool pass = true;
    for (const int d : {0, 1000}) {
        disk.setDelayPerRequest(std::chrono::microseconds(d));
        std::vector<double> plain, served;
        for (int i = 0; i < rounds; ++i) {
            plain.push_back(direct.readSlot());
            served.push_back(through.readSlot());
        }
        const double cost = median(served) - median(plain);
        std::printf("  %-6s %14.2f %16.2f %12.2f", d == 0 ? "0" : "1 ms", median(plain), median(served),
                    cost);
        if (d > 0) {
            std::printf(" %9.3f%%", 100.0 * cost / d);
            pass = cost < 0.02 * d;
        }
        std::printf("\n");
    }
    std::printf("PIPE COST PER REQUEST at D = 1 ms (limit 2%% = 20 us): %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
