#include "hosts/remote/RemoteHost.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace ardenvel::remote {
namespace {

constexpr int kNoticeCheckMs = 100;

bool isNotice(const std::vector<std::uint8_t>& body) {
    return body.size() == 1 && body[0] == kNotice;
}

}  // namespace

RemoteHost::RemoteHost() = default;

RemoteHost::RemoteHost(int readFd, int writeFd)
    : readFd_(readFd), writeFd_(writeFd), reader_(std::make_unique<FrameReader>(readFd)) {}

RemoteHost::~RemoteHost() {
    shutDown();
}

void RemoteHost::shutDown() {
    if (listener_.joinable()) {
        [[maybe_unused]] const auto n = ::write(wake_[1], "x", 1);
        listener_.join();
    }
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    connected_ = false;
    // Closing our end is what tells the helper to go.
    if (writeFd_ >= 0) ::close(writeFd_);
    if (readFd_ >= 0 && readFd_ != writeFd_) ::close(readFd_);
    readFd_ = writeFd_ = -1;
    if (closeAction_) std::exchange(closeAction_, {})();
}

bool RemoteHost::handshake(std::string& error) {
    if (!reader_) {
        error = "there is no connection to the host helper";
        return false;
    }
    std::vector<std::uint8_t> body;
    if (reader_->next(body) != FrameReader::Result::Frame) {
        error = "the host helper ended before it greeted";
    } else if (const auto version = parseHello(body); !version) {
        error = "the host helper's greeting is not understood";
    } else if (*version != kProtocolVersion) {
        error = "the host helper speaks protocol version " + std::to_string(*version) + ", this program " +
                std::to_string(kProtocolVersion);
    } else if (::pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::string("no pipe for the listener: ") + std::strerror(errno);
    } else {
        connected_ = true;
        listener_ = std::thread([this] { listen(); });
        return true;
    }
    shutDown();
    return false;
}

void RemoteHost::breakConnection() {
    connected_ = false;
    if (wake_[1] >= 0) [[maybe_unused]]
        const auto n = ::write(wake_[1], "x", 1);
}

bool RemoteHost::drainBufferedNotices(bool& broke) {
    bool notice = false;
    std::vector<std::uint8_t> body;
    while (!broke && reader_->hasBufferedFrame()) {
        if (reader_->next(body) == FrameReader::Result::Frame && isNotice(body))
            notice = true;
        else
            broke = true;
    }
    return notice;
}

void RemoteHost::notify() {
    std::function<void()> handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    if (handler) handler();
}

std::optional<Reply> RemoteHost::call(const Request& request) {
    std::optional<Reply> reply;
    bool notice = false;
    bool lost = false;
    {
        std::lock_guard lock(io_);
        if (!connected_) return std::nullopt;
        bool broke = !writeFrame(writeFd_, encodeRequest(request));
        std::vector<std::uint8_t> body;
        while (!broke && !reply) {
            if (reader_->next(body) != FrameReader::Result::Frame) {
                broke = true;
            } else if (isNotice(body)) {
                notice = true;
            } else {
                reply = parseReply(request.op, body);
                broke = !reply;
            }
        }
        // A notice that came in the same read as the reply would wait for
        // the next request otherwise: the listener only sees new bytes.
        if (!broke) notice = drainBufferedNotices(broke) || notice;
        if (broke) {
            reply.reset();
            breakConnection();
            lost = !lossAnnounced_;
            lossAnnounced_ = true;
        }
    }
    if (notice || lost) notify();
    return reply;
}

void RemoteHost::listen() {
    std::vector<std::uint8_t> body;
    for (;;) {
        // Waiting on the stream would wake this thread at every reply, on
        // the requests' road. Notices are rare and the window settles them
        // over half-second ticks, so looking ten times a second is enough.
        pollfd wake{wake_[0], POLLIN, 0};
        const int woken = ::poll(&wake, 1, kNoticeCheckMs);
        if (woken > 0 || (woken < 0 && errno != EINTR)) return;
        bool notice = false;
        bool lost = false;
        {
            // A request in flight reads any notice itself.
            std::unique_lock lock(io_, std::try_to_lock);
            if (!lock.owns_lock()) continue;
            if (!connected_) return;
            if (!reader_->ready()) continue;
            bool broke = reader_->next(body) != FrameReader::Result::Frame || !isNotice(body);
            notice = !broke;
            if (!broke) drainBufferedNotices(broke);
            if (broke) {
                breakConnection();
                lost = !lossAnnounced_;
                lossAnnounced_ = true;
            }
        }
        if (notice || lost) notify();
        if (lost) return;
    }
}

std::optional<Reply> RemoteHost::call(Op op, DriveHandle handle) {
    Request r;
    r.op = op;
    r.handle = handle;
    return call(r);
}

DriveHandle RemoteHost::openPhysicalDrive(unsigned number) {
    Request r;
    r.op = Op::OpenPhysical;
    r.number = number;
    const auto reply = call(r);
    if (!reply || reply->handle == kInvalidHandle) return kInvalidHandle;
    std::lock_guard lock(identityMutex_);
    identities_[reply->handle] = reply->identity;
    return reply->handle;
}

DiskIdentity RemoteHost::driveIdentity(DriveHandle handle) {
    std::lock_guard lock(identityMutex_);
    const auto it = identities_.find(handle);
    return it == identities_.end() ? DiskIdentity{} : it->second;
}

DriveHandle RemoteHost::openVolume(char letter) {
    Request r;
    r.op = Op::OpenVolume;
    r.letter = letter;
    const auto reply = call(r);
    return reply ? reply->handle : kInvalidHandle;
}

void RemoteHost::closeDrive(DriveHandle handle) {
    call(Op::Close, handle);
    std::lock_guard lock(identityMutex_);
    identities_.erase(handle);
}

bool RemoteHost::sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                         std::span<std::uint8_t> data, unsigned timeoutSeconds) {
    if (data.size() > kMaxDataBytes) return false;
    Request r;
    r.op = Op::Cdb;
    r.handle = handle;
    std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
    r.direction = direction;
    r.timeoutSeconds = timeoutSeconds;
    r.data.assign(data.begin(), data.end());
    const auto reply = call(r);
    if (!reply) return false;
    if (direction == DataDirection::ToHost) {
        if (reply->data.size() != data.size()) return false;
        std::copy(reply->data.begin(), reply->data.end(), data.begin());
    }
    return reply->ok;
}

bool RemoteHost::sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) {
    if (dataIn.size() > kMaxDataBytes || dataIn.size() % 512 != 0) return false;
    Request r;
    r.op = Op::Ata;
    r.handle = handle;
    r.registers = registers;
    r.data.assign(dataIn.begin(), dataIn.end());
    const auto reply = call(r);
    if (!reply) return false;
    registers = reply->registers;
    if (reply->data.size() != dataIn.size()) return false;
    std::copy(reply->data.begin(), reply->data.end(), dataIn.begin());
    return reply->ok;
}

void RemoteHost::rescanBus(DriveHandle handle) {
    call(Op::Rescan, handle);
}

std::uint32_t RemoteHost::logicalDriveMask() {
    const auto reply = call(Op::DriveMask, kInvalidHandle);
    return reply ? reply->value : 0;
}

std::uint8_t RemoteHost::driveType(char letter) {
    Request r;
    r.op = Op::DriveType;
    r.letter = letter;
    const auto reply = call(r);
    return reply ? static_cast<std::uint8_t>(reply->value) : kDriveNoRootDir;
}

bool RemoteHost::volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) {
    const auto reply = call(Op::VolumeDisk, volume);
    if (!reply || !reply->ok) return false;
    diskNumber = reply->value;
    return true;
}

void RemoteHost::setDeviceChangeHandler(std::function<void()> handler) {
    const bool wanted = static_cast<bool>(handler);
    {
        std::lock_guard lock(handlerMutex_);
        handler_ = std::move(handler);
    }
    // Dropping the handler needs no turn on the wire: a window closing while
    // a probe sends request after request must not queue behind them.
    if (!wanted) return;
    {
        std::lock_guard lock(io_);
        if (watching_ || !connected_) return;
        watching_ = true;
    }
    call(Op::Watch, kInvalidHandle);
}

}  // namespace ardenvel::remote
