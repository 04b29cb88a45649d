#pragma once
// The firmware subsystem's process-wide state: the one loaded image and the
// flag that keeps the two firmware commands from overlapping. The program
// makes one; each test makes its own.

#include <atomic>
#include <cstdint>
#include <vector>

namespace ardenvel {

struct FirmwareImage {
    std::vector<std::uint8_t> bytes;  // empty: no image

    std::uint32_t length() const { return static_cast<std::uint32_t>(bytes.size()); }
    bool loaded() const { return !bytes.empty(); }
    void release() {
        bytes.clear();
        bytes.shrink_to_fit();
    }
};

struct FirmwareState {
    FirmwareImage image;
    // Set while Load Firmware or Start Upgrade runs; a press meanwhile does nothing.
    std::atomic<bool> busy{false};
};

// Holds BusyFlag for one command. Nothing happens if it was already set.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<bool>& flag) : flag_(flag) {
        bool expected = false;
        held_ = flag_.compare_exchange_strong(expected, true);
    }
    ~BusyGuard() { release(); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

    bool held() const { return held_; }
    // Clears the flag now; the upgrade clears it before its last mode command.
    void release() {
        if (held_) flag_.store(false);
        held_ = false;
    }

private:
    std::atomic<bool>& flag_;
    bool held_ = false;
};

// Called when the main window closes.
inline void ReleaseFirmware(FirmwareState& fw) {
    fw.image.release();
}

}  // namespace ardenvel
