#include "monitor/ControllerStatus.h"

#include "device/ByteOrder.h"

namespace ardenvel {

std::string ataText(std::span<const std::uint8_t> block, std::size_t offset, std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(block[offset + (i ^ 1)]);
    return text;
}

const char* modeName(std::uint8_t code) {
    static const char* const names[4] = {"Striping", "Mirror", "NRAID", "JBOD"};
    if (code < 4) return names[code];
    if (code == 0x3F) return "Bypass";
    return "Undefine";
}

std::uint32_t StatusView::configuredCapacity() const {
    return readLe32(b, status::kConfiguredCapacity);
}

std::string StatusView::serial(int port) const {
    return ataText(b, port == 0 ? status::kP0Serial : status::kP1Serial, status::kSerialLength);
}

std::string StatusView::model(int port) const {
    return ataText(b, port == 0 ? status::kP0Model : status::kP1Model, status::kModelLength);
}

std::uint32_t StatusView::portCapacity(int port) const {
    return readLe32(b, port == 0 ? status::kP0Capacity : status::kP1Capacity);
}

unsigned StatusView::sataGeneration(int port) const {
    return port == 0 ? (sataGenerations() & 0x0F) : (sataGenerations() >> 4);
}

std::uint32_t StatusView::badSectorLba(unsigned n) const {
    return readLe32(b, status::kBadSectorRing + (n % status::kBadSectorRingEntries) * 4);
}

ModeSource StatusView::modeSource() const {
    switch (settingFlags() >> 4) {
        case 0xF: return ModeSource::Jumper;
        case 0x1: return ModeSource::Spi;
        default: return ModeSource::Unstated;
    }
}

PortCondition StatusView::portCondition(int p) const {
    const std::uint8_t s = portState();
    if (s & port::bits(port::kAbsent, p)) return PortCondition::Absent;
    if (s & port::bits(port::kInitialized, p)) return PortCondition::Initialized;
    if (s & port::bits(port::kFailed, p)) return PortCondition::Failed;
    if (s & port::bits(port::kInserted, p)) return PortCondition::Inserted;
    return PortCondition::None;
}

VolumeState StatusView::volumeState() const {
    switch (portState() & 0x22) {
        case 0x22: return VolumeState::Normal;
        case 0x00: return VolumeState::Failure;
        default: return VolumeState::SingleDisk;
    }
}

int StatusView::activityPort() const {
    if (activityFlags() & activity::kP0) return 0;
    if (activityFlags() & activity::kP1) return 1;
    return -1;
}

ActivityKind StatusView::activityKind(bool isScanCapable) const {
    if (!activityRunning()) return ActivityKind::None;
    return (isScanCapable && (activityFlags() & activity::kScan)) ? ActivityKind::Scan
                                                                  : ActivityKind::Rebuild;
}

std::string firmwareRevisionText(std::span<const std::uint8_t, kSectorSize> identify) {
    return ataText(identify, 46, 8);
}

std::string modelText(std::span<const std::uint8_t, kSectorSize> identify) {
    std::string text = ataText(identify, 54, 40);
    std::size_t end = text.size();
    while (end > 6 && text[end - 1] == ' ') --end;
    text.resize(end);
    return text;
}

bool scanCapable(const std::string& rev) {
    if (rev.size() < 7 || rev[6] != '.') return false;
    long value = 0;
    for (int i = 0; i < 6; ++i) {
        if (rev[i] < '0' || rev[i] > '9') return false;
        value = value * 10 + (rev[i] - '0');
    }
    return value >= 90619;
}

}  // namespace ardenvel
