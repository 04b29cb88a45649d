// ardenvel-emulated-helper: the host helper's request loop over emulated
// enclosures, for the tests and the demo, without any rights:
//
//   ardenvel-cli --helper PATH/ardenvel-emulated-helper --virtual DIR ...
//
// The installed helper serves only the machine's own disks.

#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hosts/remote/HostServer.h"
#include "hosts/virtual/EnclosureSet.h"

namespace {

constexpr char kUsage[] =
    "Usage: ardenvel-emulated-helper [--virtual DIR]... [--plain-disk N]...\n"
    "  Serves the emulated enclosures described in the directories (none: no\n"
    "  disks at all) over standard input and output, as the host helper serves\n"
    "  the machine's disks, for ardenvel-cli --helper. It needs no rights.\n"
    "  --virtual DIR     the next physical drive, from 0, is this enclosure\n"
    "  --plain-disk N    physical drive N is an ordinary disk\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> dirs;
    std::vector<unsigned> plainDisks;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--virtual") == 0 && i + 1 < argc) {
            dirs.emplace_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--plain-disk") == 0 && i + 1 < argc && std::isdigit(*argv[i + 1])) {
            plainDisks.push_back(static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10)));
        } else {
            const bool help = std::strcmp(argv[i], "--help") == 0;
            std::fputs(kUsage, help ? stdout : stderr);
            return help ? 0 : 2;
        }
    }
    if (::isatty(STDIN_FILENO) || ::isatty(STDOUT_FILENO)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    ardenvel::virt::VirtualHost host;
    std::string error;
    if (!dirs.empty() && !ardenvel::virt::loadEnclosureSet(host, dirs, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    for (const unsigned drive : plainDisks) host.addOrdinaryDisk(drive);
    ardenvel::remote::HostServer server(host, [](const std::string& line) {
        std::fprintf(stderr, "ardenvel-emulated-helper: %s\n", line.c_str());
    });
    return server.serve(STDIN_FILENO, STDOUT_FILENO) ? 0 : 1;
}
