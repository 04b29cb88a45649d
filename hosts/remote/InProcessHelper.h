#pragma once
// The helper's request loop on a thread of this process, serving a host of
// this process, and a RemoteHost talking to it over a socket pair: the whole
// road a request takes to the privileged helper, without the second process.
// The test rigs and the benchmarks run the device logic over it.

#include <memory>
#include <thread>

#include "hosts/remote/HostServer.h"
#include "hosts/remote/RemoteHost.h"

namespace ardenvel::remote {

class InProcessHelper {
public:
    // Throws std::runtime_error when the socket pair or the greeting fails.
    explicit InProcessHelper(Host& inner, HostServer::RefusalSink refusals = {});
    ~InProcessHelper();
    InProcessHelper(const InProcessHelper&) = delete;
    InProcessHelper& operator=(const InProcessHelper&) = delete;

    RemoteHost& host() { return *client_; }
    const HostServer& server() const { return server_; }

private:
    HostServer server_;
    std::thread thread_;
    std::unique_ptr<RemoteHost> client_;
};

}  // namespace ardenvel::remote
