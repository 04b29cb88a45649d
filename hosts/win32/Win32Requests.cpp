#include "hosts/win32/Win32Requests.h"

#include <cstring>

namespace ardenvel::win32 {

#ifdef _WIN32
ScsiRequest buildScsiRequest(std::span<const std::uint8_t, 10> cdb, DataDirection direction, void* data,
                             std::uint32_t length, unsigned timeoutSeconds) {
    ScsiRequest r;
    std::memset(&r, 0, sizeof r);
    r.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    r.sptd.PathId = 0;
    r.sptd.TargetId = 1;
    r.sptd.Lun = 0;
    r.sptd.CdbLength = 10;
    r.sptd.SenseInfoLength = 24;
    r.sptd.SenseInfoOffset = offsetof(ScsiRequest, sense);
    r.sptd.DataIn = direction == DataDirection::ToHost ? 1 : 0;
    r.sptd.DataTransferLength = length;
    r.sptd.DataBuffer = data;
    r.sptd.TimeOutValue = timeoutSeconds;
    std::memcpy(r.sptd.Cdb, cdb.data(), 10);
    return r;
}
#endif

std::size_t ideBufferSize(std::size_t dataBytes) {
    return dataBytes + 16;
}

void fillIdeRequest(std::span<std::uint8_t> b, const TaskFile& t, std::uint32_t dataBytes) {
    std::memset(b.data(), 0, b.size());
    b[0] = t.features;
    b[1] = t.sectorCount;
    b[2] = t.lbaLow;
    b[3] = t.lbaMid;
    b[4] = t.lbaHigh;
    b[5] = t.device;
    b[6] = t.command;
    b[7] = 0;
    b[8] = static_cast<std::uint8_t>(dataBytes);
    b[9] = static_cast<std::uint8_t>(dataBytes >> 8);
    b[10] = static_cast<std::uint8_t>(dataBytes >> 16);
    b[11] = static_cast<std::uint8_t>(dataBytes >> 24);
}

TaskFile ideRegistersOf(std::span<const std::uint8_t> b) {
    return {b[0], b[1], b[2], b[3], b[4], b[5], b[6]};
}

std::string descriptorSerial(std::span<const std::uint8_t> d) {
    constexpr std::size_t kSerialOffsetAt = 24;
    if (d.size() < kSerialOffsetAt + 4) return {};
    std::size_t at = 0;
    for (int i = 3; i >= 0; --i) at = at << 8 | d[kSerialOffsetAt + static_cast<std::size_t>(i)];
    if (at == 0 || at >= d.size()) return {};
    std::string text;
    for (; at < d.size() && d[at] != 0; ++at) text += static_cast<char>(d[at]);
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace ardenvel::win32
