#pragma once
// The host a rig's device state talks to, chosen here for every rig: the
// rig's own host, or, with ARDENVEL_TEST_HOST=remote, the same host behind
// the host helper's request loop, reached through RemoteHost over a socket
// pair. CTest registers each suite that uses it a second time that way,
// where the helper is built (not on Windows).

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#ifndef _WIN32
#include "hosts/remote/InProcessHelper.h"
#endif

namespace ardenvel::test {

inline bool overHelper() {
    const char* v = std::getenv("ARDENVEL_TEST_HOST");
    return v != nullptr && std::string_view(v) == "remote";
}

class HostUnderTest {
public:
#ifdef _WIN32
    explicit HostUnderTest(Host& inner) : inner_(inner) {}
    Host& host() {
        return inner_;
    }

private:
    Host& inner_;
#else
    explicit HostUnderTest(Host& inner) : inner_(inner) {
        // The suites send only what the tool sends; a refusal is a fault.
        if (overHelper())
            helper_ = std::make_unique<remote::InProcessHelper>(
                inner, [](const std::string& line) { ADD_FAILURE() << "host helper " << line; });
    }
    Host& host() {
        return helper_ ? static_cast<Host&>(helper_->host()) : inner_;
    }

private:
    Host& inner_;
    std::unique_ptr<remote::InProcessHelper> helper_;
#endif
};

}  // namespace ardenvel::test
