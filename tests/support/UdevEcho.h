#pragma once
// The discovery, monitoring and window suites run twice: as they are, and as
// on a Linux desktop, where udev answers the close of every drive opened for
// writing with a device-change notice. ctest names the second run's tests
// *.UdevEcho and sets ARDENVEL_TEST_UDEV_ECHO=1 for it.

#include <cstdlib>

#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::test {

inline bool udevEchoRun() {
    const char* value = std::getenv("ARDENVEL_TEST_UDEV_ECHO");
    return value != nullptr && value[0] == '1';
}

// A virtual host as the run asks for it.
inline void echoAsTheRunAsks(virt::VirtualHost& host) {
    if (udevEchoRun()) host.setUdevEcho(true);
}

}  // namespace ardenvel::test
