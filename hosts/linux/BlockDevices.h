#pragma once
// Which block devices count as physical drives, how they are ordered and
// numbered, and which whole disk holds a partition or a mapped device. All of
// it reads sysfs below a root that tests point at a fake tree.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ardenvel::linuxhost {

// Kernel-name order: sda < sdb < sdz < sdaa, nvme0n2 < nvme0n10 < nvme1n1.
// Disk letters are a bijective base-26 number, so a shorter suffix sorts
// first; digit runs compare by value.
bool kernelNameLess(std::string_view a, std::string_view b);

// Block devices that are never physical drives: loop, ram, zram, dm-, md,
// sr, nbd, fd and the like, and the boot and RPMB areas of eMMC.
bool isVirtualDiskName(std::string_view name);

// The whole disks under <sysfs>/block backed by hardware and not hidden,
// in kernel-name order.
std::vector<std::string> listPhysicalDisks(const std::filesystem::path& sysfsRoot);

// The whole disk that holds block device `name`: a partition's parent, the
// first of a mapped or RAID device's underlying devices, or the disk itself.
std::optional<std::string> wholeDiskOf(const std::filesystem::path& sysfsRoot, const std::string& name);

// The kernel name of the block device behind a mount source such as
// /dev/sda1 or /dev/mapper/root; nullopt when it names no block device.
std::optional<std::string> blockDeviceName(const std::filesystem::path& sysfsRoot,
                                           const std::filesystem::path& devRoot, std::string_view source);

// Slot number -> name. Names still present keep their slots; new names take
// the lowest free slots in the order given; names beyond slotCount get none.
// Drive numbers and drive letters both work this way, so a disk that goes
// away does not shift the numbers of the others between two discovery
// passes.
using SlotMap = std::map<unsigned, std::string>;
SlotMap assignSlots(const SlotMap& previous, const std::vector<std::string>& present, unsigned slotCount);

// The bus a disk hangs off, from its place in the device tree: a USB bus
// ("usbN") or a libata port ("ataN", SATA and eSATA) on the way to it.
enum class DiskTransport { Usb, Ata, Other };
DiskTransport transportOfDevicePath(const std::filesystem::path& devicePath);
DiskTransport diskTransport(const std::filesystem::path& sysfsRoot, const std::string& name);

// Discovery looks at drive numbers 0-9 only. Disks on USB or SATA/eSATA, where
// an enclosure can be, take the lowest free numbers; all others (NVMe, MMC,
// SCSI, virtio) take free numbers from 10 on, so that however many of them a
// machine has, up to ten enclosure-capable disks stay inside 0-9. Numbers
// stay as they are while a disk is present, as with assignSlots.
inline constexpr unsigned kFrontDriveNumbers = 10;
SlotMap numberDrives(const SlotMap& previous, const std::vector<std::string>& frontDisks,
                     const std::vector<std::string>& otherDisks);

}  // namespace ardenvel::linuxhost
