#pragma once
// The host helper's side of the wire: reads requests, checks each against
// the RequestPolicy, passes what it allows to the host it serves and
// answers; pushes a notice whenever that host reports a device change.
// Only handles it opened itself are ever passed on.
//
// A to-host request reaches the disk with a zeroed buffer, so that nothing
// the client put there can pass for the disk's answer. The client gets back
// what a direct call would leave: the disk's bytes where it wrote, its own
// elsewhere. LBA 58 of a disk that is no bridge comes back as zeros.
//
// Refusals are counted and logged, at most kRefusalBurst lines at once and
// one a second after that; a client refused more than kRefusalLimit times
// is cut off.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hosts/remote/HostProtocol.h"
#include "hosts/remote/RequestPolicy.h"
#include "platform/Host.h"

namespace ardenvel::remote {

inline constexpr unsigned kRefusalBurst = 10;
inline constexpr unsigned kRefusalLimit = 256;

class HostServer {
public:
    // Told of refusals (at a limited rate) and of a session's end after
    // refusals, with a line saying what happened.
    using RefusalSink = std::function<void(const std::string& line)>;
    HostServer(Host& inner, RefusalSink refusals);
    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // Greets the client, then serves it until it goes away, breaks the
    // protocol or passes the refusal limit. Closes every handle the client
    // left open. False when the session ended on a broken or malformed frame
    // or was cut off.
    bool serve(int inFd, int outFd);

    // One request body to its reply body; nullopt when it is malformed.
    std::optional<std::vector<std::uint8_t>> answer(std::span<const std::uint8_t> body);

    unsigned refusals() const { return refusals_; }

private:
    struct Opened {
        bool volume = false;
        RequestPolicy::Disk disk;
    };

    Reply answer(Request& request);
    Reply answerCdb(Request& request);
    Reply answerAta(Request& request);
    // The physical drive behind a handle the client may send requests to.
    const Opened* wholeDisk(const Request& request, const char* what);
    void refuse(const std::string& request, const char* reason);
    void log(const std::string& line);
    void pushNotice();
    void closeAll();

    Host& inner_;
    RefusalSink sink_;
    RequestPolicy policy_;
    std::map<DriveHandle, Opened> opened_;
    std::atomic<bool> watching_{false};
    // Set from the host's monitor thread, taken before the next request.
    std::atomic<bool> deviceChanged_{false};

    unsigned refusals_ = 0;
    unsigned unlogged_ = 0;  // refused since the last line
    double logTokens_ = kRefusalBurst;
    std::chrono::steady_clock::time_point lastRefill_ = std::chrono::steady_clock::now();

    std::mutex writeMutex_;  // replies and notices come from different threads
    int outFd_ = -1;
};

}  // namespace ardenvel::remote
