// ardenvel-host-helper: serves Ardenvel's disk requests over its standard
// input and output, with the rights Ardenvel itself lacks. The program
// starts it through pkexec; it ends when the program closes its end.

#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hosts/linux/LinuxHost.h"
#include "hosts/remote/HostServer.h"
#include "hosts/virtual/EnclosureSet.h"

namespace {

constexpr char kUsage[] =
    "Usage: ardenvel-host-helper [--virtual DIR]...\n"
    "  Serves Ardenvel's requests to the disks over standard input and output;\n"
    "  Ardenvel starts it through pkexec. Only the requests Ardenvel sends pass.\n"
    "  --virtual DIR   serve the emulated enclosure described in DIR instead (repeatable)\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> virtualDirs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--virtual") == 0 && i + 1 < argc) {
            virtualDirs.emplace_back(argv[++i]);
        } else {
            const bool help = std::strcmp(argv[i], "--help") == 0;
            std::fputs(kUsage, help ? stdout : stderr);
            return help ? 0 : 2;
        }
    }
    // Frames on a terminal help nobody.
    if (::isatty(STDIN_FILENO) || ::isatty(STDOUT_FILENO)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // A client that goes away mid-answer ends the session, not the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<ardenvel::Host> host;
    const bool realDisks = virtualDirs.empty();
    if (realDisks) {
        host = std::make_unique<ardenvel::LinuxHost>();
        ::openlog("ardenvel-host-helper", LOG_PID, LOG_AUTHPRIV);
    } else {
        auto virt = std::make_unique<ardenvel::virt::VirtualHost>();
        std::string error;
        if (!ardenvel::virt::loadEnclosureSet(*virt, virtualDirs, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        host = std::move(virt);
    }

    // pkexec names the user it runs for; the system log should too.
    const char* uid = std::getenv("PKEXEC_UID");
    const std::string forUser = uid != nullptr ? std::string(" (for uid ") + uid + ")" : std::string();
    ardenvel::remote::HostServer server(*host, [&](const std::string& line) {
        std::fprintf(stderr, "ardenvel-host-helper: %s\n", line.c_str());
        if (realDisks) ::syslog(LOG_WARNING, "%s%s", line.c_str(), forUser.c_str());
    });
    return server.serve(STDIN_FILENO, STDOUT_FILENO) ? 0 : 1;
}
