#pragma once
// Start Upgrade: each code type the loaded image marks is programmed into a
// free 48 KB slot, read back, compared and only then recorded in a new
// version of the bridge's configuration record.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "device/DeviceState.h"
#include "firmware/FirmwareState.h"

namespace ardenvel {

inline constexpr std::uint32_t kProgressPerCodeType = 204;  // 96 read + 96 programmed + 12 erased

// The main window's firmware progress displays.
class FirmwareProgress {
public:
    virtual ~FirmwareProgress() = default;
    virtual void setTitle(const std::string& text) = 0;          // Label12
    virtual void setCaption(const std::string& text) = 0;        // Panel1's caption
    virtual void setPanelVisible(bool shown) = 0;                // Panel1
    virtual void setProgressMaximum(std::uint32_t maximum) = 0;  // ProgressBar1
    virtual void setProgressPosition(std::uint32_t position) = 0;
    // Timer1, one second; each tick calls ProgressTimerTick.
    virtual void startTimer() = 0;
    virtual void stopTimer() = 0;
};

// Progress that goes nowhere, for upgrades nobody watches.
class QuietProgress final : public FirmwareProgress {
public:
    void setTitle(const std::string&) override {}
    void setCaption(const std::string&) override {}
    void setPanelVisible(bool) override {}
    void setProgressMaximum(std::uint32_t) override {}
    void setProgressPosition(std::uint32_t) override {}
    void startTimer() override {}
    void stopTimer() override {}
};

// Timer1's handler: SpiProgress onto the progress bar.
void ProgressTimerTick(const DeviceState& dev, FirmwareProgress& progress);

// How far an upgrade got: whether the loop over the code types ran (and so
// the completion message came), and how many of the marked ones it recorded.
struct UpgradeOutcome {
    bool loopRan = false;
    unsigned done = 0;
    unsigned total = 0;
};

// Where an upgrade writes down what it repaired in the record ring: a line
// for the day's log ("D1 SPI record area repaired: ...").
using UpgradeLog = std::function<void(const std::string& line)>;

// The "Start Upgrade" button, on the selected enclosure, which it holds from
// its first request to its last. Record dumps go to dumpDir. True when the
// loop ran and every marked code type was recorded.
bool StartUpgrade(FirmwareState& fw, DeviceState& dev, FirmwareProgress& progress,
                  const std::filesystem::path& dumpDir, UpgradeOutcome* outcome = nullptr,
                  const UpgradeLog& log = {});

// The slot after `freeSlot` that no code of `record` reaches into, searching
// upward and wrapping to 0xC000 before a slot would reach `recordBase`;
// nothing when every slot is taken. The slot a code type just left is among
// those visited, so it is found when it is the only one.
std::optional<std::uint32_t> nextFreeSlot(std::span<const std::uint8_t> record, std::uint32_t freeSlot,
                                          std::uint32_t recordBase);

// A 48 KB code slot the upgrade may program: non-zero, slot-aligned, wholly
// below the record area.
bool isUsableSlot(std::uint32_t address, std::uint32_t recordBase);

// Saves the 512-byte record as "SPIREC" + tag + uniqueness character + ".bin"
// in dir, made when missing. True when written.
bool DumpRecord(Ui& ui, const std::filesystem::path& dir, char tag, std::span<const std::uint8_t> record512);

}  // namespace ardenvel
