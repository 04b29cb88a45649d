// What the road through the host helper costs per request. The requests of
// an upgrade's read-back on the reserved-LBA route (a command sector written
// to LBA 20, the flash page read from LBA 60) go straight to the emulated
// enclosure and through RemoteHost, a socket pair and the helper's loop on
// its own thread, one request each way in turn, so both meet the same load.
// Every request is held D at the disk (the emulator sleeps, then spins the
// last stretch). The cost per request is the difference of the two medians;
// at D = 1 ms it must stay below 2 % of D (20 us), so that an upgrade through
// the helper still runs at 98 % of the wire's limit. D = 0 shows the bare
// round trip.
//
// Beside them, one byte goes to a thread over a socket pair of its own and
// comes back after the same D: what the machine's thread wake-ups cost
// before the helper does anything. On a loaded machine, or in a virtual one
// whose idle processors halt, that share dominates at D = 1 ms.
//
//   HelperPipeBench [requests]      2000 of each kind and road by default

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "device/Discovery.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
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

// One road to the enclosure on drive 0, found by discovery: through the
// helper, writes go only to a drive that has answered as a bridge.
struct Road {
    explicit Road(Host& h) : host(h), dev(h, ui, clock) {
        dev.physicalDriveCount = CountPhysicalDrives(dev);
        RunDiscovery(dev);
        ApplyDiscoveryResult(dev);
        handle = host.openPhysicalDrive(0);
        stampSignature(command);
        command[kVuCodeAt] = kVuSetReadAddress;
        command[kVuArgumentAt] = 0x03;
        sealCommandSector(command);
    }
    ~Road() { host.closeDrive(handle); }

    // Microseconds of one request: even n writes the read-address command
    // sector at a random LBA, as SpiRead does, odd n reads the page.
    double request(unsigned n) {
        const bool write = n % 2 == 0;
        const auto cdb = write ? sectorCdb(kWrite10, kRandomLbaFirst + n / 2 % kRandomLbaCount, 1)
                               : sectorCdb(kRead10, kFlashDataLba, 1);
        const auto start = Steady::now();
        const bool ok =
            write ? host.sendCdb(handle, cdb, DataDirection::ToDevice, command, kRequestTimeoutSeconds)
                  : host.sendCdb(handle, cdb, DataDirection::ToHost, page, kRequestTimeoutSeconds);
        const double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
        if (!ok) std::abort();
        return us;
    }

    Host& host;
    QuietUi ui;
    SystemClock clock;
    DeviceState dev;
    DriveHandle handle = kInvalidHandle;
    Sector command{};
    Sector page{};
};

// A thread that answers each byte after holding it D, as the emulator holds
// a request: sleep most of it, spin the rest.
class Echo {
public:
    Echo() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) != 0) std::abort();
        thread_ = std::thread([this] {
            char b = 0;
            while (::read(ends_[1], &b, 1) == 1) {
                const auto until = Steady::now() + std::chrono::microseconds(delayUs);
                if (delayUs > 300) std::this_thread::sleep_for(std::chrono::microseconds(delayUs - 300));
                while (Steady::now() < until) std::this_thread::yield();
                if (::write(ends_[1], &b, 1) != 1) return;
            }
        });
    }
    ~Echo() {
        ::close(ends_[0]);
        thread_.join();
        ::close(ends_[1]);
    }
    double roundTrip() {
        char b = 1;
        const auto start = Steady::now();
        if (::write(ends_[0], &b, 1) != 1 || ::read(ends_[0], &b, 1) != 1) std::abort();
        return std::chrono::duration<double, std::micro>(Steady::now() - start).count();
    }
    std::atomic<int> delayUs{0};

private:
    int ends_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const unsigned requests = argc > 1 ? std::max(2, std::atoi(argv[1])) : 2000;
    virt::VirtualHost disk;
    disk.setTraceEnabled(false);
    virt::EnclosureConfig lba;
    lba.route = virt::Route::Lba;
    disk.addEnclosure(0, lba);
    remote::InProcessHelper helper(disk);
    Road direct(disk), through(helper.host());
    if (direct.dev.tables.deviceCount != 1 || through.dev.tables.deviceCount != 1) {
        std::fprintf(stderr, "HelperPipeBench: discovery found no enclosure\n");
        return 1;
    }

    Echo echo;
    std::printf("Command-sector writes and page reads, %u requests on each road, medians:\n", requests);
    std::printf("  %-6s %14s %16s %12s %10s %17s\n", "D", "direct us/req", "helper us/req", "pipe us/req",
                "of D", "bare wake-ups us");
    bool pass = true;
    for (const int d : {0, 1000}) {
        disk.setDelayPerRequest(std::chrono::microseconds(d));
        echo.delayUs = d;
        std::vector<double> plain, served, bare;
        for (unsigned n = 0; n < requests; ++n) {
            plain.push_back(direct.request(n));
            served.push_back(through.request(n));
            bare.push_back(echo.roundTrip() - d);
        }
        const double cost = median(served) - median(plain);
        std::printf("  %-6s %14.2f %16.2f %12.2f", d == 0 ? "0" : "1 ms", median(plain), median(served),
                    cost);
        if (d > 0) {
            std::printf(" %9.3f%%", 100.0 * cost / d);
            pass = cost < 0.02 * d;
        } else {
            std::printf(" %10s", "");
        }
        std::printf(" %17.2f\n", median(bare));
    }
    std::printf("PIPE COST PER REQUEST at D = 1 ms (limit 2%% = 20 us): %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
