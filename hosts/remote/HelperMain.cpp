// ardenvel-host-helper: serves Ardenvel's disk requests over its standard
// input and output, with the one right Ardenvel lacks. The program starts it
// through pkexec; it ends when the program closes its end. It takes no
// arguments: it serves the machine's disks and nothing a caller names.

#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hosts/linux/LinuxHost.h"
#include "hosts/remote/HelperSandbox.h"
#include "hosts/remote/HostServer.h"

#if defined(__SANITIZE_ADDRESS__)
// The leak check at exit traces the process from a thread of its own, which
// the filter does not allow. Test builds only.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

namespace {

constexpr char kName[] = "ardenvel-host-helper";

int refuse(const char* why, int status) {
    std::fprintf(stderr, "%s: %s; Ardenvel starts it through pkexec.\n", kName, why);
    return status;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) return refuse("takes no arguments", 2);
    if (::geteuid() != 0) return refuse("must run as root", 1);
    // Frames on a terminal help nobody.
    if (::isatty(STDIN_FILENO) || ::isatty(STDOUT_FILENO))
        return refuse("serves Ardenvel over a pipe, not a terminal", 2);
    // A client that goes away mid-answer ends the session, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Connected now: no socket is made once the filter is in place.
    ::openlog(kName, LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
    // pkexec names the user it runs for; the system log should too.
    const char* uid = std::getenv("PKEXEC_UID");
    const std::string forUser = uid != nullptr ? std::string(" (for uid ") + uid + ")" : std::string();

    ardenvel::LinuxHost host;
    std::string error;
    if (!ardenvel::remote::sandbox::dropPrivileges(error)) {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return 1;
    }
    // The device monitor's thread and udev socket, before the filter: it
    // allows neither a new thread nor a new socket.
    host.setDeviceChangeHandler({});
    if (!ardenvel::remote::sandbox::confineSystemCalls(error)) {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return 1;
    }

    ardenvel::remote::HostServer server(host, [&](const std::string& line) {
        std::fprintf(stderr, "%s: %s\n", kName, line.c_str());
        ::syslog(LOG_WARNING, "%s%s", line.c_str(), forUser.c_str());
    });
    return server.serve(STDIN_FILENO, STDOUT_FILENO) ? 0 : 1;
}
