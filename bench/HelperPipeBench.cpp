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
// whose idle processors halt, that share dominates at D = 1 ms. What is left
// at D = 0, the pipe's cost less that bare round trip, is the helper's own
// share: framing, the policy's checks and the buffers; it should stay below
// 5 us.
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
#include "hosts/remote/HostServer.h"
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
        // SPI access open, as SpiRead opens it before its steps.
        stampSignature(command);
        command[kVuCodeAt] = kVuSpiAccess;
        command[kVuArgumentAt] = 1;
        sealCommandSector(command);
        if (!host.sendCdb(handle, sectorCdb(kWrite10, kRandomLbaFirst, 1), DataDirection::ToDevice, command,
                          kRequestTimeoutSeconds))
            std::abort();
        command[kVuCodeAt] = kVuSetReadAddress;
        command[kVuArgumentAt] = 0x03;
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

// The helper's loop alone: request bodies in, reply bodies out, no pipe and
// no thread. Less the direct road, it is the helper's own work per request.
struct Loop {
    explicit Loop(Host& h) : server(h, {}) {
        remote::Request r;
        r.op = remote::Op::OpenPhysical;
        const auto opened = remote::parseReply(r.op, *server.answer(remote::encodeRequest(r)));
        if (!opened) std::abort();
        // Discovery's read, which gives the drive its standing.
        answer(sector(opened->handle, kRead10, kIdentifyLba, {}));
        Sector open{};
        stampSignature(open);
        open[kVuCodeAt] = kVuSpiAccess;
        open[kVuArgumentAt] = 1;
        sealCommandSector(open);
        answer(sector(opened->handle, kWrite10, kRandomLbaFirst, open));
        Sector command = open;
        command[kVuCodeAt] = kVuSetReadAddress;
        command[kVuArgumentAt] = 0x03;
        for (std::uint32_t i = 0; i < kRandomLbaCount; ++i)
            writes.push_back(
                remote::encodeRequest(sector(opened->handle, kWrite10, kRandomLbaFirst + i, command)));
        read = remote::encodeRequest(sector(opened->handle, kRead10, kFlashDataLba, {}));
    }
    static remote::Request sector(DriveHandle h, std::uint8_t op, std::uint32_t lba, const Sector& data) {
        remote::Request r;
        r.op = remote::Op::Cdb;
        r.handle = h;
        r.cdb = sectorCdb(op, lba, 1);
        r.direction = op == kRead10 ? DataDirection::ToHost : DataDirection::ToDevice;
        r.timeoutSeconds = kRequestTimeoutSeconds;
        r.data.assign(data.begin(), data.end());
        return r;
    }
    void answer(const remote::Request& r) {
        const auto reply = server.answer(remote::encodeRequest(r));
        if (!reply || !remote::parseReply(r.op, *reply)->ok) std::abort();
    }
    double request(unsigned n) {
        const auto& body = n % 2 == 0 ? writes[n / 2 % writes.size()] : read;
        const auto start = Steady::now();
        const auto reply = server.answer(body);
        const double us = std::chrono::duration<double, std::micro>(Steady::now() - start).count();
        if (!reply || reply->size() < 2 || (*reply)[1] != 1) std::abort();
        return us;
    }

    remote::HostServer server;
    std::vector<std::vector<std::uint8_t>> writes;
    std::vector<std::uint8_t> read;
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
    Loop loop(disk);
    if (direct.dev.tables.deviceCount != 1 || through.dev.tables.deviceCount != 1) {
        std::fprintf(stderr, "HelperPipeBench: discovery found no enclosure\n");
        return 1;
    }

    Echo echo;
    std::printf("Command-sector writes and page reads, %u requests on each road, medians:\n", requests);
    std::printf("  %-6s %14s %16s %12s %10s %17s\n", "D", "direct us/req", "helper us/req", "pipe us/req",
                "of D", "bare wake-ups us");
    bool pass = true;
    double ownShare = 0, loopShare = 0;
    for (const int d : {0, 1000}) {
        disk.setDelayPerRequest(std::chrono::microseconds(d));
        echo.delayUs = d;
        std::vector<double> plain, served, bare, looped;
        for (unsigned n = 0; n < requests; ++n) {
            plain.push_back(direct.request(n));
            served.push_back(through.request(n));
            bare.push_back(echo.roundTrip() - d);
            if (d == 0) looped.push_back(loop.request(n));
        }
        const double cost = median(served) - median(plain);
        std::printf("  %-6s %14.2f %16.2f %12.2f", d == 0 ? "0" : "1 ms", median(plain), median(served),
                    cost);
        if (d > 0) {
            std::printf(" %9.3f%%", 100.0 * cost / d);
            pass = cost < 0.02 * d;
        } else {
            std::printf(" %10s", "");
            ownShare = cost - median(bare);
            loopShare = median(looped) - median(plain);
        }
        std::printf(" %17.2f\n", median(bare));
    }
    std::printf("HELPER'S OWN SHARE PER REQUEST at D = 0 (pipe less bare round trip, goal 5 us): %.2f us\n",
                ownShare);
    std::printf("  the same measured inside: the helper's loop alone less the direct road: %.2f us\n",
                loopShare);
    std::printf("PIPE COST PER REQUEST at D = 1 ms (limit 2%% = 20 us): %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
