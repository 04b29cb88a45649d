#pragma once
// What the host helper lets through to a disk: exactly the requests the
// device logic sends, built from the same constants and CDB builders, so the
// two cannot drift apart. Everything else is refused before it reaches a
// disk.
//
// Requests that change state (command sectors, flash page programs and
// erases, the ATA vendor command) go only to drives that have answered as a
// bridge in this session: a client cannot write a crafted sector to LBA 20
// of an ordinary disk, where a partition table lives.

#include <bitset>
#include <cstdint>
#include <span>

#include "device/DeviceState.h"
#include "platform/Host.h"

namespace ardenvel::remote {

class RequestPolicy {
public:
    // Each check gives the reason for a refusal, or nullptr when the request
    // may go to the disk. `drive` is the physical drive the handle was opened on.
    const char* checkOpenPhysical(unsigned number) const;
    const char* checkOpenVolume(char letter) const;
    const char* checkCdb(unsigned drive, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                         std::span<const std::uint8_t> data, unsigned timeoutSeconds) const;
    const char* checkAta(unsigned drive, const TaskFile& registers, std::size_t dataBytes) const;

    // What came back from the disk. An answer that carries the bridge's mark
    // (as discovery recognises it) admits the drive to the state-changing
    // requests; a drive that no longer opens loses that.
    void noteOpen(unsigned drive, bool opened);
    void noteCdb(unsigned drive, std::span<const std::uint8_t, 10> cdb, std::span<const std::uint8_t> data,
                 bool ok);
    void noteAta(unsigned drive, const TaskFile& sent, std::span<const std::uint8_t> data, bool ok);
    bool answeredAsBridge(unsigned drive) const { return drive < bridges_.size() && bridges_[drive]; }

private:
    const char* checkVendorCdb(unsigned drive, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                               std::size_t bytes) const;

    std::bitset<kMaxPhysicalDrives> bridges_;
};

}  // namespace ardenvel::remote
