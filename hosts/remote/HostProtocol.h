#pragma once
// The wire between RemoteHost and the host helper: length-prefixed binary
// frames, one request answered by one reply, and notices the helper pushes
// on its own. docs/host-helper.md describes every frame.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/Host.h"

namespace ardenvel::remote {

inline constexpr std::uint16_t kProtocolVersion = 2;
inline constexpr std::array<std::uint8_t, 4> kHelloMagic = {'A', 'R', 'D', 'H'};
// No request of the tool moves more than a sector; this leaves room.
inline constexpr std::uint32_t kMaxDataBytes = 64 * 1024;
inline constexpr std::uint32_t kMaxFrameBytes = kMaxDataBytes + 64;
// A disk's identity name: an instance path and a serial at most.
inline constexpr std::uint32_t kMaxIdentityName = 512;

// A request's first byte; its reply starts with the same byte | kReplyBit.
enum class Op : std::uint8_t {
    OpenPhysical = 0x01,
    OpenVolume = 0x02,
    Close = 0x03,
    Cdb = 0x04,
    Ata = 0x05,
    Rescan = 0x06,
    DriveMask = 0x07,
    DriveType = 0x08,
    VolumeDisk = 0x09,
    Watch = 0x0A,
};
inline constexpr std::uint8_t kReplyBit = 0x80;
inline constexpr std::uint8_t kHello = 0xF0;
inline constexpr std::uint8_t kNotice = 0xF1;

struct Request {
    Op op = Op::DriveMask;
    std::uint32_t number = 0;  // OpenPhysical
    char letter = 0;           // OpenVolume, DriveType
    DriveHandle handle = kInvalidHandle;
    std::array<std::uint8_t, 10> cdb{};
    DataDirection direction = DataDirection::ToHost;
    std::uint32_t timeoutSeconds = 0;
    TaskFile registers;
    // Cdb and Ata: the buffer as the caller holds it, whichever way the data
    // goes, so what a failed request leaves in it is what the disk left.
    std::vector<std::uint8_t> data;
};

struct Reply {
    bool ok = false;                      // Cdb, Ata, VolumeDisk
    DriveHandle handle = kInvalidHandle;  // OpenPhysical, OpenVolume
    DiskIdentity identity;                // OpenPhysical: the disk the handle reached
    std::uint32_t value = 0;              // DriveMask, DriveType, VolumeDisk
    TaskFile registers;                   // Ata
    std::vector<std::uint8_t> data;       // Cdb to the host, Ata
};

// Frame bodies, without the length prefix.
std::vector<std::uint8_t> encodeRequest(const Request& request);
// nullopt for anything that is not exactly one well-formed request.
std::optional<Request> parseRequest(std::span<const std::uint8_t> body);
std::vector<std::uint8_t> encodeReply(Op op, const Reply& reply);
std::optional<Reply> parseReply(Op op, std::span<const std::uint8_t> body);
std::vector<std::uint8_t> encodeHello();
// The protocol version a greeting announces; nullopt when it is none.
std::optional<std::uint16_t> parseHello(std::span<const std::uint8_t> body);

// Sends one frame whole; false when the other end is gone.
bool writeFrame(int fd, std::span<const std::uint8_t> body);

// Reads frames from one descriptor, several per read where they came
// together. Not thread-safe: one reader at a time.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) {}

    enum class Result { Frame, Closed, Broken };
    // Blocks until a whole frame is there. Broken: an impossible length or a
    // read error; Closed: the other end went away.
    Result next(std::vector<std::uint8_t>& body);
    // A whole frame is buffered, or the descriptor has bytes to read.
    bool ready() const;
    bool hasBufferedFrame() const;

private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
};

}  // namespace ardenvel::remote
