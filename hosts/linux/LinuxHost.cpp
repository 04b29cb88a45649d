#include "hosts/linux/LinuxHost.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "hosts/linux/BlockDevices.h"
#include "hosts/linux/DeviceMonitor.h"
#include "hosts/linux/DriveAccess.h"
#include "hosts/linux/MountTable.h"
#include "hosts/linux/PassThrough.h"

namespace ardenvel {
namespace fs = std::filesystem;
using namespace linuxhost;

namespace {

constexpr char kFirstLetter = 'C';
constexpr unsigned kLetterCount = 'Z' - kFirstLetter + 1;
// The IDE pass-through call has no timeout of its own; this is ample for
// IDENTIFY and the bridge's mode commands.
constexpr unsigned kAtaTimeoutSeconds = 10;

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

struct OpenDrive {
    int fd = -1;
    std::string disk;  // kernel name of the whole disk
    bool volume = false;
    DiskIdentity identity;
};

struct Volume {
    std::string device;  // kernel name of the mounted block device
    std::string disk;    // its whole disk
};

std::string readWholeFile(const fs::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

std::uint64_t parseUnsigned(const std::string& text) {
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v;
}

// The descriptor answers for the disk it opened; sysfs answers by name, for
// whatever disk holds the name by then, and stands in on kernels (and fake
// trees) where the descriptor cannot say.
DiskIdentity identityOf(int fd, const fs::path& sysBlock) {
    DiskIdentity id;
    std::uint64_t sequence = 0;
    if (::ioctl(fd, BLKGETDISKSEQ, &sequence) == 0) id.sequence = sequence;
    if (id.sequence == 0) id.sequence = parseUnsigned(trimmed(readWholeFile(sysBlock / "diskseq")));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        id.device = st.st_rdev;
    } else {
        const std::string dev = trimmed(readWholeFile(sysBlock / "dev"));
        const auto colon = dev.find(':');
        if (colon != std::string::npos)
            id.device = makedev(parseUnsigned(dev.substr(0, colon)), parseUnsigned(dev.substr(colon + 1)));
    }
    if (id.sequence != 0) return id;
    for (const char* file : {"device/wwid", "wwid", "device/serial"}) {
        id.name = trimmed(readWholeFile(sysBlock / file));
        if (!id.name.empty()) break;
    }
    return id;
}

}  // namespace

struct LinuxHost::Impl {
    explicit Impl(LinuxHostPaths p)
        : paths(std::move(p)),
          openMode(driveOpenMode(effectiveCapabilities(readWholeFile(paths.procStatus)))) {}

    LinuxHostPaths paths;
    const DriveOpenMode openMode;

    std::mutex mutex;  // guards everything below up to the handler
    SlotMap drives;    // drive number -> whole disk
    SlotMap letters;   // letter - 'C' -> mounted block device
    std::map<std::string, Volume> volumes;
    std::map<DriveHandle, OpenDrive> open;
    DriveHandle nextHandle = 1;

    // The first refusal for lack of privilege: the device and the error.
    std::mutex refusalMutex;
    std::optional<std::pair<std::string, int>> refusal;
    bool warned = false;

    std::mutex handlerMutex;
    std::function<void()> handler;
    std::unique_ptr<DeviceMonitor> monitor;

    void noteErrno(int error, const fs::path& device) {
        if (!isPrivilegeError(error)) return;
        std::lock_guard lock(refusalMutex);
        if (!refusal) refusal.emplace(device.string(), error);
    }

    // Callers hold `mutex`.
    void refreshDrives() {
        std::vector<std::string> front, others;
        for (std::string& disk : listPhysicalDisks(paths.sysfsRoot))
            (diskTransport(paths.sysfsRoot, disk) == DiskTransport::Other ? others : front)
                .push_back(std::move(disk));
        drives = numberDrives(drives, front, others);
    }

    std::optional<unsigned> numberOf(const std::string& disk) const {
        for (const auto& [number, name] : drives) {
            if (name == disk) return number;
        }
        return std::nullopt;
    }

    void refreshVolumes() {
        refreshDrives();
        std::set<std::string> disks;
        for (const auto& entry : drives) disks.insert(entry.second);

        std::vector<std::string> order;
        std::map<std::string, Volume> found;
        const auto mounts = parseMountTable(readWholeFile(paths.mountTable));
        for (const std::string& source : blockDeviceSources(mounts)) {
            const auto device = blockDeviceName(paths.sysfsRoot, paths.devRoot, source);
            if (!device || found.contains(*device)) continue;
            const auto disk = wholeDiskOf(paths.sysfsRoot, *device);
            // Volumes on loop, zram and other non-drives have no disk number
            // to report, so they get no letter either.
            if (!disk || !disks.contains(*disk)) continue;
            found[*device] = Volume{*device, *disk};
            order.push_back(*device);
        }
        letters = assignSlots(letters, order, kLetterCount);
        volumes = std::move(found);
    }

    const Volume* volumeAt(char letter) const {
        if (letter < kFirstLetter || letter > 'Z') return nullptr;
        const auto slot = letters.find(static_cast<unsigned>(letter - kFirstLetter));
        if (slot == letters.end()) return nullptr;
        const auto volume = volumes.find(slot->second);
        return volume == volumes.end() ? nullptr : &volume->second;
    }

    DriveHandle add(int fd, std::string disk, bool volume) {
        const DriveHandle handle = nextHandle++;
        DiskIdentity identity = volume ? DiskIdentity{} : identityOf(fd, paths.sysfsRoot / "block" / disk);
        open[handle] = OpenDrive{fd, std::move(disk), volume, std::move(identity)};
        return handle;
    }

    std::optional<OpenDrive> find(DriveHandle handle) {
        std::lock_guard lock(mutex);
        const auto it = open.find(handle);
        if (it == open.end()) return std::nullopt;
        return it->second;
    }
};

LinuxHost::LinuxHost() : LinuxHost(LinuxHostPaths{}) {}

LinuxHost::LinuxHost(LinuxHostPaths paths) : impl_(std::make_unique<Impl>(std::move(paths))) {}

LinuxHost::~LinuxHost() {
    // The watcher thread calls into impl_; stop it before anything goes.
    impl_->monitor.reset();
    for (const auto& entry : impl_->open) ::close(entry.second.fd);
}

DriveHandle LinuxHost::openPhysicalDrive(unsigned number) {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshDrives();
    const auto it = impl_->drives.find(number);
    if (it == impl_->drives.end()) return kInvalidHandle;

    // Read-only where that carries every request (see driveOpenMode): udev
    // re-reads a disk each time a descriptor opened for writing is closed.
    // Otherwise read and write, as the Windows open asks; write-protected
    // media refuse that, so fall back to read-only rather than lose the drive.
    const fs::path node = impl_->paths.devRoot / it->second;
    int fd = -1;
    if (impl_->openMode == DriveOpenMode::ReadWrite)
        fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (impl_->openMode == DriveOpenMode::ReadOnly ||
        (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM))) {
        fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        impl_->noteErrno(errno, node);
        return kInvalidHandle;
    }
    return impl_->add(fd, it->second, false);
}

DriveHandle LinuxHost::openVolume(char letter) {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshVolumes();
    const Volume* volume = impl_->volumeAt(letter);
    if (volume == nullptr) return kInvalidHandle;
    // Only the disk number is ever asked of a volume; read-only keeps a
    // mounted file system's device out of harm's way.
    const fs::path node = impl_->paths.devRoot / volume->device;
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        impl_->noteErrno(errno, node);
        return kInvalidHandle;
    }
    return impl_->add(fd, volume->disk, true);
}

void LinuxHost::closeDrive(DriveHandle handle) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->open.find(handle);
    if (it == impl_->open.end()) return;
    ::close(it->second.fd);
    impl_->open.erase(it);
}

bool LinuxHost::sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                        std::span<std::uint8_t> data, unsigned timeoutSeconds) {
    CdbStatus status;
    return sendCdbWithStatus(handle, cdb, direction, data, timeoutSeconds, status);
}

bool LinuxHost::sendCdbWithStatus(DriveHandle handle, std::span<const std::uint8_t, 10> cdb,
                                  DataDirection direction, std::span<std::uint8_t> data,
                                  unsigned timeoutSeconds, CdbStatus& status) {
    status = {};
    const auto drive = impl_->find(handle);
    if (!drive) return false;
    SgRequest request;
    request.cdb = cdb;
    request.direction =
        direction == DataDirection::ToDevice ? SgDirection::ToDevice : SgDirection::FromDevice;
    request.data = data;
    request.timeoutMs = timeoutMsFromSeconds(timeoutSeconds);

    std::array<std::uint8_t, kSenseBytes> sense{};
    std::size_t senseLength = 0;
    int error = 0;
    const SgCompletion completion = sendSgIo(drive->fd, request, sense, senseLength, error);
    impl_->noteErrno(error, impl_->paths.devRoot / drive->disk);
    if (classify(completion) != SgOutcome::Completed) return false;
    status.scsiStatus = completion.scsiStatus;
    status.residue = static_cast<std::uint32_t>(std::clamp<std::int64_t>(completion.residue, 0, data.size()));
    return true;
}

DiskIdentity LinuxHost::driveIdentity(DriveHandle handle) {
    const auto drive = impl_->find(handle);
    return drive ? drive->identity : DiskIdentity{};
}

bool LinuxHost::closesRaiseNotices() const {
    return impl_->openMode == DriveOpenMode::ReadWrite;
}

bool LinuxHost::sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) {
    const auto drive = impl_->find(handle);
    if (!drive) return false;
    const auto cdb = buildAtaPassThrough16(registers, dataIn.size());
    if (!cdb) return false;
    // The data lands apart and reaches the caller only when the request
    // succeeded: a refused IDENTIFY must not wipe what the caller holds.
    std::vector<std::uint8_t> data(dataIn.size());
    SgRequest request;
    request.cdb = *cdb;
    request.direction = data.empty() ? SgDirection::None : SgDirection::FromDevice;
    request.data = data;
    request.timeoutMs = timeoutMsFromSeconds(kAtaTimeoutSeconds);

    std::array<std::uint8_t, kSenseBytes> sense{};
    std::size_t senseLength = 0;
    int error = 0;
    const SgCompletion completion = sendSgIo(drive->fd, request, sense, senseLength, error);
    impl_->noteErrno(error, impl_->paths.devRoot / drive->disk);
    return completeAtaPassThrough(completion, std::span<const std::uint8_t>(sense).first(senseLength), data,
                                  registers, dataIn);
}

void LinuxHost::rescanBus(DriveHandle handle) {
    const auto drive = impl_->find(handle);
    if (!drive) return;
    // Re-probes this one device, the nearest harmless match for a bus rescan.
    const fs::path rescan = impl_->paths.sysfsRoot / "block" / drive->disk / "device" / "rescan";
    const int fd = ::open(rescan.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    [[maybe_unused]] const auto written = ::write(fd, "1", 1);
    ::close(fd);
}

std::uint32_t LinuxHost::logicalDriveMask() {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshVolumes();
    std::uint32_t mask = 0;
    for (const auto& entry : impl_->letters) mask |= 1u << (entry.first + (kFirstLetter - 'A'));
    return mask;
}

std::uint8_t LinuxHost::driveType(char letter) {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshVolumes();
    return impl_->volumeAt(letter) != nullptr ? kDriveFixed : kDriveNoRootDir;
}

bool LinuxHost::volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->open.find(volume);
    // The extent query fails on a physical drive's handle too.
    if (it == impl_->open.end() || !it->second.volume) return false;
    impl_->refreshDrives();
    const auto number = impl_->numberOf(it->second.disk);
    if (!number) return false;
    diskNumber = *number;
    return true;
}

void LinuxHost::setDeviceChangeHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(impl_->handlerMutex);
        impl_->handler = std::move(handler);
    }
    std::lock_guard lock(impl_->mutex);
    if (impl_->monitor) return;
    Impl* impl = impl_.get();
    impl_->monitor = std::make_unique<DeviceMonitor>(impl_->paths.mountTable, [impl] {
        std::function<void()> call;
        {
            std::lock_guard lock(impl->handlerMutex);
            call = impl->handler;
        }
        if (call) call();
    });
}

std::optional<std::string> LinuxHost::takePrivilegeWarning() {
    std::lock_guard lock(impl_->refusalMutex);
    if (!impl_->refusal || impl_->warned) return std::nullopt;
    impl_->warned = true;
    return privilegeMessage(::geteuid() == 0, impl_->refusal->first, impl_->refusal->second);
}

}  // namespace ardenvel
