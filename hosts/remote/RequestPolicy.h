#pragma once
// What the host helper lets through to a disk: exactly the requests the
// device logic sends, judged by what they mean and built from the same
// constants and CDB builders, so the two cannot drift apart. Everything else
// is refused before it reaches a disk.
//
// Standing. A disk that has answered as a bridge (discovery's LBA 58 read,
// IDENTIFY or vendor query, with GOOD status, nothing left over and the mark
// in bytes the disk itself wrote) gets standing of that route, tied to its
// identity: another disk under the same number starts without it. Only a
// disk with standing gets command sectors, flash transfers, ATA command 0x88
// and reads of the record and flash sectors. A device change drops the
// standing of every disk whose identity could come back on another one.
//
// Flash changes. Erases and page programs pass only inside update mode (on
// the routes that have one), only into the code slots and the record ring
// that the disk's own flash head names, and never into the boot area, which
// is also never unlocked.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "platform/Host.h"

namespace ardenvel::remote {

class RequestPolicy {
public:
    // The disk a handle reached.
    struct Disk {
        unsigned drive = 0;
        DiskIdentity identity;
    };
    using Cdb = std::span<const std::uint8_t, 10>;

    // Each check gives the reason for a refusal, or nullptr when the request
    // may go to the disk.
    const char* checkOpenPhysical(unsigned number) const;
    const char* checkOpenVolume(char letter) const;
    const char* checkCdb(const Disk& disk, Cdb cdb, DataDirection direction,
                         std::span<const std::uint8_t> data, unsigned timeoutSeconds) const;
    const char* checkAta(const Disk& disk, const TaskFile& registers, std::size_t dataBytes) const;

    // What came back. `returned` holds only bytes the disk itself wrote.
    void noteOpen(unsigned drive, bool opened);
    void noteCdb(const Disk& disk, Cdb cdb, std::span<const std::uint8_t> sent,
                 std::span<const std::uint8_t> returned, bool ok, const CdbStatus& status);
    void noteAta(const Disk& disk, const TaskFile& sent, const TaskFile& returned,
                 std::span<const std::uint8_t> returnedData, bool ok);
    void noteDeviceChange();

    bool hasStanding(const Disk& disk) const;

private:
    struct State {
        bool lba58 = false;     // its LBA 58 sector carried the mark: the reserved-LBA route
        bool identify = false;  // its IDENTIFY answer did: the ATA route
        bool usb = false;       // the vendor CDBs answered: the USB route
        bool updateMode = false;
        std::optional<std::uint32_t> readAddress;  // of the next LBA 60 read
        std::optional<std::uint32_t> recordBase;   // from the flash head the disk returned
    };
    using Key = std::tuple<unsigned, std::uint64_t, std::uint64_t, std::string>;
    static Key keyOf(const Disk& disk);
    const State* find(const Disk& disk) const;

    const char* checkCommandSector(const State* s, std::uint32_t lba,
                                   std::span<const std::uint8_t> sector) const;
    const char* checkVendorCdb(const State* s, Cdb cdb, DataDirection direction, std::size_t bytes) const;
    static const char* checkFlashChange(const State* s, std::uint32_t address, std::uint32_t length);
    static void noteFlashRead(State& s, std::uint32_t address, std::span<const std::uint8_t> data);

    std::map<Key, State> disks_;
};

}  // namespace ardenvel::remote
