#include "hosts/TracingHost.h"

#include <cstdio>

namespace ardenvel {

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size() * 3);
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

namespace {

std::string regs(const TaskFile& t) {
    const std::uint8_t r[7] = {t.features, t.sectorCount, t.lbaLow, t.lbaMid, t.lbaHigh, t.device, t.command};
    return hexBytes(r);
}

// A WRITE(10) of one sector that starts with the command-sector signature.
bool isCommandSector(std::span<const std::uint8_t, 10> cdb, DataDirection dir,
                     std::span<const std::uint8_t> data) {
    return cdb[0] == 0x2A && dir == DataDirection::ToDevice && data.size() == 512 && data[0] == 0x33 &&
           data[1] == 0x58;
}

}  // namespace

std::string TracingHost::cdbLine(const std::string& drive, std::span<const std::uint8_t, 10> cdb,
                                 DataDirection direction, std::span<const std::uint8_t> data, bool ok) {
    std::string line = drive + " cdb " + hexBytes(cdb) +
                       (direction == DataDirection::ToHost ? " in " : " out ") + std::to_string(data.size()) +
                       (ok ? " ok" : " fail");
    if (isCommandSector(cdb, direction, data)) line += " sector " + hexBytes(data);
    return line;
}

std::string TracingHost::ataLine(const std::string& drive, const TaskFile& sent, const TaskFile& returned,
                                 std::size_t dataBytes, bool ok) {
    return drive + " ata " + regs(sent) + " -> " + regs(returned) + " in " + std::to_string(dataBytes) +
           (ok ? " ok" : " fail");
}

std::string TracingHost::nameOf(DriveHandle h) {
    std::lock_guard lock(mutex_);
    auto it = names_.find(h);
    return it == names_.end() ? "?" : it->second;
}

void TracingHost::emit(const std::string& line) {
    if (sink_) sink_(line);
}

DriveHandle TracingHost::openPhysicalDrive(unsigned number) {
    const DriveHandle h = inner_.openPhysicalDrive(number);
    const std::string name = "PhysicalDrive" + std::to_string(number);
    if (h != kInvalidHandle) {
        std::lock_guard lock(mutex_);
        names_[h] = name;
    }
    emit(name + " open" + (h != kInvalidHandle ? " ok" : " fail"));
    return h;
}

DriveHandle TracingHost::openVolume(char letter) {
    const DriveHandle h = inner_.openVolume(letter);
    const std::string name = std::string(1, letter) + ":";
    if (h != kInvalidHandle) {
        std::lock_guard lock(mutex_);
        names_[h] = name;
    }
    emit(name + " open" + (h != kInvalidHandle ? " ok" : " fail"));
    return h;
}

void TracingHost::closeDrive(DriveHandle handle) {
    const std::string name = nameOf(handle);
    inner_.closeDrive(handle);
    {
        std::lock_guard lock(mutex_);
        names_.erase(handle);
    }
    emit(name + " close");
}

bool TracingHost::sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                          std::span<std::uint8_t> data, unsigned timeoutSeconds) {
    const bool ok = inner_.sendCdb(handle, cdb, direction, data, timeoutSeconds);
    emit(cdbLine(nameOf(handle), cdb, direction, data, ok));
    return ok;
}

bool TracingHost::sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) {
    const TaskFile sent = registers;
    const bool ok = inner_.sendAta(handle, registers, dataIn);
    emit(ataLine(nameOf(handle), sent, registers, dataIn.size(), ok));
    return ok;
}

void TracingHost::rescanBus(DriveHandle handle) {
    inner_.rescanBus(handle);
    emit(nameOf(handle) + " rescan");
}

bool TracingHost::volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) {
    const bool ok = inner_.volumeDiskNumber(volume, diskNumber);
    emit(nameOf(volume) + " extents " + (ok ? "disk " + std::to_string(diskNumber) + " ok" : "fail"));
    return ok;
}

}  // namespace ardenvel
