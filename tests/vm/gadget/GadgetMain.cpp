// ardenvel-vm-gadget: an emulated enclosure as a real USB disk. It serves one
// FunctionFS function, a Bulk-Only mass-storage interface, whose answers come
// from the emulated bridge of an enclosure directory; usb-storage binds to it
// like to any USB disk. The configfs gadget around the function and its
// binding to a UDC are the caller's (tests/vm/scenarios.sh).

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hosts/virtual/VirtualHost.h"
#include "tests/vm/gadget/BulkOnly.h"

namespace {

using namespace ardenvel;
using namespace ardenvel::vmgadget;

constexpr char kUsage[] =
    "Usage: ardenvel-vm-gadget --ffs DIR --enclosure DIR [--log FILE] [--ready FILE]\n"
    "  Serves the emulated enclosure of --enclosure as the USB mass-storage function\n"
    "  mounted (functionfs) at --ffs. --ready is created once the endpoints are up.\n";

volatile std::sig_atomic_t stopRequested = 0;
FILE* logFile = nullptr;

void logLine(const std::string& line) {
    if (logFile != nullptr) std::fprintf(logFile, "%s\n", line.c_str());
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char b[4];
    for (const std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", v);
        out += b;
    }
    return out;
}

void putLe32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

// Full and high speed: one interface (mass storage, SCSI, Bulk-Only), a bulk
// endpoint each way. ep1 is the IN endpoint, ep2 the OUT one.
std::vector<std::uint8_t> descriptors() {
    std::vector<std::uint8_t> d;
    putLe32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    putLe32(d, 0);
    putLe32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    putLe32(d, 3);
    putLe32(d, 3);
    for (const unsigned maxPacket : {64u, 512u}) {
        const auto lo = static_cast<std::uint8_t>(maxPacket & 0xFF),
                   hi = static_cast<std::uint8_t>(maxPacket >> 8);
        d.insert(d.end(), {9, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE, 0x06, 0x50, 1});
        d.insert(d.end(), {7, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, lo, hi, 0});
        d.insert(d.end(), {7, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, lo, hi, 0});
    }
    const auto length = static_cast<std::uint32_t>(d.size());
    for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return d;
}

std::vector<std::uint8_t> strings() {
    const std::string name = "Bulk-Only Bridge";
    std::vector<std::uint8_t> s;
    putLe32(s, FUNCTIONFS_STRINGS_MAGIC);
    putLe32(s, 0);
    putLe32(s, 1);  // strings
    putLe32(s, 1);  // languages
    s.insert(s.end(), {0x09, 0x04});
    s.insert(s.end(), name.begin(), name.end());
    s.push_back(0);
    const auto length = static_cast<std::uint32_t>(s.size());
    for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return s;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Class requests of Bulk-Only mass storage; everything else is stalled.
void serveControl(int ep0) {
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = ::read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
            const usb_functionfs_event& e = events[i];
            std::uint8_t byte = 0;
            switch (e.type) {
                case FUNCTIONFS_ENABLE: logLine("enabled"); break;
                case FUNCTIONFS_DISABLE: logLine("disabled"); break;
                case FUNCTIONFS_SETUP: {
                    const usb_ctrlrequest& s = e.u.setup;
                    const bool in = (s.bRequestType & USB_DIR_IN) != 0;
                    if (s.bRequestType == 0xA1 && s.bRequest == 0xFE) {
                        [[maybe_unused]] auto r = ::write(ep0, &byte, 1);  // Get Max LUN: one LUN
                    } else if (s.bRequestType == 0x21 && s.bRequest == 0xFF) {
                        logLine("reset");
                        [[maybe_unused]] auto r = ::read(ep0, &byte, 0);  // Bulk-Only reset: acknowledge
                    } else if (in) {
                        [[maybe_unused]] auto r = ::read(ep0, &byte, 0);  // the wrong direction stalls
                    } else {
                        [[maybe_unused]] auto r = ::write(ep0, &byte, 0);
                    }
                    break;
                }
                default: break;
            }
        }
    }
}

// Reads exactly `out.size()` bytes from a bulk-out endpoint.
bool readAll(int fd, std::span<std::uint8_t> out) {
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void serveBulk(int epIn, int epOut, ScsiTarget& target) {
    std::vector<std::uint8_t> packet(512);
    std::vector<std::uint8_t> dataOut;
    while (stopRequested == 0) {
        const ssize_t n = ::read(epOut, packet.data(), packet.size());
        // Unbound or not yet enabled: the next read waits for the host.
        if (n < 0) {
            if (errno != EINTR) usleep(20000);
            continue;
        }
        const auto block =
            parseCommandBlock(std::span<const std::uint8_t>(packet).first(static_cast<std::size_t>(n)));
        if (!block) {
            logLine("bad command block of " + std::to_string(n) + " bytes");
            continue;
        }
        dataOut.assign(block->dataIn ? 0 : block->length, 0);
        if (!dataOut.empty() && !readAll(epOut, dataOut)) continue;

        const ScsiResult result = target.execute(block->cdb(), block->dataIn, block->length, dataOut);
        const BulkReply reply = planReply(*block, result);
        std::string line = "cdb " + hex(block->cdb()) + (block->dataIn ? " in " : " out ") +
                           std::to_string(block->length) + (result.good ? " good" : " check");
        if (!result.good) line += " sense " + hex(target.pendingSense());
        logLine(line);

        if (!reply.data.empty() && !writeAll(epIn, reply.data)) continue;
        if (reply.haltIn) {
            std::uint8_t byte = 0;
            // Reading an IN endpoint halts it (the call fails with EBADMSG).
            [[maybe_unused]] auto r = ::read(epIn, &byte, 1);
        }
        writeAll(epIn, reply.status);
    }
}

void onStop(int) {
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ffs, enclosureDir, logPath, readyPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = arg == "--ffs"         ? &ffs
                             : arg == "--enclosure" ? &enclosureDir
                             : arg == "--log"       ? &logPath
                             : arg == "--ready"     ? &readyPath
                                                    : nullptr;
        if (value == nullptr || i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        *value = argv[++i];
    }
    if (ffs.empty() || enclosureDir.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!logPath.empty()) {
        logFile = std::fopen(logPath.c_str(), "a");
        if (logFile != nullptr) setvbuf(logFile, nullptr, _IOLBF, 0);
    }

    auto host = std::make_unique<virt::VirtualHost>();
    host->setTraceEnabled(false);
    host->setTraceObserver([](const virt::TraceEntry& e) {
        if (!e.rejected.empty()) logLine("  rejected: " + e.rejected);
    });
    std::string error;
    virt::VirtualEnclosure* enclosure = host->loadEnclosure(0, enclosureDir, error);
    if (enclosure == nullptr) {
        std::fprintf(stderr, "ardenvel-vm-gadget: %s\n", error.c_str());
        return 1;
    }
    const virt::Route route = enclosure->route();
    ScsiTarget target(*host, host->openPhysicalDrive(0), enclosure->status().configuredCapacity,
                      route == virt::Route::Ata || route == virt::Route::LbaAta);

    const std::string ep0Path = ffs + "/ep0";
    const int ep0 = ::open(ep0Path.c_str(), O_RDWR | O_CLOEXEC);
    if (ep0 < 0 || !writeAll(ep0, descriptors()) || !writeAll(ep0, strings())) {
        std::fprintf(stderr, "ardenvel-vm-gadget: cannot set up %s: %s\n", ep0Path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int epIn = ::open((ffs + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    const int epOut = ::open((ffs + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (epIn < 0 || epOut < 0) {
        std::fprintf(stderr, "ardenvel-vm-gadget: no endpoints under %s: %s\n", ffs.c_str(),
                     std::strerror(errno));
        return 1;
    }

    // Only this thread takes the stop signals, so that they break its reads.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread(serveControl, ep0).detach();
    struct sigaction action {};
    action.sa_handler = onStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

    if (!readyPath.empty()) {
        if (FILE* ready = std::fopen(readyPath.c_str(), "w")) std::fclose(ready);
    }
    serveBulk(epIn, epOut, target);

    // The bridge writes its flash back as it goes away.
    host.reset();
    logLine("stopped");
    std::_Exit(0);
}
