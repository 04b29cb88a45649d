#include "device/Transport.h"

#include <chrono>
#include <cstring>
#include <new>
#include <vector>

namespace ardenvel {

std::array<std::uint8_t, 10> sectorCdb(std::uint8_t op, std::uint32_t lba, std::uint8_t count) {
    return {op,
            0x00,
            static_cast<std::uint8_t>(lba >> 24),
            static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8),
            static_cast<std::uint8_t>(lba),
            0x00,
            0x00,
            count,
            0x00};
}

std::array<std::uint8_t, 10> inquiryCdb() {
    return {kInquiryOpcode, 0, 0, 0, static_cast<std::uint8_t>(kInquiryBytes), 0, 0, 0, 0, 0};
}

std::array<std::uint8_t, 10> bridgeQueryCdb(unsigned row, std::uint8_t cdbShift) {
    std::array<std::uint8_t, 10> cdb{};
    cdb[0] = kVendorOpcode;
    cdb[1] = kVendorOpcode;
    cdb[2 - (cdbShift & 1)] = kBridgeQueries[row].opcode;
    return cdb;
}

DriveHandle OpenDrive(DeviceState& dev, std::uint8_t code) {
    dev.handle =
        code <= 0x42 ? dev.host.openPhysicalDrive(code) : dev.host.openVolume(static_cast<char>(code));
    return dev.handle;
}

void CloseDrive(DeviceState& dev) {
    if (dev.handle != kInvalidHandle) dev.host.closeDrive(dev.handle);
    dev.handle = kInvalidHandle;
}

bool ReadSectors(DeviceState& dev, DriveHandle h, std::uint32_t lba, std::uint8_t* buffer,
                 std::uint8_t count) {
    const auto cdb = sectorCdb(kRead10, lba, count);
    return dev.host.sendCdb(h, cdb, DataDirection::ToHost, std::span<std::uint8_t>(buffer, count * kSector),
                            kRequestTimeoutSeconds);
}

bool WriteSectors(DeviceState& dev, DriveHandle h, std::uint32_t lba, const std::uint8_t* buffer,
                  std::uint8_t count) {
    const auto cdb = sectorCdb(kWrite10, lba, count);
    // The host only reads a to-device buffer.
    return dev.host.sendCdb(h, cdb, DataDirection::ToDevice,
                            std::span<std::uint8_t>(const_cast<std::uint8_t*>(buffer), count * kSector),
                            kRequestTimeoutSeconds);
}

bool InquiryDevice(DeviceState& dev, DriveHandle h, std::uint8_t* buffer36) {
    return dev.host.sendCdb(h, inquiryCdb(), DataDirection::ToHost,
                            std::span<std::uint8_t>(buffer36, kInquiryBytes), kInquiryTimeoutSeconds);
}

bool BridgeQuery(DeviceState& dev, unsigned row) {
    if (row >= std::size(kBridgeQueries)) return false;
    return dev.host.sendCdb(dev.handle, bridgeQueryCdb(row, dev.cdbShift), DataDirection::ToHost,
                            std::span<std::uint8_t>(dev.bridgeBuffer.data(), kBridgeQueries[row].answerBytes),
                            kRequestTimeoutSeconds);
}

BridgeKindRow bridgeKindRow(BridgeKind kind) {
    switch (kind) {
        case BridgeKind::ReadPage: return {0x85, DataDirection::ToHost, 512, 0};
        case BridgeKind::WritePage: return {0x89, DataDirection::ToDevice, 256, 0};
        case BridgeKind::EraseSector: return {0x81, DataDirection::ToHost, 8, 0};
        case BridgeKind::ScanRead: return {0x85, DataDirection::ToHost, 512, 1};
        case BridgeKind::SignatureRead: return {0x8B, DataDirection::ToHost, 512, 0};
    }
    return {0, DataDirection::ToHost, 0, 0};
}

std::array<std::uint8_t, 10> bridgeTransferCdb(BridgeKind kind, std::uint32_t address,
                                               std::uint8_t cdbShift) {
    const BridgeKindRow row = bridgeKindRow(kind);
    std::array<std::uint8_t, 10> cdb{};
    cdb[0] = kVendorOpcode;
    cdb[1] = kVendorOpcode;
    const std::uint8_t seq[8] = {row.opcode,
                                 0x00,
                                 static_cast<std::uint8_t>(address >> 16),
                                 static_cast<std::uint8_t>(address >> 8),
                                 static_cast<std::uint8_t>(address),
                                 0x00,
                                 row.flag,
                                 0x00};
    std::memcpy(cdb.data() + 2 - (cdbShift & 1), seq, sizeof seq);
    return cdb;
}

bool BridgeTransfer(DeviceState& dev, BridgeKind kind, std::uint8_t* buffer, std::uint32_t address) {
    const BridgeKindRow row = bridgeKindRow(kind);
    const auto cdb = bridgeTransferCdb(kind, address, dev.cdbShift);
    return dev.host.sendCdb(dev.handle, cdb, row.direction, std::span<std::uint8_t>(buffer, row.bytes),
                            kRequestTimeoutSeconds);
}

bool AtaCommand(DeviceState& dev, DriveHandle h, TaskFile& registers, std::uint8_t* buffer, unsigned count,
                std::stop_token stop) {
    // A fresh buffer per request, as the IDE pass-through request is; the
    // caller's buffer sees data only when the request succeeded.
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(count) * kSector);
    } catch (const std::bad_alloc&) {
        showPlain(dev.ui, "Menory Alloc Error!!");
        return false;
    }
    if (registers.command == kAtaIdentify) {
        dev.host.rescanBus(h);
        // In steps, so that closing the window need not wait for all of it.
        constexpr auto kPause = std::chrono::milliseconds(500), kStep = std::chrono::milliseconds(50);
        for (auto slept = std::chrono::milliseconds(0); slept < kPause && !stop.stop_requested();
             slept += kStep)
            dev.clock.sleepFor(kStep);
        if (stop.stop_requested()) return false;
    }
    TaskFile sent = registers;
    // The drive's own verdict: a task file returned with ERR or DF set is a
    // failure, whatever the host says of the request.
    const bool ok = dev.host.sendAta(h, sent, data) && !ataReturnFailed(sent);
    registers = sent;
    if (ok && count != 0) std::memcpy(buffer, data.data(), data.size());
    return ok;
}

}  // namespace ardenvel
