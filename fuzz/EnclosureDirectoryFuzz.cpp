// libFuzzer target over the enclosure-directory loader and the bridge it
// builds. The input's first 64 bytes say how flash.bin looks and then give
// requests to the loaded enclosure; the rest is the text of description.json
// (a fixed head, so that edits of the text leave the script alone). Whatever
// it holds, a refused directory loads nothing and names its file, and a
// loaded bridge keeps its flash at the size it was given. How to run it:
// fuzz/CMakeLists.txt.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "device/ByteOrder.h"
#include "device/Transport.h"
#include "device/VuChannel.h"
#include "fuzz/FuzzInput.h"
#include "hosts/virtual/BridgeModel.h"
#include "hosts/virtual/VirtualHost.h"
#include "tests/support/TestUi.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::fuzz {
namespace {

constexpr char kDescription[] = "fuzz/description.json";
constexpr char kFlash[] = "fuzz/flash.bin";

// flash.bin: none, the laid-out image, a size off by a little, or input
// bytes repeated; then patches at input-chosen offsets.
std::optional<std::string> flashFile(Input& in, const virt::EnclosureConfig& config) {
    const std::uint8_t shape = in.byte();
    if ((shape & 0x03) == 0) return std::nullopt;
    std::size_t size = config.flashSize;
    if ((shape & 0x03) == 2)
        size = (shape & 0x80) ? size + 1 + in.byte() : size - std::min<std::size_t>(size, 1 + in.byte());
    std::string bytes(size, '\xFF');
    if ((shape & 0x03) == 3) {
        const std::uint8_t a = in.byte(), b = in.byte();
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 7 == 0 ? a : b);
    } else {
        image::ImageSpec plan;
        plan.size = config.flashSize;
        std::vector<std::uint8_t> laid;
        std::string error;
        if (image::generateImage(plan, laid, error))
            std::copy_n(laid.begin(), std::min(laid.size(), size), bytes.begin());
    }
    for (unsigned k = 0, patches = (shape >> 2) & 0x0F; k < patches && !bytes.empty(); ++k) {
        const std::uint32_t at = in.address();
        bytes[at % bytes.size()] = static_cast<char>(in.byte());
    }
    return bytes;
}

// A command sector as the channel builds it, with a checksum that is right
// unless the script asks otherwise.
Sector commandSector(Input& in) {
    static constexpr std::uint8_t kCodes[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x10, 0x20, 0x24};
    const std::uint8_t shape = in.byte();
    Sector s{};
    s[0] = kVuSignature0;
    s[1] = (shape & 0x80) ? in.byte() : kVuSignature1;
    s[2] = (shape & 0x40) ? in.byte() : kCodes[shape & 0x07];
    s[3] = in.byte();
    writeBe24(s, 4, in.address());
    std::fill(s.begin() + 7, s.begin() + 263, in.byte());
    for (std::size_t i = 7; i < 19; ++i) s[i] = in.byte();
    s[509] = (shape & 0x20) ? in.byte() : 0x55;
    sealCommandSector(s);
    if (shape & 0x10) s[510] ^= 1;
    return s;
}

std::uint32_t lbaFor(Input& in) {
    static constexpr std::uint32_t kLbas[] = {20, 33, 58, 60};
    const std::uint8_t pick = in.byte();
    return pick < 0xC0 ? kLbas[pick & 3] : 3 + pick % 128;
}

void runScript(Input& in, virt::VirtualHost& host, DeviceState& dev) {
    for (unsigned step = 0; step < 48 && in.n != 0; ++step) {
        const DriveHandle h = dev.handle;
        const std::uint8_t op = in.byte();
        Sector buffer{};
        switch (op % 8) {
            case 0: {
                const Sector s = commandSector(in);
                WriteSectors(dev, h, lbaFor(in), s.data(), 1);
                break;
            }
            case 1: ReadSectors(dev, h, lbaFor(in), buffer.data(), 1); break;
            case 2: {
                TaskFile r;
                r.features = in.byte();
                r.sectorCount = in.byte();
                r.lbaLow = in.byte();
                r.lbaMid = in.byte();
                r.lbaHigh = in.byte();
                r.device = in.byte();
                r.command = (op & 0x80) ? kAtaIdentify : kAtaVendorCommand;
                AtaCommand(dev, h, r, buffer.data(), (op & 0x80) ? 1 : 0);
                break;
            }
            case 3: {
                static constexpr BridgeKind kKinds[] = {BridgeKind::ReadPage, BridgeKind::WritePage,
                                                        BridgeKind::EraseSector, BridgeKind::ScanRead,
                                                        BridgeKind::SignatureRead};
                dev.cdbShift = (op >> 7) & 1;
                BridgeTransfer(dev, kKinds[in.byte() % 5], buffer.data(), in.address());
                break;
            }
            case 4:
                dev.cdbShift = (op >> 7) & 1;
                BridgeQuery(dev, in.byte() % 9);
                break;
            case 5: InquiryDevice(dev, h, buffer.data()); break;
            case 6: {
                std::array<std::uint8_t, 10> cdb{};
                for (auto& b : cdb) b = in.byte();
                const std::size_t length = std::size_t{in.byte()} * 4;
                host.sendCdb(h, cdb, (op & 0x80) ? DataDirection::ToHost : DataDirection::ToDevice,
                             std::span(buffer).first(std::min<std::size_t>(length, buffer.size())), 2);
                break;
            }
            default:
                // Power cut and back, or the drive away and back.
                if (op & 0x80) {
                    host.cutPowerAfter(0);
                    host.powerOn();
                } else {
                    host.unplug(1);
                    host.plug(1);
                    OpenDrive(dev, 1);
                }
                break;
        }
    }
}

}  // namespace
}  // namespace ardenvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ardenvel;
    using namespace ardenvel::fuzz;
    constexpr std::size_t kHead = 64;
    const std::size_t head = std::min(kHead, size);
    Input in{data, head};
    const std::string_view text(reinterpret_cast<const char*>(data + head), size - head);

    virt::EnclosureConfig config;
    std::vector<virt::TimelineEvent> timeline;
    std::string error;
    if (!virt::parseEnclosureDescription(text, kDescription, config, timeline, error)) {
        FUZZ_CHECK(error.rfind(kDescription, 0) == 0);
        return 0;
    }
    FUZZ_CHECK(config.flashSize % 0x1000 == 0 && config.flashSize != 0 && config.flashSize <= 0x1000000);
    // Text given as bytes keeps to its field; faults keep to their rules.
    FUZZ_CHECK(config.serial.size() <= 20 && config.model.size() <= 40 &&
               config.firmwareRevision.size() <= 8);
    for (const auto& disk : config.status.disks)
        FUZZ_CHECK(!disk || (disk->serial.size() <= 20 && disk->model.size() <= 40));
    const virt::EnclosureFaults& faults = config.faults;
    FUZZ_CHECK(faults.powerOnAfter == 0 || faults.cutPowerAfter.has_value());
    FUZZ_CHECK(!faults.dropWritesFrom || *faults.dropWritesFrom >= 1);
    FUZZ_CHECK(std::find(faults.failRequests.begin(), faults.failRequests.end(), 0u) ==
               faults.failRequests.end());
    // A slow bridge is only slower; the script runs its requests at full speed.
    config.faults.delayPerRequest = {};

    const std::optional<std::string> flash = flashFile(in, config);
    auto enclosure = virt::buildEnclosure(config, timeline, flash, kFlash, error);
    if (!enclosure) {
        FUZZ_CHECK(error.rfind(kFlash, 0) == 0);
        return 0;
    }
    FUZZ_CHECK(!flash || enclosure->flash().size() == flash->size());

    virt::VirtualHost host;
    host.setTraceEnabled(false);
    virt::VirtualEnclosure& bridge = host.adoptEnclosure(1, std::move(enclosure));
    test::TestUi ui;
    test::FixedClock clock;
    DeviceState dev{host, ui, clock};
    OpenDrive(dev, 1);
    runScript(in, host, dev);
    FUZZ_CHECK(bridge.flash().size() == config.flashSize);
    return 0;
}
