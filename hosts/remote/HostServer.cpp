#include "hosts/remote/HostServer.h"

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

HostServer::HostServer(Host& inner, RefusalSink refusals) : inner_(inner), refusals_(std::move(refusals)) {}

HostServer::~HostServer() {
    closeAll();
}

void HostServer::refuse(const std::string& request, const char* reason) {
    if (refusals_) refusals_("refused " + request + ": " + reason);
}

void HostServer::pushNotice() {
    static constexpr std::uint8_t kBody[] = {kNotice};
    std::lock_guard lock(writeMutex_);
    if (outFd_ >= 0) writeFrame(outFd_, kBody);
}

void HostServer::closeAll() {
    if (watching_) inner_.setDeviceChangeHandler({});
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

Reply HostServer::answer(Request& r) {
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
                opened_[out.handle] = Opened{false, r.number};
            }
            break;
        case Op::OpenVolume:
            if (const char* why = policy_.checkOpenVolume(r.letter)) {
                refuse("open of volume " + letterText(r.letter), why);
                break;
            }
            out.handle = inner_.openVolume(r.letter);
            if (out.handle != kInvalidHandle) opened_[out.handle] = Opened{true, 0};
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
        case Op::Cdb: {
            const Opened* d = wholeDisk(r, "cdb");
            if (d != nullptr) {
                if (const char* why =
                        policy_.checkCdb(d->drive, r.cdb, r.direction, r.data, r.timeoutSeconds)) {
                    refuse(requestText(r, driveName(false, d->drive)), why);
                } else {
                    out.ok = inner_.sendCdb(r.handle, r.cdb, r.direction, r.data, r.timeoutSeconds);
                    policy_.noteCdb(d->drive, r.cdb, r.data, out.ok);
                }
            }
            // A refused request leaves the caller's buffer as it was.
            if (r.direction == DataDirection::ToHost) out.data = std::move(r.data);
            break;
        }
        case Op::Ata: {
            out.registers = r.registers;
            const Opened* d = wholeDisk(r, "ata");
            if (d != nullptr) {
                if (const char* why = policy_.checkAta(d->drive, r.registers, r.data.size())) {
                    refuse(requestText(r, driveName(false, d->drive)), why);
                } else {
                    out.ok = inner_.sendAta(r.handle, out.registers, r.data);
                    policy_.noteAta(d->drive, r.registers, r.data, out.ok);
                }
            }
            out.data = std::move(r.data);
            break;
        }
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
        case Op::Watch:
            if (!watching_) inner_.setDeviceChangeHandler([this] { pushNotice(); });
            watching_ = true;
            break;
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
            std::lock_guard lock(writeMutex_);
            if (!writeFrame(outFd, *reply)) {
                clean = true;  // the client left without waiting for its answer
                break;
            }
        }
    }
    closeAll();
    std::lock_guard lock(writeMutex_);
    outFd_ = -1;
    return clean;
}

}  // namespace ardenvel::remote
