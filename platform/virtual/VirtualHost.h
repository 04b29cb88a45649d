#pragma once
// A host of emulated disks: enclosures with a stateful model of the two-port
// RAID bridge behind them, and ordinary disks. It serves the tests and the
// demo. It keeps state, enforces the bridge's rules, records every request
// and can be told to fail.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Host.h"

namespace ardenvel::virt {

// How an enclosure's bridge can be reached.
enum class Route {
    UsbShift,    // vendor opcode at CDB byte 1 (CdbShift 1)
    UsbNoShift,  // vendor opcode at CDB byte 2 (CdbShift 0)
    UsbQuery,    // rejects the 0x8B read, answers query 0x78 with 0x50 0x8B
    Lba,         // signature in the LBA 58 sector; command sectors at reserved LBAs
    Ata,         // signature in the IDENTIFY answer; ATA command 0x88
    LbaAta,      // both of the above
};

bool isUsb(Route r);

// One disk on a bridge port.
struct PortDisk {
    std::string serial = "WD-WCAV00000000";  // up to 20 characters
    std::string model = "WDC WD10EARS-00Y5B1";  // up to 40 characters
    std::uint32_t capacity = 1953525168;      // sectors
    std::uint8_t sataGeneration = 2;
};

// The live state of the bridge that the status record reports.
struct BridgeStatus {
    std::uint8_t raidModeOfSystem = 1;  // Mirror
    std::uint8_t portState = 0x22;
    std::uint8_t activityFlags = 0;
    std::uint8_t progressPercent = 0;
    std::uint32_t configuredCapacity = 1953525168;
    std::optional<PortDisk> disks[2] = {PortDisk{}, PortDisk{}};
    std::uint8_t badSectorCount = 0;
    std::array<std::uint32_t, 10> badSectorRing{};
};

struct EnclosureConfig {
    Route route = Route::Lba;
    std::string firmwareRevision = "090619.0";  // 8 characters in the identification
    std::string model = "QX Mirror Box";        // 40 characters, blank padded
    std::uint32_t flashSize = 0x80000;
    std::uint8_t raidModeInSpi = 1;
    std::uint8_t settingFlags = 0x13;  // mode from SPI, buzzer sounding, auto scan on
    std::uint8_t inquiryAdditionalLength = 0x1F;
    BridgeStatus status;
};

// A change that takes effect once the enclosure has served `afterReads`
// status reads in all (counted from its creation).
struct TimelineEvent {
    enum class Kind {
        InsertDisk,   // port, disk: the port reads "inserted"
        Initialize,   // port: inserted disk becomes initialized
        FailDisk,     // port: the disk failed, capacity too small
        RemoveDisk,   // port: no disk
        SetActivity,  // activityFlags (low bits and 0x80), percent
        EndActivity,  // activity bits 0x01, 0x02, 0x80 cleared
        BadSector,    // port, lba: appended to the ring, count + 1, bit 0x04/0x08 set
        SetPortState, // raw portState
        Unplug,       // the drive disappears; a device-change notice is raised
        Plug,         // it comes back; a device-change notice is raised
    };
    unsigned afterReads = 0;
    Kind kind = Kind::SetActivity;
    int port = 0;
    PortDisk disk;
    std::uint8_t value = 0;    // activity flags or raw port state
    std::uint8_t percent = 0;
    std::uint32_t lba = 0;
};

// One request as the host saw it.
struct TraceEntry {
    enum class Kind { Cdb, Ata, Rescan, Open, Close } kind = Kind::Cdb;
    unsigned drive = 0;  // physical drive number; volumes give their disk's number
    std::array<std::uint8_t, 10> cdb{};
    DataDirection direction = DataDirection::ToHost;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> data;  // the bytes moved (either direction)
    TaskFile taskIn, taskOut;
    unsigned timeoutSeconds = 0;
    bool ok = false;
};

// Counters a test reads to see what the bridge refused.
struct BridgeCounters {
    unsigned badCommandSectors = 0;   // wrong signature or checksum: ignored
    unsigned blockedFlashCommands = 0; // flash command while SPI access closed, or low area locked
    unsigned statusReads = 0;
    unsigned pagePrograms = 0;
    unsigned sectorErases = 0;
};

class VirtualEnclosure {
public:
    explicit VirtualEnclosure(EnclosureConfig config);
    ~VirtualEnclosure();
    VirtualEnclosure(const VirtualEnclosure&) = delete;
    VirtualEnclosure& operator=(const VirtualEnclosure&) = delete;

    const EnclosureConfig& config() const;
    Route route() const;

    // The 512 KB (or other size) flash, NOR behaviour.
    std::vector<std::uint8_t>& flash();
    const std::vector<std::uint8_t>& flash() const;
    // The newest record slot address found in the record area, as the bridge finds it.
    std::optional<std::uint32_t> newestRecordAddress() const;
    // The 512-byte record the bridge serves now.
    std::array<std::uint8_t, 512> currentRecord() const;
    BridgeStatus& status();
    std::uint8_t settingFlags() const;

    // Bridge switches.
    bool spiAccessOpen() const;
    bool lowAreaUnlocked() const;
    bool updateMode() const;
    const BridgeCounters& counters() const;

    void addTimeline(TimelineEvent event);

    // Lays out a fresh flash from a generated image (firmware/ layout).
    void formatFlash();

    // Backing directory: flash changes are written back to flash.bin there.
    void setBackingFile(std::filesystem::path flashFile);

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> impl_;
};

struct OrdinaryDiskConfig {
    std::uint32_t sectors = 1 << 20;
    std::uint8_t inquiryAdditionalLength = 0x1F;
};

class VirtualHost final : public Host {
public:
    VirtualHost();
    ~VirtualHost() override;

    // Physical drives 0..9.
    VirtualEnclosure& addEnclosure(unsigned drive, EnclosureConfig config);
    void addOrdinaryDisk(unsigned drive, OrdinaryDiskConfig config = {});
    // Volumes: letter, GetDriveTypeA value, disk number. A volume whose disk
    // is absent (or given as -1) cannot be opened.
    void addVolume(char letter, std::uint8_t driveType, int diskNumber);
    void removeVolume(char letter);
    VirtualEnclosure* enclosure(unsigned drive);
    // Unplug or plug back a drive; raises a device-change notice.
    void unplug(unsigned drive);
    void plug(unsigned drive);
    // Loads an enclosure described by a directory (description.json, flash.bin).
    VirtualEnclosure& loadEnclosure(unsigned drive, const std::filesystem::path& dir);

    // Fault and latency injection. Requests are counted from 1 across the host.
    void failRequest(unsigned n);        // the n-th request from now fails
    void cutPowerAfter(unsigned n);      // requests after the next n fail until powerOn()
    void powerOn();                      // the bridge restarts and serves its newest record
    void setDelayPerRequest(std::chrono::microseconds delay);
    // Writes and erases report success but change nothing, from the n-th request on.
    void dropWritesFrom(unsigned n);
    unsigned requestCount() const;

    std::vector<TraceEntry> trace() const;
    void clearTrace();
    void setTraceEnabled(bool on);
    // Each request, as it completes (for the command-line --trace).
    void setTraceObserver(std::function<void(const TraceEntry&)> observer);

    // Host
    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel::virt
