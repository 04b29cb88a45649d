#include "hosts/remote/HostServer.h"

#include <algorithm>

#include "device/Transport.h"
#include "device/VuChannel.h"
#include "hosts/TracingHost.h"

namespace ardenvel::remote {
namespace {

std::string driveName(bool volume, unsigned drive) {
    return volume ? std::string("a volume") : "PhysicalDrive" + std::to_string(drive);
}

std::string letterText(char letter) {
    const auto c = static_cast<unsigned char>(letter);
    if (c >= 0x21 && c < 0x7F) return std::string(1, letter) + ":";
    return "0x" + hexBytes(std::span(&c, 1));
}

std::string registersText(const TaskFile& t) {
    return hexBytes(
        std::array{t.features, t.sectorCount, t.lbaLow, t.lbaMid, t.lbaHigh, t.device, t.command});
}

bool same10(std::span<const std::uint8_t, 10> a, const std::array<std::uint8_t, 10>& b) {
    return std::equal(a.begin(), a.end(), b.begin());
}

std::string requestText(const Request& r, const std::string& drive) {
    switch (r.op) {
        case Op::Cdb:
            return drive + " cdb " + hexBytes(r.cdb) +
                   (r.direction == DataDirection::ToHost ? " in " : " out ") + std::to_string(r.data.size());
        case Op::Ata:
            return drive + " ata " + registersText(r.registers) + " in " + std::to_string(r.data.size());
        case Op::Rescan: return drive + " rescan";
        case Op::Close: return "close of handle " + std::to_string(r.handle);
        case Op::VolumeDisk: return "extents of handle " + std::to_string(r.handle);
        default: return drive;
    }
}

}  // namespace

HostServer::HostServer(Host& inner, RefusalSink refusals) : inner_(inner), sink_(std::move(refusals)) {
    // Told whether or not the client watches: standing may depend on it.
    inner_.setDeviceChangeHandler([this] {
        deviceChanged_ = true;
        if (watching_) pushNotice();
    });
}

HostServer::~HostServer() {
    closeAll();
    inner_.setDeviceChangeHandler({});
}

void HostServer::log(const std::string& line) {
    if (sink_) sink_(line);
}

void HostServer::refuse(const std::string& request, const char* reason) {
    ++refusals_;
    // A bucket of lines: kRefusalBurst at once, refilled at one a second.
    const auto now = std::chrono::steady_clock::now();
    logTokens_ = std::min<double>(kRefusalBurst,
                                  logTokens_ + std::chrono::duration<double>(now - lastRefill_).count());
    lastRefill_ = now;
    if (logTokens_ < 1) {
        ++unlogged_;
        return;
    }
    logTokens_ -= 1;
    std::string line = "refused " + request + ": " + reason;
    if (unlogged_ > 0) line += " (" + std::to_string(unlogged_) + " more refused since the last line)";
    unlogged_ = 0;
    log(line);
}

void HostServer::pushNotice() {
    static constexpr std::uint8_t kBody[] = {kNotice};
    std::lock_guard lock(writeMutex_);
    if (outFd_ >= 0) writeFrame(outFd_, kBody);
}

void HostServer::closeAll() {
    watching_ = false;
    for (const auto& [handle, opened] : opened_) inner_.closeDrive(handle);
    opened_.clear();
}

const HostServer::Opened* HostServer::wholeDisk(const Request& r, const char* what) {
    const auto it = opened_.find(r.handle);
    if (it == opened_.end()) {
        refuse(std::string(what) + " on handle " + std::to_string(r.handle),
               "a handle this helper did not open");
        return nullptr;
    }
    if (it->second.volume) {
        refuse(requestText(r, driveName(true, 0)), "a request to a volume, not a whole disk");
        return nullptr;
    }
    return &it->second;
}

Reply HostServer::answerCdb(Request& r) {
    Reply out;
    const bool toHost = r.direction == DataDirection::ToHost;
    if (const Opened* d = wholeDisk(r, "cdb")) {
        const RequestPolicy::Disk& disk = d->disk;
        if (const char* why = policy_.checkCdb(disk, r.cdb, r.direction, r.data, r.timeoutSeconds)) {
            refuse(requestText(r, driveName(false, disk.drive)), why);
        } else {
            std::vector<std::uint8_t> asked;
            if (toHost) {
                asked = r.data;
                std::fill(r.data.begin(), r.data.end(), 0);
            }
            CdbStatus status;
            out.ok = inner_.sendCdbWithStatus(r.handle, r.cdb, r.direction, r.data, r.timeoutSeconds, status);
            // What the disk itself wrote: nothing when the request failed,
            // all but the residue when it said how much.
            std::size_t wrote = 0;
            if (toHost && out.ok)
                wrote = r.data.size() -
                        (status.scsiStatus ? std::min<std::size_t>(status.residue, r.data.size()) : 0);
            policy_.noteCdb(disk, r.cdb, toHost ? std::span<const std::uint8_t>() : r.data,
                            std::span(r.data).first(wrote), out.ok, status);
            if (toHost) {
                // A plain disk's LBA 58 is the user's data, not the client's.
                if (same10(r.cdb, sectorCdb(kRead10, kIdentifyLba, 1)) && wrote > 0 &&
                    !(wrote == kSector && hasSignature(r.data.data()))) {
                    std::fill(r.data.begin(), r.data.end(), 0);
                    wrote = r.data.size();
                }
                std::copy(asked.begin() + static_cast<std::ptrdiff_t>(wrote), asked.end(),
                          r.data.begin() + static_cast<std::ptrdiff_t>(wrote));
            }
        }
    }
    if (toHost) out.data = std::move(r.data);
    return out;
}

Reply HostServer::answerAta(Request& r) {
    Reply out;
    out.registers = r.registers;
    if (const Opened* d = wholeDisk(r, "ata")) {
        if (const char* why = policy_.checkAta(d->disk, r.registers, r.data.size())) {
            refuse(requestText(r, driveName(false, d->disk.drive)), why);
        } else {
            std::vector<std::uint8_t> asked = r.data;
            std::fill(r.data.begin(), r.data.end(), 0);
            out.ok = inner_.sendAta(r.handle, out.registers, r.data);
            policy_.noteAta(d->disk, r.registers, out.registers,
                            out.ok ? r.data : std::vector<std::uint8_t>(), out.ok);
            // The host writes the data only on success.
            if (!out.ok) r.data = std::move(asked);
        }
    }
    out.data = std::move(r.data);
    return out;
}

Reply HostServer::answer(Request& r) {
    if (deviceChanged_.exchange(false)) policy_.noteDeviceChange();
    Reply out;
    switch (r.op) {
        case Op::OpenPhysical:
            if (const char* why = policy_.checkOpenPhysical(r.number)) {
                refuse("open of " + driveName(false, r.number), why);
                break;
            }
            out.handle = inner_.openPhysicalDrive(r.number);
            policy_.noteOpen(r.number, out.handle != kInvalidHandle);
            if (out.handle != kInvalidHandle) {
                out.identity = inner_.driveIdentity(out.handle);
                if (out.identity.name.size() > kMaxIdentityName) out.identity.name.resize(kMaxIdentityName);
                opened_[out.handle] = Opened{false, {r.number, out.identity}};
            }
            break;
        case Op::OpenVolume:
            if (const char* why = policy_.checkOpenVolume(r.letter)) {
                refuse("open of volume " + letterText(r.letter), why);
                break;
            }
            out.handle = inner_.openVolume(r.letter);
            if (out.handle != kInvalidHandle) opened_[out.handle] = Opened{true, {}};
            break;
        case Op::Close: {
            const auto it = opened_.find(r.handle);
            if (it == opened_.end()) {
                refuse(requestText(r, {}), "a handle this helper did not open");
                break;
            }
            inner_.closeDrive(r.handle);
            opened_.erase(it);
            break;
        }
        case Op::Cdb: return answerCdb(r);
        case Op::Ata: return answerAta(r);
        case Op::Rescan:
            if (wholeDisk(r, "rescan") != nullptr) inner_.rescanBus(r.handle);
            break;
        case Op::DriveMask: out.value = inner_.logicalDriveMask(); break;
        case Op::DriveType: out.value = inner_.driveType(r.letter); break;
        case Op::VolumeDisk: {
            if (!opened_.contains(r.handle)) {
                refuse(requestText(r, {}), "a handle this helper did not open");
                break;
            }
            std::uint32_t disk = 0;
            out.ok = inner_.volumeDiskNumber(r.handle, disk);
            out.value = disk;
            break;
        }
        case Op::Watch: watching_ = true; break;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> HostServer::answer(std::span<const std::uint8_t> body) {
    std::optional<Request> request = parseRequest(body);
    if (!request) return std::nullopt;
    return encodeReply(request->op, answer(*request));
}

bool HostServer::serve(int inFd, int outFd) {
    bool clean = false;
    {
        std::lock_guard lock(writeMutex_);
        outFd_ = outFd;
    }
    if (writeFrame(outFd, encodeHello())) {
        FrameReader reader(inFd);
        std::vector<std::uint8_t> body;
        for (;;) {
            const FrameReader::Result got = reader.next(body);
            if (got == FrameReader::Result::Closed) {
                clean = true;
                break;
            }
            if (got == FrameReader::Result::Broken) {
                refuse("the request stream", "a frame of impossible length");
                break;
            }
            const auto reply = answer(body);
            if (!reply) {
                refuse("a frame", "a malformed request");
                break;
            }
            {
                std::lock_guard lock(writeMutex_);
                if (!writeFrame(outFd, *reply)) {
                    clean = true;  // the client left without waiting for its answer
                    break;
                }
            }
            if (refusals_ > kRefusalLimit) {
                log("cut off the client after " + std::to_string(refusals_) + " refused requests");
                break;
            }
        }
    }
    if (refusals_ > 0 && refusals_ <= kRefusalLimit)
        log("session ended after " + std::to_string(refusals_) + " refused requests");
    closeAll();
    std::lock_guard lock(writeMutex_);
    outFd_ = -1;
    return clean;
}

}  // namespace ardenvel::remote
