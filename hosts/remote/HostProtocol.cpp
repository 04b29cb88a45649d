#include "hosts/remote/HostProtocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ardenvel::remote {
namespace {

class Writer {
public:
    explicit Writer(std::uint8_t kind) {
        // Room for every frame but the data-carrying ones, in one allocation.
        bytes_.reserve(64);
        bytes_.push_back(kind);
    }
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void u64(std::uint64_t u) {
        for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
    void identity(const DiskIdentity& id) {
        u64(id.sequence);
        u64(id.device);
        data(std::span(reinterpret_cast<const std::uint8_t*>(id.name.data()), id.name.size()));
    }
    void bytes(std::span<const std::uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
    void registers(const TaskFile& t) {
        bytes(std::array{t.features, t.sectorCount, t.lbaLow, t.lbaMid, t.lbaHigh, t.device, t.command});
    }
    // A length and the bytes it counts.
    void data(std::span<const std::uint8_t> b) {
        u32(static_cast<std::uint32_t>(b.size()));
        bytes(b);
    }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

// Reads fields in order; any read past the end, and any byte left over at
// the end, makes the whole body invalid.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> body) : rest_(body) {}

    bool u8(std::uint8_t& v) {
        if (rest_.empty()) return false;
        v = rest_[0];
        rest_ = rest_.subspan(1);
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (rest_.size() < 4) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(rest_[i]) << (8 * i);
        rest_ = rest_.subspan(4);
        return true;
    }
    bool u64(std::uint64_t& u) {
        if (rest_.size() < 8) return false;
        u = 0;
        for (int i = 0; i < 8; ++i) u |= static_cast<std::uint64_t>(rest_[i]) << (8 * i);
        rest_ = rest_.subspan(8);
        return true;
    }
    bool i64(std::int64_t& v) {
        std::uint64_t u = 0;
        if (!u64(u)) return false;
        v = static_cast<std::int64_t>(u);
        return true;
    }
    bool identity(DiskIdentity& id) {
        std::vector<std::uint8_t> name;
        if (!u64(id.sequence) || !u64(id.device) || !data(name) || name.size() > kMaxIdentityName)
            return false;
        id.name.assign(name.begin(), name.end());
        return true;
    }
    bool handle(DriveHandle& h) {
        std::int64_t v = 0;
        if (!i64(v)) return false;
        h = static_cast<DriveHandle>(v);
        return static_cast<std::int64_t>(h) == v;
    }
    bool bytes(std::span<std::uint8_t> out) {
        if (rest_.size() < out.size()) return false;
        std::memcpy(out.data(), rest_.data(), out.size());
        rest_ = rest_.subspan(out.size());
        return true;
    }
    bool registers(TaskFile& t) {
        std::array<std::uint8_t, 7> r{};
        if (!bytes(r)) return false;
        t = TaskFile{r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
        return true;
    }
    bool data(std::vector<std::uint8_t>& out) {
        std::uint32_t n = 0;
        if (!u32(n) || n > kMaxDataBytes || rest_.size() < n) return false;
        out.assign(rest_.begin(), rest_.begin() + n);
        rest_ = rest_.subspan(n);
        return true;
    }
    bool flag(bool& v) {
        std::uint8_t b = 0;
        if (!u8(b) || b > 1) return false;
        v = b != 0;
        return true;
    }
    bool end() const { return rest_.empty(); }

private:
    std::span<const std::uint8_t> rest_;
};

bool knownOp(std::uint8_t b) {
    return b >= static_cast<std::uint8_t>(Op::OpenPhysical) && b <= static_cast<std::uint8_t>(Op::Watch);
}

bool sendAll(int fd, const std::uint8_t* p, std::size_t n) {
    bool socket = true;
    while (n > 0) {
        ssize_t k = socket ? ::send(fd, p, n, MSG_NOSIGNAL) : ::write(fd, p, n);
        if (k < 0 && socket && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::uint32_t frameLength(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::vector<std::uint8_t> encodeRequest(const Request& r) {
    Writer w(static_cast<std::uint8_t>(r.op));
    switch (r.op) {
        case Op::OpenPhysical: w.u32(r.number); break;
        case Op::OpenVolume:
        case Op::DriveType: w.u8(static_cast<std::uint8_t>(r.letter)); break;
        case Op::Close:
        case Op::Rescan:
        case Op::VolumeDisk: w.i64(r.handle); break;
        case Op::Cdb:
            w.i64(r.handle);
            w.bytes(r.cdb);
            w.u8(static_cast<std::uint8_t>(r.direction));
            w.u32(r.timeoutSeconds);
            w.data(r.data);
            break;
        case Op::Ata:
            w.i64(r.handle);
            w.registers(r.registers);
            w.data(r.data);
            break;
        case Op::DriveMask:
        case Op::Watch: break;
    }
    return w.take();
}

std::optional<Request> parseRequest(std::span<const std::uint8_t> body) {
    Reader in(body);
    std::uint8_t kind = 0;
    if (!in.u8(kind) || !knownOp(kind)) return std::nullopt;
    Request r;
    r.op = static_cast<Op>(kind);
    bool ok = true;
    switch (r.op) {
        case Op::OpenPhysical: ok = in.u32(r.number); break;
        case Op::OpenVolume:
        case Op::DriveType: {
            std::uint8_t letter = 0;
            ok = in.u8(letter);
            r.letter = static_cast<char>(letter);
            break;
        }
        case Op::Close:
        case Op::Rescan:
        case Op::VolumeDisk: ok = in.handle(r.handle); break;
        case Op::Cdb: {
            std::uint8_t direction = 0;
            ok = in.handle(r.handle) && in.bytes(r.cdb) && in.u8(direction) && direction <= 1 &&
                 in.u32(r.timeoutSeconds) && in.data(r.data);
            r.direction = static_cast<DataDirection>(direction);
            break;
        }
        case Op::Ata:
            ok = in.handle(r.handle) && in.registers(r.registers) && in.data(r.data) &&
                 r.data.size() % 512 == 0;
            break;
        case Op::DriveMask:
        case Op::Watch: break;
    }
    if (!ok || !in.end()) return std::nullopt;
    return r;
}

std::vector<std::uint8_t> encodeReply(Op op, const Reply& r) {
    Writer w(static_cast<std::uint8_t>(op) | kReplyBit);
    switch (op) {
        case Op::OpenPhysical:
            w.i64(r.handle);
            w.identity(r.identity);
            break;
        case Op::OpenVolume: w.i64(r.handle); break;
        case Op::Cdb:
            w.u8(r.ok);
            w.data(r.data);
            break;
        case Op::Ata:
            w.u8(r.ok);
            w.registers(r.registers);
            w.data(r.data);
            break;
        case Op::DriveMask: w.u32(r.value); break;
        case Op::DriveType: w.u8(static_cast<std::uint8_t>(r.value)); break;
        case Op::VolumeDisk:
            w.u8(r.ok);
            w.u32(r.value);
            break;
        case Op::Close:
        case Op::Rescan:
        case Op::Watch: break;
    }
    return w.take();
}

std::optional<Reply> parseReply(Op op, std::span<const std::uint8_t> body) {
    Reader in(body);
    std::uint8_t kind = 0;
    if (!in.u8(kind) || kind != (static_cast<std::uint8_t>(op) | kReplyBit)) return std::nullopt;
    Reply r;
    bool ok = true;
    switch (op) {
        case Op::OpenPhysical: ok = in.handle(r.handle) && in.identity(r.identity); break;
        case Op::OpenVolume: ok = in.handle(r.handle); break;
        case Op::Cdb: ok = in.flag(r.ok) && in.data(r.data); break;
        case Op::Ata: ok = in.flag(r.ok) && in.registers(r.registers) && in.data(r.data); break;
        case Op::DriveMask: ok = in.u32(r.value); break;
        case Op::DriveType: {
            std::uint8_t type = 0;
            ok = in.u8(type);
            r.value = type;
            break;
        }
        case Op::VolumeDisk: ok = in.flag(r.ok) && in.u32(r.value); break;
        case Op::Close:
        case Op::Rescan:
        case Op::Watch: break;
    }
    if (!ok || !in.end()) return std::nullopt;
    return r;
}

std::vector<std::uint8_t> encodeHello() {
    Writer w(kHello);
    w.bytes(kHelloMagic);
    w.u8(static_cast<std::uint8_t>(kProtocolVersion));
    w.u8(static_cast<std::uint8_t>(kProtocolVersion >> 8));
    return w.take();
}

std::optional<std::uint16_t> parseHello(std::span<const std::uint8_t> body) {
    Reader in(body);
    std::uint8_t kind = 0, lo = 0, hi = 0;
    std::array<std::uint8_t, 4> magic{};
    if (!in.u8(kind) || kind != kHello || !in.bytes(magic) || magic != kHelloMagic || !in.u8(lo) ||
        !in.u8(hi) || !in.end())
        return std::nullopt;
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

bool writeFrame(int fd, std::span<const std::uint8_t> body) {
    if (body.size() > kMaxFrameBytes) return false;
    // One write per frame: the prefix and the body go out together.
    std::vector<std::uint8_t> frame(4 + body.size());
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(n >> (8 * i));
    std::memcpy(frame.data() + 4, body.data(), body.size());
    return sendAll(fd, frame.data(), frame.size());
}

bool FrameReader::hasBufferedFrame() const {
    const std::size_t have = buffer_.size() - begin_;
    if (have < 4) return false;
    const std::uint32_t n = frameLength(buffer_.data() + begin_);
    // An impossible length counts as ready, so that next() reports it.
    return n > kMaxFrameBytes || have - 4 >= n;
}

bool FrameReader::ready() const {
    if (hasBufferedFrame()) return true;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

FrameReader::Result FrameReader::next(std::vector<std::uint8_t>& body) {
    while (!hasBufferedFrame()) {
        // Keep the unread bytes at the front before reading more.
        if (begin_ > 0) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(begin_));
            begin_ = 0;
        }
        const std::size_t have = buffer_.size();
        buffer_.resize(have + 4096 + kMaxFrameBytes / 16);
        ssize_t k = 0;
        do {
            k = ::read(fd_, buffer_.data() + have, buffer_.size() - have);
        } while (k < 0 && errno == EINTR);
        buffer_.resize(have + static_cast<std::size_t>(k > 0 ? k : 0));
        if (k == 0) return Result::Closed;
        if (k < 0) return errno == ECONNRESET ? Result::Closed : Result::Broken;
    }
    const std::uint32_t n = frameLength(buffer_.data() + begin_);
    if (n > kMaxFrameBytes || n == 0) return Result::Broken;
    const auto* start = buffer_.data() + begin_ + 4;
    body.assign(start, start + n);
    begin_ += 4 + n;
    return Result::Frame;
}

}  // namespace ardenvel::remote
