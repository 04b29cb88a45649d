#include "hosts/linux/MountTable.h"

#include <gtest/gtest.h>

namespace ardenvel::linuxhost {
namespace {

TEST(MountTable, ParsesLinesInOrderAndDecodesEscapes) {
    const std::string text =
        "proc /proc proc rw,relatime 0 0\n"
        "/dev/sda2 / ext4 rw 0 0\n"
        "/dev/sdb1 /media/user/My\\040Disk vfat rw,uid=1000 0 0\n"
        "/dev/sdc1 /mnt/tab\\011and\\134slash ext4 rw 0 0\n"
        "\n"
        "broken-line\n"
        "/dev/sdd1\t/mnt/last  xfs rw 0 0";  // no final newline, odd spacing
    const std::vector<MountEntry> expected{
        {"proc", "/proc", "proc"},
        {"/dev/sda2", "/", "ext4"},
        {"/dev/sdb1", "/media/user/My Disk", "vfat"},
        {"/dev/sdc1", "/mnt/tab\tand\\slash", "ext4"},
        {"/dev/sdd1", "/mnt/last", "xfs"},
    };
    EXPECT_EQ(parseMountTable(text), expected);
}

TEST(MountTable, IncompleteEscapeStaysLiteral) {
    const auto entries =
        parseMountTable("/dev/sda1 /mnt/x\\04 ext4 rw 0 0\n/dev/sda2 /mnt/y\\ ext4 rw 0 0\n");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mountPoint, "/mnt/x\\04");
    EXPECT_EQ(entries[1].mountPoint, "/mnt/y\\");
}

TEST(MountTable, BlockSourcesOncePerDeviceWithoutPseudoFileSystems) {
    const auto entries = parseMountTable(
        "sysfs /sys sysfs rw 0 0\n"
        "/dev/sdb1 / ext4 rw 0 0\n"
        "tmpfs /run tmpfs rw 0 0\n"
        "devtmpfs /dev devtmpfs rw 0 0\n"
        "/dev/sda1 /boot vfat rw 0 0\n"
        "/dev/sdb1 /srv ext4 rw 0 0\n"  // bind mount of the root
        "overlay /var/lib/docker/x overlay rw 0 0\n"
        "//server/share /mnt/share cifs rw 0 0\n");
    EXPECT_EQ(blockDeviceSources(entries), (std::vector<std::string>{"/dev/sdb1", "/dev/sda1"}));
}

}  // namespace
}  // namespace ardenvel::linuxhost
