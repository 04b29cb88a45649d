#pragma once
// The vendor command channel: the one command sector, its signature and
// checksum, the reserved LBAs, the ATA form, and the frame every device
// operation runs in.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "device/DeviceState.h"

namespace ardenvel {

inline constexpr std::uint8_t kVuSignature0 = 0x33;  // '3'
inline constexpr std::uint8_t kVuSignature1 = 0x58;  // 'X'
inline constexpr std::size_t kSignatureAt = 258;     // in identification answers

// Command codes (byte 2).
inline constexpr std::uint8_t kVuSetReadAddress = 0x00;
inline constexpr std::uint8_t kVuErase = 0x01;
inline constexpr std::uint8_t kVuProgram = 0x02;
inline constexpr std::uint8_t kVuSpiAccess = 0x03;
inline constexpr std::uint8_t kVuProtection = 0x04;
inline constexpr std::uint8_t kVuUpdateMode = 0x10;
inline constexpr std::uint8_t kVuBuzzerAutoScan = 0x20;
inline constexpr std::uint8_t kVuScanControl = 0x24;

// Command sector layout.
inline constexpr std::size_t kVuCodeAt = 2;
inline constexpr std::size_t kVuArgumentAt = 3;
inline constexpr std::size_t kVuAddressAt = 4;  // 24-bit, bits 23-16 first
inline constexpr std::size_t kVuPayloadAt = 7;
inline constexpr std::size_t kVuProgramMarkAt = 509;
inline constexpr std::uint8_t kVuProgramMark = 0x55;

// Reserved LBAs.
inline constexpr std::uint32_t kCommandLba = 20;
inline constexpr std::uint32_t kRecordLba = 33;
inline constexpr std::uint32_t kIdentifyLba = 58;
inline constexpr std::uint32_t kFlashDataLba = 60;
inline constexpr std::uint32_t kRandomLbaFirst = 3;  // to 130
inline constexpr std::uint32_t kRandomLbaCount = 128;

inline constexpr std::uint8_t kAtaVendorCommand = 0x88;
inline constexpr std::uint8_t kAtaReadAddress = 0x01;  // sub-command in features
inline constexpr std::uint8_t kAtaDeviceLba = 0xE0;

// SendVuMode codes.
inline constexpr std::uint8_t kModeSpiClose = 2;
inline constexpr std::uint8_t kModeSpiOpen = 3;
inline constexpr std::uint8_t kModeUnlock = 4;
inline constexpr std::uint8_t kModeLock = 5;
inline constexpr std::uint8_t kModeLeaveUpdate = 16;
inline constexpr std::uint8_t kModeEnterUpdate = 17;

// Texts of the channel and the frame.
inline constexpr char kTextDeviceNotFound[] = "Device not found!!!";
inline constexpr char kTextNoDeviceFound[] = "No Device found !";
inline constexpr char kTextInvalidDrive[] = "Invalid Drive";
inline constexpr char kTextWriteErrorRandomLba[] = "Write Error at Sec_CNT=1 LBA=";
inline constexpr char kTextWriteErrorLba20[] = "Write Error for LBA = 20 and sector count = 1";
// An open found another disk under the drive number than the one the work
// was for.
std::string diskChangedText(unsigned drive);

bool hasSignature(const std::uint8_t* answer512);
// Sum of bytes 7..509 into 510-511, low byte first; the carry out of bit 15 is dropped.
void sealCommandSector(Sector& sector);
// Bytes 0-1 of a command sector.
void stampSignature(Sector& sector);
// 512 bytes that start with the signature and carry a matching checksum.
bool isSealedCommandSector(std::span<const std::uint8_t> sector);

// How a device word is reached; UsbPath wins over LbaPath, anything else is ATA.
enum class VuRoute { Usb, ReservedLba, Ata };
VuRoute routeOf(std::uint32_t deviceWord);
inline VuRoute selectedRoute(const DeviceState& dev) {
    return routeOf(dev.selectedWord());
}

// Seeds the generator behind the random LBAs from the clock; start-up calls it once.
void SeedRandomLba(DeviceState& dev);
// (r mod 128) + 3 from the next draw, remembered in lastRandomLba.
std::uint32_t DrawRandomLba(DeviceState& dev);

// Codes 2-5 use the handle the caller holds open; 16 and 17 run in a frame
// of their own. On the USB route nothing is sent and the result is true.
bool SendVuMode(DeviceState& dev, std::uint8_t code);

// What the settings write and the scan command take from the main window at
// the time they are served.
struct PanelCommandInput {
    int activePage = -1;  // index of the active tab page; -1 when none is
    bool buzzerMuteTicked = false;
    bool autoScanTicked = false;
    // The scan request of the scan buttons.
    std::uint8_t scanStart = 0;  // 1 starts a scan, 0 stops one
    std::uint8_t scanPort = 0;   // 0 P0, 1 P1
    std::uint32_t scanFirstLba = 0;
    std::uint32_t scanLastLba = 0;
};

// What the two commands change outside the device subsystem, per slot.
struct PanelCommandEffects {
    std::span<std::uint8_t, 4> commandCooldown;
    std::span<std::uint8_t, 4> userAbort;
    // Disables the "Buzzer Mute" and "Auto Scan" boxes.
    std::function<void()> disableBoxes;
};

inline constexpr std::uint8_t kCommandCooldownTicks = 4;

// Both select the slot of the active tab (with no tab active the selection
// stays), disable the two boxes once the drive is open, and after the close
// set the slot's cooldown, whether the write worked or not.
// Command 0x20 at LBA 20 to the enclosure of the active tab, on every route.
bool SetBuzzerAutoScan(DeviceState& dev, const PanelCommandInput& in, const PanelCommandEffects& fx);
// Command 0x24 at LBA 20, on every route; a stop also sets the slot's userAbort.
bool SendScanControl(DeviceState& dev, const PanelCommandInput& in, const PanelCommandEffects& fx);

}  // namespace ardenvel
