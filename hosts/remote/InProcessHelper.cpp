#include "hosts/remote/InProcessHelper.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ardenvel::remote {

InProcessHelper::InProcessHelper(Host& inner, HostServer::RefusalSink refusals)
    : server_(inner, std::move(refusals)) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    const int serverEnd = ends[1];
    thread_ = std::thread([this, serverEnd] {
        server_.serve(serverEnd, serverEnd);
        ::close(serverEnd);
    });
    client_ = std::make_unique<RemoteHost>(ends[0], ends[0]);
    std::string error;
    if (!client_->handshake(error)) {
        thread_.join();
        throw std::runtime_error(error);
    }
}

InProcessHelper::~InProcessHelper() {
    // Closing the client's end is what ends the loop.
    client_.reset();
    thread_.join();
}

}  // namespace ardenvel::remote
