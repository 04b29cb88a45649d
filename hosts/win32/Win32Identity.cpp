// Which disk a handle reached: its device number, the instance path of the
// disk device that has that number now, and the serial its driver reports.
// The instance path changes when another disk takes the number; the serial
// tells two disks behind one port apart.

#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <vector>

#include "hosts/win32/Win32Host.h"
#include "hosts/win32/Win32Requests.h"

namespace ardenvel::win32 {
namespace {

const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

bool deviceNumber(HANDLE h, STORAGE_DEVICE_NUMBER& number) {
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                           nullptr) != 0;
}

std::string serialOf(HANDLE h) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<std::uint8_t> out(1024);
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(),
                         static_cast<DWORD>(out.size()), &returned, nullptr))
        return {};
    out.resize(returned);
    return descriptorSerial(out);
}

// The instance path of the present disk device whose number is `wanted`.
std::string instancePath(DWORD wanted) {
    HDEVINFO set =
        SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::string found;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, i, &iface);
         ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<std::uint8_t> detailBytes(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBytes.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, size, nullptr, &info)) continue;
        // No access needed to ask for the number.
        HANDLE disk = CreateFileA(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (disk == INVALID_HANDLE_VALUE) continue;
        STORAGE_DEVICE_NUMBER number{};
        const bool match = deviceNumber(disk, number) && number.DeviceNumber == wanted;
        CloseHandle(disk);
        if (!match) continue;
        char id[512];
        if (SetupDiGetDeviceInstanceIdA(set, &info, id, sizeof id, nullptr)) found = id;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

}  // namespace

DiskIdentity Win32Host::driveIdentity(DriveHandle handle) {
    const HANDLE h = reinterpret_cast<HANDLE>(handle);
    DiskIdentity id;
    STORAGE_DEVICE_NUMBER number{};
    if (deviceNumber(h, number)) {
        // 0 stands for "unknown": keep disk 0 apart from that.
        id.device = (std::uint64_t{number.DeviceType} << 32) | number.DeviceNumber;
        id.name = instancePath(number.DeviceNumber);
    }
    const std::string serial = serialOf(h);
    if (!serial.empty()) id.name += (id.name.empty() ? "" : " ") + serial;
    return id;
}

}  // namespace ardenvel::win32
