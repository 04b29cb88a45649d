#pragma once
// A host of emulated disks: enclosures with a stateful model of the two-port
// RAID bridge behind them, and ordinary disks. It serves the tests and the
// demo. It keeps state, enforces the bridge's rules, records every request
// and can be told to fail.
//
// Thread safety: every Host call and every VirtualHost method takes the
// host's lock. A VirtualEnclosure guards its own state with its own lock;
// flash() and status() hand out references, so change them only while no
// request is in flight.

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
#include <variant>
#include <vector>

#include "platform/Host.h"
#include "tools/ImageGenerator.h"

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
// "usb-shift", "usb-noshift", "usb-query", "lba", "ata", "lba+ata".
const char* routeName(Route r);
bool parseRoute(const std::string& name, Route& route);

// One disk on a bridge port.
struct PortDisk {
    std::string serial = "WD-WCAV00000000";     // up to 20 characters
    std::string model = "WDC WD10EARS-00Y5B1";  // up to 40 characters
    std::uint32_t capacity = 1953525168;        // sectors
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

// Faults of one enclosure. Its requests (the CDBs and ATA task files it
// gets, from its creation on; 1 is the first) are counted apart from the
// host's, so each enclosure of a run keeps its own.
struct EnclosureFaults {
    std::vector<unsigned> failRequests;  // each of these fails and does nothing
    // Every request after this one fails: the bridge has lost power. It
    // writes its flash back at the cut.
    std::optional<unsigned> cutPowerAfter;
    // With a cut, this many requests fail; the next finds the bridge
    // restarted (switches and read address reset). 0: it stays off.
    unsigned powerOnAfter = 0;
    // From this request on, plain writes, programs and erases succeed
    // without effect.
    std::optional<unsigned> dropWritesFrom;
    std::chrono::microseconds delayPerRequest{0};  // latency of each request
    // The power goes in the middle of this request: a page program keeps the
    // first tornFraction of its 256 bytes, a sector erase leaves its first
    // pages blank, the next one half erased to a mix of bits and the rest as
    // they were. The request fails and the power stays off as after a cut.
    std::optional<unsigned> tornRequest;
    std::uint8_t tornFraction = 128;  // 1 to 255, of 256
    // This request, if it reads the flash or the record, answers once with
    // the bytes of the read before it (stale) or with bits flipped (garbled).
    std::optional<unsigned> staleRead;
    std::optional<unsigned> garbledRead;
    // This request, if it writes, succeeds without effect.
    std::optional<unsigned> droppedWrite;
};

// The record ring of a freshly laid out flash.
enum class RingState {
    Written,        // the image's record in slot 0
    Empty,          // every slot erased
    GarbledNewest,  // the newest record's bytes after its sequence number are junk
    OutOfTurn,      // the slot after the newest holds a whole record whose sequence skips one
};

struct EnclosureConfig {
    Route route = Route::Lba;
    std::string firmwareRevision = "090619.0";  // 8 characters in the identification
    std::string model = "QX Mirror Box";        // 40 characters, blank padded
    std::string serial = "ARDV00000001";        // identification words 10-19
    std::uint32_t flashSize = 0x80000;
    std::uint8_t raidModeInSpi = 1;
    std::uint8_t settingFlags = 0x13;  // mode from SPI, buzzer sounding, auto scan on
    std::uint8_t inquiryAdditionalLength = 0x1F;
    // Which opcode position a UsbQuery bridge takes: 1 = byte 1, 0 = byte 2.
    std::uint8_t queryCdbShift = 1;
    // A running scan or rebuild advances by this much per status read and ends
    // after 99; 0 leaves the progress to the timeline.
    std::uint8_t activityPercentPerRead = 0;
    // The code types of a freshly laid out flash; empty gives the generator's defaults.
    std::vector<image::CodeSpec> flashCodes;
    std::string flashVersionTag = "v1";
    RingState flashRing = RingState::Written;
    BridgeStatus status;
    EnclosureFaults faults;
};

// A change that takes effect once the enclosure has served `afterReads`
// status reads in all (counted from its creation): with afterReads 2 the
// first two reads see the old state and the third the new one. While the
// drive is unplugged nothing can read it, so each attempt to open it counts
// as a read instead; that is what lets a Plug follow an Unplug.
struct TimelineEvent {
    enum class Kind {
        InsertDisk,         // port, disk: the port reads "inserted"
        Initialize,         // port: inserted disk becomes initialized
        FailDisk,           // port: the disk failed, capacity too small
        RemoveDisk,         // port: no disk
        SetActivity,        // activityFlags (low bits and 0x80), percent
        EndActivity,        // activity bits 0x01, 0x02, 0x80 cleared
        BadSector,          // port, lba: appended to the ring, count + 1, bit 0x04/0x08 set
        SetBadSectorCount,  // value: the count as the bridge now reports it, lower or higher
        SetPortState,       // raw portState
        Unplug,             // the drive disappears; a device-change notice is raised
        Plug,               // it comes back; a device-change notice is raised
    };
    unsigned afterReads = 0;
    Kind kind = Kind::SetActivity;
    int port = 0;
    PortDisk disk;
    std::uint8_t value = 0;  // activity flags, raw port state or bad-sector count
    std::uint8_t percent = 0;
    std::uint32_t lba = 0;

    static TimelineEvent at(unsigned afterReads, Kind kind, int port = 0) {
        TimelineEvent e;
        e.afterReads = afterReads;
        e.kind = kind;
        e.port = port;
        return e;
    }
};

// One request as the host saw it.
struct TraceEntry {
    enum class Kind { Cdb, Ata, Rescan, Open, Close } kind = Kind::Cdb;
    unsigned drive = 0;  // physical drive number; volumes give their disk's number
    std::array<std::uint8_t, 10> cdb{};
    DataDirection direction = DataDirection::ToHost;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> data;  // the bytes moved (either direction)
    // The identity sequence of the disk that took the request or the open;
    // 0 when none did.
    std::uint64_t disk = 0;
    TaskFile taskIn, taskOut;
    unsigned timeoutSeconds = 0;
    bool ok = false;
    // Why the bridge or disk rejected the request ("command sector 0x02 at
    // LBA 20: no 0x55 marker at byte 509; ..."), or that it timed out; empty
    // when it was taken. A malformed command sector is written as data, so
    // its request can still be ok.
    std::string rejected;
};

// Counters a test reads to see what the bridge refused.
struct BridgeCounters {
    unsigned badCommandSectors = 0;  // malformed: not acted on, written to the disk as data
    unsigned blockedFlashCommands =
        0;  // refused in the bridge's state: SPI closed, not in update mode, locked
    unsigned statusReads = 0;
    unsigned pagePrograms = 0;
    unsigned sectorErases = 0;
    unsigned commandSectors = 0;  // accepted and carried out
    unsigned droppedWrites = 0;   // swallowed by dropWritesFrom
    unsigned ringBreaks = 0;      // flash changes that broke the record ring's invariant
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
    // RecordAreaAddress from the flash head (or the top 32 KB when the head is unusable).
    std::uint32_t recordAreaAddress() const;
    // The newest record slot address found in the record area, as the bridge finds it:
    // the end of the run of consecutive records that starts at the first used slot.
    std::optional<std::uint32_t> newestRecordAddress() const;
    // The 512-byte record the bridge serves now (not counted as a status read).
    std::array<std::uint8_t, 512> currentRecord() const;
    BridgeStatus& status();
    std::uint8_t settingFlags() const;
    // The sector the bridge answers at LBA 58, the IDENTIFY and the 0x8B read,
    // with or without the signature.
    std::array<std::uint8_t, 512> identification(bool withSignature) const;

    // Bridge switches.
    bool spiAccessOpen() const;
    bool lowAreaUnlocked() const;
    bool updateMode() const;
    std::uint32_t flashReadAddress() const;
    BridgeCounters counters() const;
    bool plugged() const;
    // The first change that broke the record ring's invariant; empty while none did.
    std::string ringBreak() const;

    // Replaces the enclosure's own faults, numbered from its next request as
    // the host's are. A bridge whose power they had cut is on again.
    void setFaults(EnclosureFaults faults);

    void addTimeline(TimelineEvent event);
    std::size_t pendingTimelineEvents() const;

    // Lays out a fresh flash from a generated image (firmware/ layout).
    bool formatFlash();

    // Backing file: flash changes are written back to it after every erase,
    // every program into the record area, when SPI access is closed, when
    // update mode is left, at a power cut and at destruction. Writes the file
    // at once when it does not exist yet.
    bool setBackingFile(std::filesystem::path flashFile);
    bool flush();
    std::string lastError() const;

    struct Impl;
    Impl& impl();

private:
    std::unique_ptr<Impl> impl_;
};

struct OrdinaryDiskConfig {
    std::uint32_t sectors = 1 << 20;
    std::uint8_t inquiryAdditionalLength = 0x1F;
    // A SATA disk answers IDENTIFY (without the signature); a USB stick does not.
    bool answersIdentify = true;
    std::string model = "VIRTUAL PLAIN DISK";
};

// Reads description.json of an enclosure directory. False with a reason on
// any bad field; nothing is changed then.
bool readEnclosureDescription(const std::filesystem::path& dir, EnclosureConfig& config,
                              std::vector<TimelineEvent>& timeline, std::string& error);

class VirtualHost final : public Host {
public:
    VirtualHost();
    ~VirtualHost() override;

    // Physical drives by number; 0..9 are the ones discovery looks at, higher
    // numbers exist so that a test can see they are never probed. Adding a
    // drive under a taken number replaces it.
    VirtualEnclosure& addEnclosure(unsigned drive, EnclosureConfig config);
    void addOrdinaryDisk(unsigned drive, OrdinaryDiskConfig config = {});
    void removeDrive(unsigned drive);
    // Volumes: letter, GetDriveTypeA value, disk number. A volume whose disk
    // is absent (or given as -1) cannot be opened; one whose disk is unplugged
    // also leaves the drive mask.
    void addVolume(char letter, std::uint8_t driveType, int diskNumber);
    void removeVolume(char letter);
    VirtualEnclosure* enclosure(unsigned drive);
    // Unplug or plug back a drive; raises a device-change notice. Plugged
    // back, it is a disk with a new identity, as a kernel numbers it anew.
    void unplug(unsigned drive);
    void plug(unsigned drive);
    // Another disk in place of `drive`'s once the n-th request from now has
    // completed (at once for 0), with a device-change notice: it has an
    // identity of its own, and handles opened on the old disk fail.
    using Newcomer = std::variant<OrdinaryDiskConfig, EnclosureConfig>;
    void swapAfter(unsigned n, unsigned drive, Newcomer newcomer);
    // The identity sequence of the disk under `drive` now; 0 when there is none.
    std::uint64_t diskSequence(unsigned drive) const;
    // Loads an enclosure described by a directory (description.json, flash.bin;
    // flash.bin is generated when missing). nullptr and a reason on failure;
    // the drive is left as it was then.
    VirtualEnclosure* loadEnclosure(unsigned drive, const std::filesystem::path& dir, std::string& error);
    // Puts an enclosure made elsewhere under `drive`.
    VirtualEnclosure& adoptEnclosure(unsigned drive, std::unique_ptr<VirtualEnclosure> enclosure);

    // Fault and latency injection. Requests are the CDBs and ATA task files;
    // opens, closes and bus rescans are not counted. n counts from the next
    // request: n = 1 is the next one.
    void failRequest(unsigned n);    // the n-th request from now fails
    void cutPowerAfter(unsigned n);  // requests after the next n fail until powerOn()
    void powerOn();                  // the bridges restart and serve their newest record
    bool powered() const;
    // Every request sleeps `delay` first. A request whose time (this delay
    // and any slowRequest time) exceeds its time-out fails after the time-out
    // and does nothing: CDBs carry theirs, ATA requests have kAtaTimeout, and
    // a time-out of 0 lets nothing complete.
    void setDelayPerRequest(std::chrono::microseconds delay);
    // The n-th request from now takes `time` of emulated time (not slept).
    void slowRequest(unsigned n, std::chrono::milliseconds time);
    static constexpr std::chrono::seconds kAtaTimeout{10};
    // Writes and erases report success but change nothing, from the n-th request on.
    void dropWritesFrom(unsigned n);
    void clearFaults();             // forgets pending failures and dropped writes
    unsigned requestCount() const;  // requests so far

    // udev's watch on a Linux desktop: closing a block device that was opened
    // for writing makes udev re-read it and send a "change" uevent. With the
    // echo on, every close of a physical drive (which a host opens for reading
    // and writing) raises a device-change notice `delay` later, on a thread of
    // the host's own. Off by default.
    void setUdevEcho(bool on, std::chrono::milliseconds delay = std::chrono::milliseconds(3));
    // Blocks until every echo raised so far has been delivered.
    void waitForEchoes();
    unsigned echoesRaised() const;

    std::vector<TraceEntry> trace() const;
    void clearTrace();
    void setTraceEnabled(bool on);
    // Each request, as it completes (for the command-line --trace). Called
    // with the host's lock held: it must not call back into the host.
    void setTraceObserver(std::function<void(const TraceEntry&)> observer);

    // Host
    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    bool sendCdbWithStatus(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                           std::span<std::uint8_t> data, unsigned timeoutSeconds, CdbStatus& status) override;
    DiskIdentity driveIdentity(DriveHandle handle) override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;
    bool closesRaiseNotices() const override;  // while the udev echo is on

    struct Impl;

private:
    void setPlugged(unsigned drive, bool plugged);

    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel::virt
