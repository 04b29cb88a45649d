#pragma once
// The host helper's side of the wire: reads requests, checks each against
// the RequestPolicy, passes what it allows to the host it serves and
// answers; pushes a notice whenever that host reports a device change.
// Only handles it opened itself are ever passed on.

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

class HostServer {
public:
    // Told of every refusal, with a line saying what was refused and why.
    using RefusalSink = std::function<void(const std::string& line)>;
    HostServer(Host& inner, RefusalSink refusals);
    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // Greets the client, then serves it until it goes away or breaks the
    // protocol. Closes every handle the client left open. False when the
    // session ended on a broken or malformed frame.
    bool serve(int inFd, int outFd);

    // One request body to its reply body; nullopt when it is malformed.
    std::optional<std::vector<std::uint8_t>> answer(std::span<const std::uint8_t> body);

private:
    struct Opened {
        bool volume = false;
        unsigned drive = 0;
    };

    Reply answer(Request& request);
    // The physical drive behind a handle the client may send requests to.
    const Opened* wholeDisk(const Request& request, const char* what);
    void refuse(const std::string& request, const char* reason);
    void pushNotice();
    void closeAll();

    Host& inner_;
    RefusalSink refusals_;
    RequestPolicy policy_;
    std::map<DriveHandle, Opened> opened_;
    bool watching_ = false;

    std::mutex writeMutex_;  // replies and notices come from different threads
    int outFd_ = -1;
};

}  // namespace ardenvel::remote
