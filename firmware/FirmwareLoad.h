#pragma once
// Load Firmware: the chosen file is read byte by byte, summed, checked and
// kept as the one firmware image.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "firmware/FirmwareState.h"
#include "platform/Ui.h"

namespace ardenvel {

// Larger files are refused unread: no flash this bridge drives comes near it.
inline constexpr std::uint64_t kMaxFirmwareFileSize = 16u << 20;
// How often one byte that cannot be read is tried before loading gives up.
inline constexpr unsigned kByteReadTries = 3;

// An open firmware file. Bytes are read by index, so a failed byte can be
// read again from the same place.
class FirmwareFile {
public:
    virtual ~FirmwareFile() = default;
    virtual std::uint64_t size() = 0;
    virtual bool readByte(std::uint64_t index, std::uint8_t& out) = 0;
};

class FirmwareFileOpener {
public:
    virtual ~FirmwareFileOpener() = default;
    // nullptr when the file cannot be opened.
    virtual std::unique_ptr<FirmwareFile> open(const std::string& path) = 0;
};

// Files on disk, as raw bytes.
class DiskFileOpener final : public FirmwareFileOpener {
public:
    std::unique_ptr<FirmwareFile> open(const std::string& path) override;
};

// The open dialog: the chosen path, or nothing when the user cancelled. The
// window widens status panel 4 before it returns a path.
using FirmwareFileChooser = std::function<std::optional<std::string>()>;

// The "Load Firmware " button. True when a file was accepted as the image.
bool LoadFirmware(FirmwareState& fw, Ui& ui, const FirmwareFileChooser& choose, FirmwareFileOpener& opener);
bool LoadFirmware(FirmwareState& fw, Ui& ui, const FirmwareFileChooser& choose);

// Loading one chosen file, without the BusyFlag and the dialog.
bool LoadFirmwareFile(FirmwareState& fw, Ui& ui, const std::string& path, FirmwareFileOpener& opener);

// The acceptance rule: signature and the ConfigVersion byte of a 4 Mbit image.
bool isAcceptableImage(const std::uint8_t* bytes, std::uint64_t length);

}  // namespace ardenvel
