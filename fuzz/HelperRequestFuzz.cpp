// libFuzzer target over the host helper's whole session: each input is a
// stream of frames from a hostile client, served by HostServer::serve() as
// the helper serves its standard input, over a world of emulated disks:
// drive 0 a plain disk (which answers vendor CDBs with CHECK CONDITION and
// nothing moved, as a real one does), drive 1 a reserved-LBA and ATA bridge,
// drive 2 a USB bridge, drive 12 a plain disk beyond discovery's reach.
// The input's first 8 bytes say after which requests drives 1 and 2 are
// swapped for a plain disk, or back, each swap raising a device change.
//
// Whatever comes in: no request that writes reaches a plain disk, no flash
// change reaches the boot area, drive 12 is never touched, and every
// request read gets its reply, in order, with notices only between them.
//
//   build-fuzz/fuzz_helper_requests -max_len=16384 -detect_leaks=0 -runs=1000000 build-fuzz/corpus-helper
//
// With ARDENVEL_FUZZ_SEEDS=DIR set, it first writes seed sessions into DIR.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "device/ByteOrder.h"
#include "device/Discovery.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "hosts/remote/HostServer.h"
#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::fuzz {
namespace {

using remote::Op;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

virt::EnclosureConfig bridge(virt::Route route) {
    virt::EnclosureConfig c;
    c.route = route;
    c.flashSize = 0x20000;  // the smallest layout: cheap to make at each swap
    return c;
}

// The helper's host: the emulated disks, with handles numbered from 1 for
// each session so that the inputs can name them, and the swaps the input
// schedules.
class World final : public Host {
public:
    World() {
        disks_.setTraceEnabled(false);
        disks_.setTraceObserver([this](const virt::TraceEntry& e) { observe(e); });
        disks_.addOrdinaryDisk(0);
        disks_.addEnclosure(1, bridge(virt::Route::LbaAta));
        disks_.addEnclosure(2, bridge(virt::Route::UsbShift));
        disks_.addOrdinaryDisk(12);
        disks_.addVolume('E', kDriveFixed, 1);
        plain_ = {disks_.diskSequence(0), disks_.diskSequence(12)};
    }

    void startSession(std::uint64_t schedule) {
        for (const auto& [mine, theirs] : handles_) disks_.closeDrive(theirs);
        handles_.clear();
        next_ = 1;
        schedule_ = schedule;
        requests_ = 0;
    }

    DriveHandle openPhysicalDrive(unsigned n) override {
        check(n != 12, "drive 12 was opened");
        return keep(disks_.openPhysicalDrive(n));
    }
    DriveHandle openVolume(char letter) override { return keep(disks_.openVolume(letter)); }
    void closeDrive(DriveHandle h) override {
        const auto it = handles_.find(h);
        check(it != handles_.end(), "the helper closed a handle it never got");
        disks_.closeDrive(it->second);
        handles_.erase(it);
    }
    bool sendCdb(DriveHandle h, std::span<const std::uint8_t, 10> cdb, DataDirection d,
                 std::span<std::uint8_t> data, unsigned timeout) override {
        CdbStatus status;
        return sendCdbWithStatus(h, cdb, d, data, timeout, status);
    }
    bool sendCdbWithStatus(DriveHandle h, std::span<const std::uint8_t, 10> cdb, DataDirection d,
                           std::span<std::uint8_t> data, unsigned timeout, CdbStatus& status) override {
        const bool ok = disks_.sendCdbWithStatus(theirs(h), cdb, d, data, timeout, status);
        afterRequest();
        return ok;
    }
    bool sendAta(DriveHandle h, TaskFile& r, std::span<std::uint8_t> data) override {
        const bool ok = disks_.sendAta(theirs(h), r, data);
        afterRequest();
        return ok;
    }
    DiskIdentity driveIdentity(DriveHandle h) override { return disks_.driveIdentity(theirs(h)); }
    void rescanBus(DriveHandle h) override { disks_.rescanBus(theirs(h)); }
    std::uint32_t logicalDriveMask() override { return disks_.logicalDriveMask(); }
    std::uint8_t driveType(char letter) override { return disks_.driveType(letter); }
    bool volumeDiskNumber(DriveHandle h, std::uint32_t& n) override {
        return disks_.volumeDiskNumber(theirs(h), n);
    }
    void setDeviceChangeHandler(std::function<void()> handler) override {
        disks_.setDeviceChangeHandler(std::move(handler));
    }

private:
    DriveHandle keep(DriveHandle theirs) {
        if (theirs == kInvalidHandle) return kInvalidHandle;
        handles_[next_] = theirs;
        return next_++;
    }
    DriveHandle theirs(DriveHandle mine) const {
        const auto it = handles_.find(mine);
        return it == handles_.end() ? kInvalidHandle : it->second;
    }

    // Drive 1 after even requests, drive 2 after odd ones, where the schedule says.
    void afterRequest() {
        const unsigned n = requests_++;
        if (n >= 64 || (schedule_ >> n & 1) == 0) return;
        const unsigned drive = 1 + n % 2;
        if (plain_.contains(disks_.diskSequence(drive))) {
            disks_.swapAfter(0, drive, bridge(drive == 1 ? virt::Route::LbaAta : virt::Route::UsbShift));
        } else {
            disks_.swapAfter(0, drive, virt::OrdinaryDiskConfig{});
            plain_.insert(disks_.diskSequence(drive));
        }
    }

    void observe(const virt::TraceEntry& e) {
        const bool request = e.kind == virt::TraceEntry::Kind::Cdb || e.kind == virt::TraceEntry::Kind::Ata;
        if (!request || e.disk == 0) return;
        if (plain_.contains(e.disk)) {
            const bool writes =
                e.kind == virt::TraceEntry::Kind::Cdb && e.direction == DataDirection::ToDevice;
            const bool ata = e.kind == virt::TraceEntry::Kind::Ata && e.taskIn.command != kAtaIdentify;
            check(!writes && !ata, "a request that writes reached a plain disk");
            return;
        }
        // A bridge: no erase or page program of the boot area.
        std::uint32_t address = 0x1000000;
        if (e.cdb[0] == kWrite10 && e.data.size() == kSector &&
            (e.data[kVuCodeAt] == kVuErase || e.data[kVuCodeAt] == kVuProgram))
            address = readBe24(e.data, kVuAddressAt);
        for (const std::uint8_t shift : {0, 1}) {
            const std::uint8_t op = e.cdb[2 - shift];
            if (e.cdb[0] == kVendorOpcode && e.cdb[1 - shift] == kVendorOpcode && (op == 0x89 || op == 0x81))
                address = readBe24(e.cdb, 4 - shift);
        }
        check(address >= 0xC000, "a flash change reached the boot area");
    }

    virt::VirtualHost disks_;
    std::set<std::uint64_t> plain_;
    std::map<DriveHandle, DriveHandle> handles_;
    DriveHandle next_ = 1;
    std::uint64_t schedule_ = 0;
    unsigned requests_ = 0;
};

struct Session {
    Session() : in(::memfd_create("requests", MFD_CLOEXEC)), out(::memfd_create("replies", MFD_CLOEXEC)) {
        check(in >= 0 && out >= 0, "memory files");
    }
    int in, out;
};

std::vector<std::uint8_t> readAll(int fd) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    check(::pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()), "read back");
    return bytes;
}

void rewrite(int fd, const std::uint8_t* data, std::size_t size) {
    check(::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0, "rewind");
    if (size > 0) check(::write(fd, data, size) == static_cast<ssize_t>(size), "write");
    check(::lseek(fd, 0, SEEK_SET) == 0, "rewind");
}

// Frames as the helper reads them, from the front of a byte stream.
std::vector<std::vector<std::uint8_t>> frames(std::span<const std::uint8_t> bytes) {
    std::vector<std::vector<std::uint8_t>> out;
    while (bytes.size() >= 4) {
        const std::uint32_t n = readLe32(bytes, 0);
        if (n == 0 || n > remote::kMaxFrameBytes || bytes.size() - 4 < n) break;
        out.emplace_back(bytes.begin() + 4, bytes.begin() + 4 + n);
        bytes = bytes.subspan(4 + n);
    }
    return out;
}

void writeSeeds(const std::filesystem::path& dir);

}  // namespace
}  // namespace ardenvel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("ARDENVEL_FUZZ_SEEDS")) ardenvel::fuzz::writeSeeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ardenvel;
    static fuzz::World world;
    static fuzz::Session session;
    if (size < 8) return 0;
    world.startSession(readLe32(std::span(data, 4), 0) | std::uint64_t{readLe32(std::span(data + 4, 4), 0)}
                                                             << 32);
    fuzz::rewrite(session.in, data + 8, size - 8);
    fuzz::rewrite(session.out, nullptr, 0);
    {
        remote::HostServer server(world, {});
        server.serve(session.in, session.out);
    }
    // The greeting, then one reply per request served, in order.
    const auto requests = fuzz::frames(std::span(data + 8, size - 8));
    const auto replies = fuzz::frames(fuzz::readAll(session.out));
    fuzz::check(!replies.empty() && remote::parseHello(replies.front()).has_value(),
                "the greeting comes first");
    std::size_t next = 0;
    for (std::size_t i = 1; i < replies.size(); ++i) {
        if (replies[i].size() == 1 && replies[i][0] == remote::kNotice) continue;
        fuzz::check(next < requests.size(), "no reply without a request");
        const auto request = remote::parseRequest(requests[next++]);
        fuzz::check(request.has_value(), "no reply to a malformed request");
        fuzz::check(remote::parseReply(request->op, replies[i]).has_value(), "each reply fits its request");
    }
    // Every request up to the first malformed one was answered, unless the
    // client was cut off.
    for (std::size_t i = next; i < requests.size(); ++i) {
        if (!remote::parseRequest(requests[i])) break;
        fuzz::check(next > remote::kRefusalLimit, "a well-formed request went unanswered");
    }
    return 0;
}

namespace ardenvel::fuzz {
namespace {

std::vector<std::uint8_t> frame(const remote::Request& r) {
    const auto body = remote::encodeRequest(r);
    std::vector<std::uint8_t> out(4);
    writeLe32(out, 0, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

remote::Request open(unsigned drive) {
    remote::Request r;
    r.op = Op::OpenPhysical;
    r.number = drive;
    return r;
}

remote::Request cdb(DriveHandle h, const std::array<std::uint8_t, 10>& c, DataDirection d, std::size_t bytes,
                    std::vector<std::uint8_t> data = {}) {
    remote::Request r;
    r.op = Op::Cdb;
    r.handle = h;
    r.cdb = c;
    r.direction = d;
    r.timeoutSeconds = c[0] == kInquiryOpcode ? kInquiryTimeoutSeconds : kRequestTimeoutSeconds;
    r.data = data.empty() ? std::vector<std::uint8_t>(bytes) : std::move(data);
    return r;
}

std::vector<std::uint8_t> command(std::uint8_t code, std::uint8_t argument, std::uint32_t address) {
    Sector s{};
    stampSignature(s);
    s[kVuCodeAt] = code;
    s[kVuArgumentAt] = argument;
    writeBe24(s, kVuAddressAt, address);
    if (code == kVuProgram) s[kVuProgramMarkAt] = kVuProgramMark;
    sealCommandSector(s);
    return {s.begin(), s.end()};
}

// Sessions as the tool runs them: discovery's probes of every drive, then
// an upgrade's first steps on the reserved-LBA bridge (handle 2) and the
// USB one (handle 3), and some of what a hostile client tries.
void writeSeeds(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    const auto out = [](std::vector<remote::Request> requests) {
        std::vector<std::uint8_t> bytes(8, 0);
        for (const auto& r : requests) {
            const auto f = frame(r);
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        return bytes;
    };
    const auto wr = [](DriveHandle h, std::uint32_t lba, std::vector<std::uint8_t> s) {
        return cdb(h, sectorCdb(kWrite10, lba, 1), DataDirection::ToDevice, kSector, std::move(s));
    };
    const auto rd = [](DriveHandle h, std::uint32_t lba) {
        return cdb(h, sectorCdb(kRead10, lba, 1), DataDirection::ToHost, kSector);
    };
    remote::Request watch;
    watch.op = Op::Watch;
    remote::Request identify;
    identify.op = Op::Ata;
    identify.handle = 2;
    identify.registers = kIdentifyRegisters;
    identify.data.resize(kSector);
    std::vector<remote::Request> discovery = {watch, open(0), open(1), open(2)};
    for (DriveHandle h = 1; h <= 3; ++h) {
        discovery.push_back(rd(h, kIdentifyLba));
        identify.handle = h;
        discovery.push_back(identify);
        discovery.push_back(cdb(h, inquiryCdb(), DataDirection::ToHost, kInquiryBytes));
        discovery.push_back(
            cdb(h, bridgeTransferCdb(BridgeKind::SignatureRead, 0, 1), DataDirection::ToHost, kSector));
        discovery.push_back(cdb(h, bridgeQueryCdb(kIdentityQueryRow, 1), DataDirection::ToHost, 20));
    }
    std::vector<remote::Request> upgrade = discovery;
    for (const auto& r :
         {wr(2, 40, command(kVuUpdateMode, 1, 0)), wr(2, 41, command(kVuSpiAccess, 1, 0)),
          wr(2, 42, command(kVuSetReadAddress, 3, 0)), rd(2, kFlashDataLba), rd(2, kRecordLba),
          wr(2, 20, command(kVuErase, 0x20, 0xC000)), wr(2, 20, command(kVuProgram, 2, 0xC000)),
          wr(2, 20, command(kVuErase, 0x20, 0x1000)), wr(1, 20, command(kVuBuzzerAutoScan, 1, 1)),
          cdb(3, bridgeTransferCdb(BridgeKind::ReadPage, 0, 1), DataDirection::ToHost, kSector),
          cdb(3, bridgeTransferCdb(BridgeKind::EraseSector, 0xC000, 1), DataDirection::ToHost, 8),
          cdb(3, bridgeTransferCdb(BridgeKind::WritePage, 0x18000, 1), DataDirection::ToDevice, 256),
          wr(2, 43, command(kVuUpdateMode, 0, 0))})
        upgrade.push_back(r);
    std::vector<remote::Request> forged = {open(0), open(1)};
    std::vector<std::uint8_t> answer(20, 0);
    answer[0] = 0x50;
    answer[1] = 0x8B;
    forged.push_back(cdb(1, bridgeQueryCdb(kIdentityQueryRow, 1), DataDirection::ToHost, 20, answer));
    forged.push_back(wr(1, 20, command(kVuBuzzerAutoScan, 0, 0)));
    forged.push_back(rd(1, kRecordLba));
    const std::pair<const char*, std::vector<std::uint8_t>> seeds[] = {
        {"discovery", out(discovery)}, {"upgrade", out(upgrade)}, {"forged", out(forged)}};
    for (const auto& [name, bytes] : seeds) {
        std::ofstream f(dir / name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // The same upgrade with drive 1 swapped after each of its first requests.
    auto swapped = out(upgrade);
    swapped[0] = 0x55;
    std::ofstream(dir / "upgrade-swapped", std::ios::binary)
        .write(reinterpret_cast<const char*>(swapped.data()), static_cast<std::streamsize>(swapped.size()));
}

}  // namespace
}  // namespace ardenvel::fuzz
