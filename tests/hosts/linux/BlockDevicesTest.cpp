#include "hosts/linux/BlockDevices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hosts/linux/LinuxHost.h"
#include "tests/hosts/linux/FakeSystem.h"

namespace ardenvel::linuxhost {
namespace {

using testing::FakeSystem;

std::vector<std::string> sortedByKernelName(std::vector<std::string> names) {
    std::shuffle(names.begin(), names.end(), std::mt19937(7));
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return kernelNameLess(a, b); });
    return names;
}

TEST(KernelNameOrder, DiskLettersCountLikeTheKernelHandsThemOut) {
    const std::vector<std::string> expected{"sda",  "sdb",  "sdz",  "sdaa", "sdab",
                                            "sdaz", "sdba", "sdzz", "sdaaa"};
    EXPECT_EQ(sortedByKernelName(expected), expected);
}

TEST(KernelNameOrder, NumbersCompareByValue) {
    const std::vector<std::string> expected{"nvme0n1", "nvme0n2", "nvme0n10",
                                            "nvme1n1", "nvme2n1", "nvme10n1"};
    EXPECT_EQ(sortedByKernelName(expected), expected);
    const std::vector<std::string> mmc{"mmcblk0", "mmcblk1", "mmcblk12"};
    EXPECT_EQ(sortedByKernelName(mmc), mmc);
}

TEST(KernelNameOrder, FamiliesStayTogetherAndOrderIsStrict) {
    const std::vector<std::string> expected{"hda",  "hdb", "mmcblk0", "nvme0n1", "nvme1n1", "sda", "sdb",
                                            "sdaa", "vda", "vdb",     "vdaa",    "xvda",    "xvdb"};
    EXPECT_EQ(sortedByKernelName(expected), expected);
    for (const auto& name : expected) EXPECT_FALSE(kernelNameLess(name, name)) << name;
    // Leading zeros do not make two names equal.
    EXPECT_NE(kernelNameLess("nvme01n1", "nvme1n1"), kernelNameLess("nvme1n1", "nvme01n1"));
}

TEST(PhysicalDisks, OnlyHardwareWholeDisksInKernelOrder) {
    FakeSystem sys;
    sys.addDisk("sdb", {"sdb1"});
    sys.addDisk("sdaa");
    sys.addDisk("sda", {"sda1", "sda2"});
    sys.addDisk("nvme0n1", {"nvme0n1p1"});
    sys.addDisk("vda");
    sys.addVirtual("loop0");
    sys.addVirtual("dm-0", {"sda2"});
    sys.addVirtual("md127", {"sdb1"});
    sys.addVirtual("zram0");
    sys.addVirtual("nbd0");
    sys.addVirtual("ram0");
    // These have a device behind them but are no disks for this purpose.
    sys.addHardwareNonDisk("sr0");
    sys.addHardwareNonDisk("fd0");
    sys.addHardwareNonDisk("mmcblk0boot0");
    sys.addHardwareNonDisk("nvme0c0n1", /*hidden=*/true);
    // A disk-looking name with nothing behind it.
    sys.addVirtual("sdq");

    const std::vector<std::string> expected{"nvme0n1", "sda", "sdb", "sdaa", "vda"};
    EXPECT_EQ(listPhysicalDisks(sys.sysfs()), expected);
}

TEST(PhysicalDisks, MissingSysfsGivesNone) {
    EXPECT_TRUE(listPhysicalDisks("/nonexistent/ardenvel-sysfs").empty());
}

TEST(WholeDisk, PartitionsMappedAndRaidDevicesLeadToTheirDisk) {
    FakeSystem sys;
    sys.addDisk("sda", {"sda1"});
    sys.addDisk("sdb", {"sdb1", "sdb2"});
    sys.addDisk("nvme0n1", {"nvme0n1p3"});
    sys.addVirtual("dm-0", {"sdb2"});
    sys.addVirtual("dm-1", {"dm-0"});
    sys.addVirtual("md0", {"sdb1", "sda1"});
    sys.addVirtual("loop0");

    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "sda1"), "sda");
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "sdb"), "sdb");
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "nvme0n1p3"), "nvme0n1");
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "dm-0"), "sdb");
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "dm-1"), "sdb");
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "md0"), "sda");  // the lower-named member
    EXPECT_EQ(wholeDiskOf(sys.sysfs(), "loop0"), "loop0");
    EXPECT_FALSE(wholeDiskOf(sys.sysfs(), "sdz1"));
}

TEST(WholeDisk, MountSourcesResolveThroughDevLinks) {
    FakeSystem sys;
    sys.addDisk("sda", {"sda1"});
    sys.addVirtual("dm-0", {"sda1"});
    sys.linkDev("mapper/root", "../dm-0");
    sys.linkDev("disk/by-uuid/1234-ABCD", "../../sda1");

    EXPECT_EQ(blockDeviceName(sys.sysfs(), sys.dev(), "/dev/sda1"), "sda1");
    EXPECT_EQ(blockDeviceName(sys.sysfs(), sys.dev(), "/dev/mapper/root"), "dm-0");
    EXPECT_EQ(blockDeviceName(sys.sysfs(), sys.dev(), "/dev/disk/by-uuid/1234-ABCD"), "sda1");
    EXPECT_FALSE(blockDeviceName(sys.sysfs(), sys.dev(), "/dev/sdz9"));
    EXPECT_FALSE(blockDeviceName(sys.sysfs(), sys.dev(), "tmpfs"));
    EXPECT_FALSE(blockDeviceName(sys.sysfs(), sys.dev(), "/dev/"));
}

TEST(Slots, FirstAssignmentFollowsTheGivenOrder) {
    const SlotMap slots = assignSlots({}, {"sda", "sdb", "sdc"}, 10);
    EXPECT_EQ(slots, (SlotMap{{0, "sda"}, {1, "sdb"}, {2, "sdc"}}));
}

TEST(Slots, SurvivorsKeepTheirSlotsAndNewcomersFillGaps) {
    const SlotMap before{{0, "sda"}, {1, "sdb"}, {2, "sdc"}};
    // sda unplugged: sdb must not become 0 under a caller that still holds 1.
    const SlotMap after = assignSlots(before, {"sdb", "sdc"}, 10);
    EXPECT_EQ(after, (SlotMap{{1, "sdb"}, {2, "sdc"}}));
    // Two new disks: the gap first, then the end.
    EXPECT_EQ(assignSlots(after, {"sdb", "sdc", "sdd", "sde"}, 10),
              (SlotMap{{0, "sdd"}, {1, "sdb"}, {2, "sdc"}, {3, "sde"}}));
}

TEST(Slots, NoMoreSlotsThanAllowedAndNoDuplicates) {
    EXPECT_EQ(assignSlots({}, {"a", "b", "c"}, 2), (SlotMap{{0, "a"}, {1, "b"}}));
    EXPECT_EQ(assignSlots({}, {"a", "a", "b"}, 5), (SlotMap{{0, "a"}, {1, "b"}}));
    EXPECT_EQ(assignSlots({{0, "a"}, {1, "a"}}, {"a"}, 5), (SlotMap{{0, "a"}}));
}

TEST(DriveNumbers, TransportIsTheBusNearestTheDisk) {
    EXPECT_EQ(transportOfDevicePath(FakeSystem::kUsbPort), DiskTransport::Usb);
    EXPECT_EQ(transportOfDevicePath(FakeSystem::kSataPort), DiskTransport::Ata);
    EXPECT_EQ(transportOfDevicePath(FakeSystem::kNvme), DiskTransport::Other);
    EXPECT_EQ(transportOfDevicePath(FakeSystem::kScsiHost), DiskTransport::Other);
    EXPECT_EQ(transportOfDevicePath("devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0"),
              DiskTransport::Other);
    // A USB adapter on a SATA card's bus and the other way round; "usb" and "ata" alone are no buses.
    EXPECT_EQ(transportOfDevicePath("devices/ata3/usb1/1-1/host9/block/sdx"), DiskTransport::Usb);
    EXPECT_EQ(transportOfDevicePath("devices/usb1/1-2/ata7/host2/block/sdy"), DiskTransport::Ata);
    EXPECT_EQ(transportOfDevicePath("devices/virtual/usb/ata/block/sdz"), DiskTransport::Other);
}

// Discovery looks at drive numbers 0 to 9 only: NVMe disks and eight SATA
// disks must not push a USB enclosure past them, plugged in then or later.
TEST(DriveNumbers, UsbAndSataDisksComeFirstSoTheEnclosureStaysInsideZeroToNine) {
    FakeSystem sys;
    sys.addDisk("nvme0n1", {}, FakeSystem::kNvme);
    sys.addDisk("nvme1n1", {}, FakeSystem::kNvme);
    for (const char c : std::string("abcdefgh"))
        sys.addDisk(std::string("sd") + c, {}, FakeSystem::kSataPort);
    const auto number = [&](const SlotMap& previous) {
        std::vector<std::string> front, others;
        for (const auto& d : listPhysicalDisks(sys.sysfs()))
            (diskTransport(sys.sysfs(), d) == DiskTransport::Other ? others : front).push_back(d);
        return numberDrives(previous, front, others);
    };
    const SlotMap before = number({});
    EXPECT_EQ(before, (SlotMap{{0, "sda"},
                               {1, "sdb"},
                               {2, "sdc"},
                               {3, "sdd"},
                               {4, "sde"},
                               {5, "sdf"},
                               {6, "sdg"},
                               {7, "sdh"},
                               {10, "nvme0n1"},
                               {11, "nvme1n1"}}));

    sys.addDisk("sdi", {}, FakeSystem::kUsbPort);
    SlotMap now = number(before);
    EXPECT_EQ(now.at(8), "sdi");
    LinuxHost host(sys.paths());
    EXPECT_NE(host.openPhysicalDrive(8), kInvalidHandle);  // the enclosure
    EXPECT_EQ(host.openPhysicalDrive(9), kInvalidHandle);

    // Numbers stay while their disks are present; the eleventh front disk goes behind.
    sys.removeDisk("sdc");
    sys.addDisk("sdj", {}, FakeSystem::kUsbPort);
    sys.addDisk("sdk", {}, FakeSystem::kUsbPort);
    sys.addDisk("sdl", {}, FakeSystem::kUsbPort);
    now = number(now);
    EXPECT_EQ(now.at(8), "sdi");
    EXPECT_EQ(now.at(2), "sdj");
    EXPECT_EQ(now.at(9), "sdk");
    EXPECT_EQ(now.at(12), "sdl");
    EXPECT_EQ(now.at(10), "nvme0n1");
}

}  // namespace
}  // namespace ardenvel::linuxhost
