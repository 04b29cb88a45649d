#pragma once
// The emulated bridge behind one virtual enclosure. Only the virtual host
// talks to it; it answers one request at a time under its own lock.

#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::virt {

using SectorData = std::array<std::uint8_t, 512>;

// Writes `text` blank-padded to `length` bytes, two characters per 16-bit word swapped.
void putAtaText(std::span<std::uint8_t> b, std::size_t at, std::size_t length, const std::string& text);

struct VirtualEnclosure::Impl {
    explicit Impl(EnclosureConfig c);

    mutable std::recursive_mutex mutex;
    EnclosureConfig config;
    std::vector<std::uint8_t> flash;
    std::uint8_t settingFlags = 0;

    // Volatile bridge state, reset at power-on.
    bool spiOpen = false;
    bool unlocked = false;
    bool updateMode = false;
    std::uint32_t readAddress = 0;
    bool answerValid = false;  // LBA 60 serves the flash at readAddress

    BridgeCounters counters;
    // The timeline's clock: status reads served, and while unplugged, attempts to open the drive.
    unsigned ticks = 0;
    std::vector<TimelineEvent> timeline;  // not yet applied, in the order given
    bool isPlugged = true;
    unsigned pendingNotices = 0;  // device changes the host still has to announce

    std::filesystem::path backingFile;
    bool dirty = false;
    std::string lastError;

    std::map<std::uint32_t, SectorData> plainSectors;
    std::uint32_t scanFirstLba = 0, scanLastLba = 0;

    // Set by the host for the request in hand.
    bool dropWrites = false;
    // Why the request in hand was rejected, for the trace; empty when it was not.
    std::string rejection;

    // The enclosure's own faults (config.faults): requests counted, and
    // whether its power is cut.
    unsigned faultRequests = 0;
    bool powerCut = false;
    unsigned failedWhileCut = 0;
    // Counts one request: false when it is to fail; sets dropWrites when its
    // writes are to be dropped, and arms the faults below for it.
    bool admit(bool& dropWrites);
    // The request in hand: its flash change cut part-way (the fraction done,
    // of 256), or its answer stale or garbled.
    std::optional<std::uint8_t> tearing;
    enum class ReadFault { None, Stale, Garbled } readFault = ReadFault::None;
    SectorData lastAnswer{};  // what a stale read answers again

    // Requests; the host has checked the handle, power and injected faults.
    bool cdb(std::span<const std::uint8_t, 10> cdb, DataDirection direction, std::span<std::uint8_t> data);
    bool ata(TaskFile& registers, std::span<std::uint8_t> dataIn);
    void restart();
    // Ends a request: one the power went in the middle of fails.
    bool settle(bool ok);

    // Pieces, all called with the lock held.
    bool cdbRequest(std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                    std::span<std::uint8_t> data);
    bool ataRequest(TaskFile& registers, std::span<std::uint8_t> dataIn);
    bool read10(std::uint32_t lba, std::uint32_t count, std::span<std::uint8_t> data);
    bool write10(std::uint32_t lba, std::uint32_t count, std::span<const std::uint8_t> data);
    bool inquiry(std::span<std::uint8_t> data) const;
    bool vendor(std::span<const std::uint8_t, 10> cdb, DataDirection direction, std::span<std::uint8_t> data);
    void readSector(std::uint32_t lba, std::span<std::uint8_t> out);
    bool writeSector(std::uint32_t lba, std::span<const std::uint8_t> in);
    // A sector at a reserved LBA: carried out, malformed (then it is no
    // command, and the write reaches the disk as data), or refused in the
    // bridge's present state (the write fails).
    enum class Verdict { Accepted, Malformed, Refused };
    Verdict commandSector(std::uint32_t lba, std::span<const std::uint8_t> s);
    void scanCommand(bool start, int port, std::uint32_t firstLba, std::uint32_t lastLba);
    // Notes why the request is rejected and drops the pending answer; false.
    bool reject(std::string why);

    void readFlash(std::uint32_t address, std::span<std::uint8_t> out) const;
    // Flash or record bytes going to the host, as the request's read fault has them.
    void answer(std::span<std::uint8_t> out);
    void eraseSector(std::uint32_t address);
    void programPage(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // Runs one flash change and checks that it keeps the record ring sound:
    // one that breaks a ring that held, or touches code the newest record
    // names, is counted and its reason kept.
    template <class Change>
    void checkedChange(std::uint32_t address, std::uint32_t length, Change change);
    std::string ringBreak;
    // Why the bridge refuses a flash command in its present state, empty when
    // it takes it: SPI access open (non-USB), and for a change an address in
    // the flash, update mode and, below 0xC000, the low area unlocked.
    std::string flashRefusal(std::uint32_t address, bool changes) const;

    std::uint32_t recordBase() const;
    // The ring's bytes; empty when the flash cannot hold one.
    std::span<const std::uint8_t> ringBytes() const;
    std::optional<std::uint32_t> newestRecord() const;
    SectorData liveRecord() const;
    // One status record served: counted, then the timeline moves.
    SectorData serveStatus();
    void advance();
    // An open of the drive while it is unplugged: the timeline moves on.
    void probedWhileUnplugged();
    void apply(const TimelineEvent& e);
    SectorData identification(bool withSignature) const;

    bool flush();
    void flushIfBacked();
};

// The text of a description.json, checked whole; `file` names it in the
// reason. Nothing is changed when it is refused.
bool parseEnclosureDescription(std::string_view text, const std::string& file, EnclosureConfig& config,
                               std::vector<TimelineEvent>& timeline, std::string& error);

// A bridge from a checked description and the bytes of its flash.bin
// (nullopt: none yet, lay one out); `flashFile` names it in the reason.
std::unique_ptr<VirtualEnclosure> buildEnclosure(const EnclosureConfig& config,
                                                 const std::vector<TimelineEvent>& timeline,
                                                 const std::optional<std::string>& flashBytes,
                                                 const std::string& flashFile, std::string& error);

// A bridge from description.json and flash.bin (generated when missing),
// backed by that flash.bin; nullptr and a reason on bad input.
std::unique_ptr<VirtualEnclosure> openEnclosureDirectory(const std::filesystem::path& dir,
                                                         std::string& error);

}  // namespace ardenvel::virt
