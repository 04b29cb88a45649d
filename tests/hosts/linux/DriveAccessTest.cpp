// The Linux host's choices kept apart from the kernel: which udev events
// are device changes, how drives are opened, what a refused user is told.

#include "hosts/linux/DriveAccess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "hosts/linux/DeviceMonitor.h"
#include "hosts/linux/LinuxHost.h"

namespace ardenvel::linuxhost {
namespace {

TEST(UdevFilter, OnlyDisksAndPartitionsComingOrGoingAreChanges) {
    const struct {
        const char* action;
        const char* devtype;
        bool change;
    } cases[] = {
        {"add", "disk", true},
        {"remove", "disk", true},
        {"add", "partition", true},
        {"remove", "partition", true},
        // udev re-reading a disk that a writer closed: the tool's own echo.
        {"change", "disk", false},
        {"change", "partition", false},
        {"bind", "disk", false},
        {"move", "disk", false},
        {"add", "", false},
        {"", "disk", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isDeviceChangeEvent(c.action, c.devtype), c.change) << c.action << " " << c.devtype;
}

TEST(UdevFilter, OnlyPartitionEventsOfOwnRecentWritingClosesAreEchoes) {
    using namespace std::chrono_literals;
    CloseEchoes echoes;
    const CloseEchoes::Clock::time_point t0{};
    echoes.closedAfterWriting("sdb", t0);
    echoes.closedAfterWriting("sdc", t0 - 10s);
    echoes.closedAfterWriting("sdc", t0);  // the latest close counts
    const struct {
        const char* devtype;
        const char* disk;
        CloseEchoes::Clock::duration after;
        bool echo;
    } cases[] = {
        {"partition", "sdb", 300ms, true},
        {"partition", "sdc", 4s, true},
        {"partition", "sdb", CloseEchoes::kWindow + 1ms, false},
        {"partition", "sdd", 0s, false},  // a disk never closed here
        // A disk coming or going is news, whatever was closed.
        {"disk", "sdb", 0s, false},
        {"", "sdb", 0s, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(echoes.isEcho(c.devtype, c.disk, t0 + c.after), c.echo) << c.devtype << " " << c.disk;
}

TEST(OpenMode, ReadOnlyExactlyWhenTheProcessHasRawIo) {
    const struct {
        const char* status;
        std::optional<std::uint64_t> caps;
        DriveOpenMode mode;
    } cases[] = {
        {"Name:\tardenvel\nCapInh:\t0000000000000000\nCapEff:\t000001ffffffffff\nCapBnd:\t0\n",
         0x1ffffffffffu, DriveOpenMode::ReadOnly},
        {"CapEff:\t0000000000020000", 0x20000u, DriveOpenMode::ReadOnly},        // CAP_SYS_RAWIO alone
        {"CapEff:\t00000000a80425fb\n", 0xa80425fbu, DriveOpenMode::ReadWrite},  // a container's default set
        {"CapEff:\t0000000000000000\n", 0u, DriveOpenMode::ReadWrite},
        {"CapPrm:\t000001ffffffffff\n", std::nullopt, DriveOpenMode::ReadWrite},
        {"CapEff:\tnot-hex\n", std::nullopt, DriveOpenMode::ReadWrite},
        {"", std::nullopt, DriveOpenMode::ReadWrite},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(effectiveCapabilities(c.status), c.caps);
        EXPECT_EQ(driveOpenMode(effectiveCapabilities(c.status)), c.mode);
    }
}

TEST(PrivilegeMessage, RootIsToldTheDeviceTheErrorAndTheLikelyCause) {
    EXPECT_EQ(privilegeMessage(false, "/dev/sdb", EACCES), kLinuxPrivilegeMessage);
    const std::string root = privilegeMessage(true, "/dev/sdb", EPERM);
    EXPECT_EQ(root.find("sudo"), std::string::npos) << root;
    for (const char* part : {"/dev/sdb", "Operation not permitted", "container", "device policy"})
        EXPECT_NE(root.find(part), std::string::npos) << part << " missing from: " << root;
}

}  // namespace
}  // namespace ardenvel::linuxhost
