#include "hosts/win32/Win32Host.h"

// windows.h first: the others build on its types.
#include <windows.h>

#include <dbt.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "hosts/win32/Win32Requests.h"

namespace ardenvel::win32 {
namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

HANDLE toWin(DriveHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

// A hidden window on its own thread that receives WM_DEVICECHANGE. It is a
// top-level window, never shown, rather than a message-only one: those miss
// the system's broadcasts, such as a volume coming or going without a USB
// notice.
struct Win32Host::Notifier {
    std::mutex mutex;
    std::function<void()> handler;
    std::thread thread;
    std::atomic<HWND> window{nullptr};

    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_DEVICECHANGE) {
            auto* self = reinterpret_cast<Notifier*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
            if (self) {
                std::function<void()> h;
                {
                    std::lock_guard lock(self->mutex);
                    h = self->handler;
                }
                if (h) h();
            }
            return TRUE;
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    }

    void start() {
        std::atomic<bool> ready{false};
        thread = std::thread([this, &ready] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = &Notifier::proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "ArdenvelDeviceNotifier";
            RegisterClassA(&wc);
            HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, wc.hInstance, nullptr);
            // Without a desktop to put it on, the USB notices still come to a
            // message-only window.
            if (!hwnd)
                hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       wc.hInstance, nullptr);
            HDEVNOTIFY note = nullptr;
            if (hwnd) {
                SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
                DEV_BROADCAST_DEVICEINTERFACE_A filter{};
                filter.dbcc_size = sizeof filter;
                filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
                filter.dbcc_classguid = kUsbDeviceInterface;
                note = RegisterDeviceNotificationA(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            }
            window = hwnd;
            ready = true;
            MSG m;
            while (hwnd && GetMessageA(&m, nullptr, 0, 0) > 0) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            if (note) UnregisterDeviceNotification(note);
            if (hwnd) DestroyWindow(hwnd);
        });
        while (!ready) Sleep(1);
    }

    ~Notifier() {
        if (HWND hwnd = window.load()) PostMessageA(hwnd, WM_QUIT, 0, 0);
        if (thread.joinable()) thread.join();
    }
};

Win32Host::Win32Host() = default;
Win32Host::~Win32Host() = default;

DriveHandle Win32Host::open(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return reinterpret_cast<DriveHandle>(h);
    // Without an elevated token the disks refuse to open at all.
    if (GetLastError() == ERROR_ACCESS_DENIED) accessDenied_ = true;
    return kInvalidHandle;
}

std::optional<std::string> Win32Host::takePrivilegeWarning() {
    if (!accessDenied_ || warned_.exchange(true)) return std::nullopt;
    return std::string(kWin32PrivilegeMessage);
}

DriveHandle Win32Host::openPhysicalDrive(unsigned number) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%u", number);
    return open(path);
}

DriveHandle Win32Host::openVolume(char letter) {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
    return open(path);
}

void Win32Host::closeDrive(DriveHandle handle) {
    if (handle != kInvalidHandle) CloseHandle(toWin(handle));
}

bool Win32Host::sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                        std::span<std::uint8_t> data, unsigned timeoutSeconds) {
    ScsiRequest request = buildScsiRequest(cdb, direction, data.data(),
                                           static_cast<std::uint32_t>(data.size()), timeoutSeconds);
    DWORD returned = 0;
    return DeviceIoControl(toWin(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request, &request,
                           sizeof request, &returned, nullptr) != 0;
}

bool Win32Host::sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) {
    const std::size_t size = ideBufferSize(dataIn.size());
    auto* buffer = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    if (!buffer) return false;
    std::span<std::uint8_t> request(buffer, size);
    fillIdeRequest(request, registers, static_cast<std::uint32_t>(dataIn.size()));
    DWORD returned = 0;
    const bool ok = DeviceIoControl(toWin(handle), kIoctlIdePassThrough, buffer, static_cast<DWORD>(size),
                                    buffer, static_cast<DWORD>(size), &returned, nullptr) != 0;
    registers = ideRegistersOf(request);
    if (ok && !dataIn.empty()) std::memcpy(dataIn.data(), buffer + kIdeHeader, dataIn.size());
    VirtualFree(buffer, 0, MEM_RELEASE);
    return ok;
}

void Win32Host::rescanBus(DriveHandle handle) {
    DWORD returned = 0;
    DeviceIoControl(toWin(handle), IOCTL_SCSI_RESCAN_BUS, nullptr, 0, nullptr, 0, &returned, nullptr);
}

std::uint32_t Win32Host::logicalDriveMask() {
    return GetLogicalDrives();
}

std::uint8_t Win32Host::driveType(char letter) {
    char root[] = "C:\\";
    root[0] = letter;
    return static_cast<std::uint8_t>(GetDriveTypeA(root));
}

bool Win32Host::volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) {
    // Room for one extent: 32 bytes.
    alignas(8) std::uint8_t out[32] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(toWin(volume), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out, sizeof out,
                         &returned, nullptr))
        return false;
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(out);
    diskNumber = extents->Extents[0].DiskNumber;
    return true;
}

void Win32Host::setDeviceChangeHandler(std::function<void()> handler) {
    if (!notifier_) {
        notifier_ = std::make_unique<Notifier>();
        notifier_->start();
    }
    std::lock_guard lock(notifier_->mutex);
    notifier_->handler = std::move(handler);
}

}  // namespace ardenvel::win32
