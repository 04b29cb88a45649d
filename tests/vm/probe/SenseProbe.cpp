// ardenvel-vm-senseprobe: what a real kernel hands back for the Linux host's
// ATA PASS-THROUGH requests, disk by disk: the SG_IO status words, the sense
// bytes as the kernel built them, and the Linux host's verdict on them.
// Each request goes twice, because usb-storage fetches longer sense data
// once a device has shown that it has some.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/linux/PassThrough.h"

namespace {

using namespace ardenvel;
using namespace ardenvel::linuxhost;

struct Request {
    const char* name;
    TaskFile registers;
    std::size_t dataIn;
    bool forceCkCond;  // as the host once sent IDENTIFY
};

// IDENTIFY as discovery sends it, and with CK_COND; the bridge's close-SPI
// mode command (harmless anywhere); its read-address command, which a
// bridge aborts while SPI access is closed.
constexpr Request kRequests[] = {
    {"identify", {0, 0, 0, 0, 0, 0xE0, 0xEC}, 512, false},
    {"identify-ckcond", {0, 0, 0, 0, 0, 0xE0, 0xEC}, 512, true},
    {"close-spi", {0x02, 0, 0, 0, 0, 0xE0, 0x88}, 0, true},
    {"read-address-refused", {0x01, 0, 0, 0, 0, 0xE0, 0x88}, 0, true},
};

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += b;
    }
    return out.empty() ? "-" : out;
}

void probe(const char* device) {
    const int fd = ::open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("probe %s open-failed\n", device);
        return;
    }
    for (int round = 1; round <= 2; ++round) {
        for (const Request& r : kRequests) {
            auto cdb = buildAtaPassThrough16(r.registers, r.dataIn);
            if (r.forceCkCond) (*cdb)[2] |= 0x20;
            std::vector<std::uint8_t> data(r.dataIn), caller(r.dataIn);
            SgRequest request;
            request.cdb = *cdb;
            request.direction = r.dataIn != 0 ? SgDirection::FromDevice : SgDirection::None;
            request.data = data;
            request.timeoutMs = 10000;
            std::array<std::uint8_t, kSenseBytes> sense{};
            std::size_t senseLength = 0;
            int error = 0;
            const SgCompletion c = sendSgIo(fd, request, sense, senseLength, error);
            TaskFile registers = r.registers;
            const bool verdict = completeAtaPassThrough(
                c, std::span<const std::uint8_t>(sense).first(senseLength), data, registers, caller);
            const std::uint8_t regs[7] = {registers.features, registers.sectorCount, registers.lbaLow,
                                          registers.lbaMid,   registers.lbaHigh,     registers.device,
                                          registers.command};
            std::printf(
                "probe %s %s round=%d ioctl=%d errno=%d status=%02X host=%04X driver=%04X sense=%s "
                "verdict=%d registers=%s\n",
                device, r.name, round, c.ioctlResult, error, c.scsiStatus, c.hostStatus, c.driverStatus,
                hex(sense.data(), senseLength).c_str(), verdict ? 1 : 0, hex(regs, 7).c_str());
        }
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) probe(argv[i]);
    return 0;
}
