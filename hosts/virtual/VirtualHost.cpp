#include "hosts/virtual/VirtualHost.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>
#include <type_traits>

#include "device/ByteOrder.h"
#include "hosts/virtual/BridgeModel.h"

namespace ardenvel::virt {
namespace {

// A request's latency as a disk would show it: sleep most of it, then wait out
// the rest, since a plain sleep overshoots by tens of microseconds. Never
// longer than the request's time-out: the host gives up then. Returns the
// request's time.
std::chrono::microseconds waitLatency(std::chrono::microseconds d, std::chrono::milliseconds timeout) {
    const std::chrono::microseconds wait = std::min<std::chrono::microseconds>(d, timeout);
    if (wait.count() <= 0) return d;
    const auto until = std::chrono::steady_clock::now() + wait;
    if (wait > std::chrono::microseconds(300))
        std::this_thread::sleep_for(wait - std::chrono::microseconds(300));
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    return d;
}

}  // namespace
namespace {

constexpr std::uint8_t kCheckCondition = 0x02;

// A disk without a bridge: it stores what is written and knows nothing of
// vendor commands. As a real disk does, it answers what it does not take
// with CHECK CONDITION, which the pass-through reports as completed, having
// moved no data, and aborts an ATA command with ERR in its status.
struct OrdinaryDisk {
    OrdinaryDiskConfig config;
    std::map<std::uint32_t, SectorData> sectors;
    bool dropWrites = false;
    std::string rejection;
    CdbStatus status;  // of the last CDB

    bool cdb(std::span<const std::uint8_t, 10> c, DataDirection direction, std::span<std::uint8_t> data) {
        status = CdbStatus{0, 0};
        const auto checkCondition = [&](const char* why) {
            status = CdbStatus{kCheckCondition, static_cast<std::uint32_t>(data.size())};
            rejection = std::string("CHECK CONDITION: ") + why;
            return true;
        };
        if (c[0] == 0x12) {
            if (direction != DataDirection::ToHost) return false;
            std::array<std::uint8_t, 36> a{};
            a[2] = 0x05;
            a[3] = 0x02;
            a[4] = config.inquiryAdditionalLength;
            std::string text = "ATA     " + config.model.substr(0, 16);
            text.resize(28, ' ');
            std::memcpy(a.data() + 8, text.data(), 28);
            std::copy_n(a.begin(), std::min(a.size(), data.size()), data.begin());
            return true;
        }
        if (c[0] != 0x28 && c[0] != 0x2A) return checkCondition("invalid command operation code");
        const std::uint32_t lba =
            (std::uint32_t{c[2]} << 24) | (std::uint32_t{c[3]} << 16) | (std::uint32_t{c[4]} << 8) | c[5];
        const std::uint32_t count = (std::uint32_t{c[7]} << 8) | c[8];
        if (data.size() != std::size_t{count} * 512) return false;
        if (std::uint64_t{lba} + count > config.sectors)
            return checkCondition("logical block address out of range");
        const bool read = c[0] == 0x28;
        if (read != (direction == DataDirection::ToHost)) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            auto part = data.subspan(std::size_t{i} * 512, 512);
            if (read) {
                const auto it = sectors.find(lba + i);
                if (it == sectors.end())
                    std::fill(part.begin(), part.end(), 0);
                else
                    std::copy(it->second.begin(), it->second.end(), part.begin());
            } else if (!dropWrites) {
                SectorData s;
                std::copy(part.begin(), part.end(), s.begin());
                sectors[lba + i] = s;
            }
        }
        return true;
    }

    bool ata(TaskFile& r, std::span<std::uint8_t> dataIn) {
        if (!config.answersIdentify) return false;
        if (r.command != 0xEC || dataIn.size() != 512) {
            r.features = 0x04;  // aborted
            r.command = 0x51;
            rejection = "aborted: not IDENTIFY DEVICE";
            return true;
        }
        std::fill(dataIn.begin(), dataIn.end(), 0);
        dataIn[0] = 0x40;
        putAtaText(dataIn, 20, 20, "PLAIN0001");
        putAtaText(dataIn, 46, 8, "1.00");
        putAtaText(dataIn, 54, 40, config.model);
        writeLe32(dataIn, 120, config.sectors);
        r.features = 0;
        r.command = 0x50;
        return true;
    }
};

struct Drive {
    std::unique_ptr<VirtualEnclosure> enclosure;
    std::unique_ptr<OrdinaryDisk> disk;
    bool diskPlugged = true;
    unsigned generation = 0;     // moves on each unplug and plug; stale handles fail
    std::uint64_t sequence = 0;  // the disk's identity, new for each disk put in

    bool plugged() const { return enclosure ? enclosure->plugged() : diskPlugged; }
    DiskIdentity identity(unsigned number) const {
        // dev_t as the kernel numbers sd disks: major 8, 16 minors each.
        return {sequence, (8u << 8) | (number * 16u),
                enclosure ? enclosure->config().serial : std::string("PLAIN0001")};
    }
};

struct Volume {
    std::uint8_t driveType = kDriveFixed;
    int diskNumber = -1;
};

struct OpenHandle {
    unsigned drive = 0;
    unsigned generation = 0;
    bool volume = false;
    DiskIdentity identity;  // of the disk it opened
};

// Notices delivered at set times on a thread of their own, as udev's monitor
// delivers them: after the close that caused them, never inside it.
class DelayedNotices {
public:
    explicit DelayedNotices(std::function<void()> deliver)
        : deliver_(std::move(deliver)), thread_([this] { run(); }) {}
    ~DelayedNotices() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void raiseAfter(std::chrono::milliseconds delay) {
        std::lock_guard lock(mutex_);
        due_.insert(std::chrono::steady_clock::now() + delay);
        ++raised_;
        wake_.notify_all();
    }
    void waitUntilDelivered() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return stop_ || (due_.empty() && !delivering_); });
    }
    unsigned raised() {
        std::lock_guard lock(mutex_);
        return raised_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (due_.empty()) {
                wake_.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() < *due_.begin()) {
                wake_.wait_until(lock, *due_.begin());
                continue;
            }
            due_.erase(due_.begin());
            delivering_ = true;
            lock.unlock();
            deliver_();
            lock.lock();
            delivering_ = false;
            idle_.notify_all();
        }
        idle_.notify_all();
    }

    std::function<void()> deliver_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::multiset<std::chrono::steady_clock::time_point> due_;
    unsigned raised_ = 0;
    bool delivering_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace

struct VirtualHost::Impl {
    mutable std::mutex mutex;
    std::map<unsigned, Drive> drives;
    std::map<char, Volume> volumes;
    std::map<DriveHandle, OpenHandle> handles;
    DriveHandle nextHandle = 100;

    unsigned requests = 0;
    std::set<unsigned> failAt;
    std::map<unsigned, std::chrono::milliseconds> slowAt;
    std::optional<unsigned> powerCutAfter;  // requests beyond this one fail
    bool poweredOff = false;
    std::optional<unsigned> dropFrom;
    std::atomic<std::int64_t> delayMicros{0};

    bool traceOn = true;
    std::vector<TraceEntry> trace;
    std::function<void(const TraceEntry&)> observer;
    std::function<void()> deviceChange;

    std::uint64_t nextSequence = 1;
    struct Swap {
        unsigned afterRequest = 0;
        unsigned drive = 0;
        VirtualHost::Newcomer newcomer;
    };
    std::optional<Swap> swap;

    std::optional<std::chrono::milliseconds> echoDelay;
    // Last, so that its thread stops before anything it reaches goes away.
    std::unique_ptr<DelayedNotices> echoes;

    void record(TraceEntry e) {
        if (observer) observer(e);
        if (traceOn) trace.push_back(std::move(e));
    }

    Drive* driveOf(DriveHandle h, unsigned& number) {
        const auto it = handles.find(h);
        if (it == handles.end()) return nullptr;
        const auto d = drives.find(it->second.drive);
        if (d == drives.end() || d->second.generation != it->second.generation || !d->second.plugged())
            return nullptr;
        number = it->second.drive;
        return &d->second;
    }

    // Counts the request and decides whether injected faults let it through.
    bool admit(bool& dropWrites, std::chrono::microseconds slept, std::chrono::milliseconds timeout,
               std::string& why) {
        const unsigned n = ++requests;
        if (powerCutAfter && n > *powerCutAfter && !poweredOff) {
            poweredOff = true;
            for (auto& [number, drive] : drives)
                if (drive.enclosure) drive.enclosure->flush();
        }
        dropWrites = dropFrom && n >= *dropFrom;
        std::chrono::microseconds time = slept;
        if (const auto slow = slowAt.find(n); slow != slowAt.end()) {
            time += slow->second;
            slowAt.erase(slow);
        }
        if (poweredOff) return false;
        if (time > timeout || timeout.count() == 0) {
            why = "timed out after " + std::to_string(timeout.count()) + " ms";
            return false;
        }
        return failAt.erase(n) == 0;
    }

    // The host's latency and that of the enclosure behind the handle.
    std::chrono::microseconds delayFor(DriveHandle h) {
        std::chrono::microseconds d{delayMicros.load()};
        std::lock_guard lock(mutex);
        unsigned number = 0;
        if (Drive* drive = driveOf(h, number); drive != nullptr && drive->enclosure)
            d += drive->enclosure->config().faults.delayPerRequest;
        return d;
    }

    // Timeline unplug and plug events of the enclosures, to be announced.
    unsigned takeNotices() {
        unsigned n = 0;
        for (auto& [number, drive] : drives) {
            if (!drive.enclosure) continue;
            auto& bridge = drive.enclosure->impl();
            std::lock_guard lock(bridge.mutex);
            if (bridge.pendingNotices != 0) {
                ++drive.generation;
                if (bridge.isPlugged) drive.sequence = nextSequence++;
            }
            n += bridge.pendingNotices;
            bridge.pendingNotices = 0;
        }
        return n;
    }

    void putIn(Drive& d, std::unique_ptr<VirtualEnclosure> enclosure, std::unique_ptr<OrdinaryDisk> disk) {
        d.enclosure = std::move(enclosure);
        d.disk = std::move(disk);
        d.diskPlugged = true;
        ++d.generation;
        d.sequence = nextSequence++;
    }

    // The swap set for after the request just counted; 1 when it was made.
    unsigned takeSwap() {
        if (!swap || requests < swap->afterRequest) return 0;
        Swap due = std::move(*swap);
        swap.reset();
        std::unique_ptr<VirtualEnclosure> enclosure;
        std::unique_ptr<OrdinaryDisk> disk;
        if (auto* c = std::get_if<EnclosureConfig>(&due.newcomer)) {
            enclosure = std::make_unique<VirtualEnclosure>(std::move(*c));
        } else {
            disk = std::make_unique<OrdinaryDisk>();
            disk->config = std::get<OrdinaryDiskConfig>(due.newcomer);
        }
        putIn(drives[due.drive], std::move(enclosure), std::move(disk));
        return 1;
    }
};

namespace {

// Device-change notices go out after the host's lock is released, so a
// handler may call straight back into the host.
void announce(std::unique_lock<std::mutex>& lock, const std::function<void()>& handler, unsigned notices) {
    if (notices == 0 || !handler) return;
    const std::function<void()> h = handler;
    lock.unlock();
    h();
}

}  // namespace

VirtualHost::VirtualHost() : impl_(std::make_unique<Impl>()) {}
VirtualHost::~VirtualHost() = default;

VirtualEnclosure& VirtualHost::addEnclosure(unsigned drive, EnclosureConfig config) {
    return adoptEnclosure(drive, std::make_unique<VirtualEnclosure>(std::move(config)));
}

VirtualEnclosure& VirtualHost::adoptEnclosure(unsigned drive, std::unique_ptr<VirtualEnclosure> enclosure) {
    std::lock_guard lock(impl_->mutex);
    Drive& d = impl_->drives[drive];
    impl_->putIn(d, std::move(enclosure), nullptr);
    return *d.enclosure;
}

VirtualEnclosure* VirtualHost::loadEnclosure(unsigned drive, const std::filesystem::path& dir,
                                             std::string& error) {
    std::unique_ptr<VirtualEnclosure> enclosure = openEnclosureDirectory(dir, error);
    if (!enclosure) return nullptr;
    return &adoptEnclosure(drive, std::move(enclosure));
}

void VirtualHost::addOrdinaryDisk(unsigned drive, OrdinaryDiskConfig config) {
    std::lock_guard lock(impl_->mutex);
    auto disk = std::make_unique<OrdinaryDisk>();
    disk->config = std::move(config);
    impl_->putIn(impl_->drives[drive], nullptr, std::move(disk));
}

void VirtualHost::swapAfter(unsigned n, unsigned drive, Newcomer newcomer) {
    std::unique_lock lock(impl_->mutex);
    impl_->swap = Impl::Swap{impl_->requests + n, drive, std::move(newcomer)};
    announce(lock, impl_->deviceChange, impl_->takeSwap());
}

std::uint64_t VirtualHost::diskSequence(unsigned drive) const {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->drives.find(drive);
    return it == impl_->drives.end() || !it->second.plugged() ? 0 : it->second.sequence;
}

void VirtualHost::removeDrive(unsigned drive) {
    std::lock_guard lock(impl_->mutex);
    impl_->drives.erase(drive);
}

void VirtualHost::addVolume(char letter, std::uint8_t driveType, int diskNumber) {
    std::lock_guard lock(impl_->mutex);
    impl_->volumes[letter] = Volume{driveType, diskNumber};
}

void VirtualHost::removeVolume(char letter) {
    std::lock_guard lock(impl_->mutex);
    impl_->volumes.erase(letter);
}

VirtualEnclosure* VirtualHost::enclosure(unsigned drive) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->drives.find(drive);
    return it == impl_->drives.end() ? nullptr : it->second.enclosure.get();
}

// Unplugging and plugging back differ only in what the bridge does.
void VirtualHost::setPlugged(unsigned drive, bool plugged) {
    std::unique_lock lock(impl_->mutex);
    const auto it = impl_->drives.find(drive);
    if (it == impl_->drives.end() || it->second.plugged() == plugged) return;
    if (it->second.enclosure) {
        auto& bridge = it->second.enclosure->impl();
        std::lock_guard b(bridge.mutex);
        bridge.isPlugged = plugged;
        if (plugged)
            bridge.restart();
        else
            bridge.flushIfBacked();
    } else {
        it->second.diskPlugged = plugged;
    }
    ++it->second.generation;
    if (plugged) it->second.sequence = impl_->nextSequence++;
    announce(lock, impl_->deviceChange, 1);
}

void VirtualHost::unplug(unsigned drive) {
    setPlugged(drive, false);
}
void VirtualHost::plug(unsigned drive) {
    setPlugged(drive, true);
}

void VirtualHost::failRequest(unsigned n) {
    std::lock_guard lock(impl_->mutex);
    impl_->failAt.insert(impl_->requests + n);
}

void VirtualHost::cutPowerAfter(unsigned n) {
    std::lock_guard lock(impl_->mutex);
    impl_->powerCutAfter = impl_->requests + n;
    if (n == 0) impl_->poweredOff = true;
}

void VirtualHost::powerOn() {
    std::lock_guard lock(impl_->mutex);
    impl_->powerCutAfter.reset();
    impl_->poweredOff = false;
    for (auto& [number, drive] : impl_->drives)
        if (drive.enclosure) drive.enclosure->impl().restart();
}

bool VirtualHost::powered() const {
    std::lock_guard lock(impl_->mutex);
    return !impl_->poweredOff;
}

void VirtualHost::setDelayPerRequest(std::chrono::microseconds delay) {
    impl_->delayMicros = delay.count();
}

void VirtualHost::slowRequest(unsigned n, std::chrono::milliseconds time) {
    std::lock_guard lock(impl_->mutex);
    impl_->slowAt[impl_->requests + n] = time;
}

void VirtualHost::dropWritesFrom(unsigned n) {
    std::lock_guard lock(impl_->mutex);
    impl_->dropFrom = impl_->requests + std::max(n, 1u);
}

void VirtualHost::clearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->failAt.clear();
    impl_->slowAt.clear();
    impl_->dropFrom.reset();
}

unsigned VirtualHost::requestCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::vector<TraceEntry> VirtualHost::trace() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->trace;
}

void VirtualHost::clearTrace() {
    std::lock_guard lock(impl_->mutex);
    impl_->trace.clear();
}

void VirtualHost::setTraceEnabled(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->traceOn = on;
}

void VirtualHost::setTraceObserver(std::function<void(const TraceEntry&)> observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observer = std::move(observer);
}

DriveHandle VirtualHost::openPhysicalDrive(unsigned number) {
    std::unique_lock lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Open;
    e.drive = number;
    DriveHandle h = kInvalidHandle;
    const auto it = impl_->drives.find(number);
    if (it != impl_->drives.end() && it->second.plugged()) {
        h = impl_->nextHandle++;
        impl_->handles[h] = OpenHandle{number, it->second.generation, false, it->second.identity(number)};
        e.disk = it->second.sequence;
    } else if (it != impl_->drives.end() && it->second.enclosure) {
        std::lock_guard b(it->second.enclosure->impl().mutex);
        it->second.enclosure->impl().probedWhileUnplugged();
    }
    e.ok = h != kInvalidHandle;
    impl_->record(std::move(e));
    announce(lock, impl_->deviceChange, impl_->takeNotices());
    return h;
}

DriveHandle VirtualHost::openVolume(char letter) {
    std::lock_guard lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Open;
    DriveHandle h = kInvalidHandle;
    const auto v = impl_->volumes.find(letter);
    if (v != impl_->volumes.end() && v->second.diskNumber >= 0) {
        const unsigned number = static_cast<unsigned>(v->second.diskNumber);
        e.drive = number;
        const auto it = impl_->drives.find(number);
        if (it != impl_->drives.end() && it->second.plugged()) {
            h = impl_->nextHandle++;
            impl_->handles[h] = OpenHandle{number, it->second.generation, true, {}};
        }
    }
    e.ok = h != kInvalidHandle;
    impl_->record(std::move(e));
    return h;
}

void VirtualHost::closeDrive(DriveHandle handle) {
    std::lock_guard lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Close;
    unsigned number = 0;
    // Only a drive that is still there gets re-read by udev.
    const bool present = impl_->driveOf(handle, number) != nullptr;
    const auto it = impl_->handles.find(handle);
    e.ok = it != impl_->handles.end();
    if (e.ok) {
        e.drive = it->second.drive;
        if (present && !it->second.volume && impl_->echoDelay) impl_->echoes->raiseAfter(*impl_->echoDelay);
        impl_->handles.erase(it);
    }
    impl_->record(std::move(e));
}

namespace {

// One request to the bridge or disk behind `handle`, under the host's
// faults: refused when the power is off or it is the request set to fail,
// and with writes dropped from the request set for it.
template <class Request>
bool serve(VirtualHost::Impl& impl, DriveHandle handle, TraceEntry& e, std::chrono::microseconds slept,
           std::chrono::milliseconds timeout, Request request) {
    bool drop = false;
    const bool admitted = impl.admit(drop, slept, timeout, e.rejected);
    unsigned number = 0;
    Drive* d = impl.driveOf(handle, number);
    e.drive = number;
    if (!admitted || d == nullptr) return false;
    e.disk = d->sequence;
    if (d->enclosure && !d->enclosure->impl().admit(drop)) return false;
    const auto run = [&](auto& target) {
        target.dropWrites = drop;
        target.rejection.clear();
        const bool ok = request(target);
        target.dropWrites = false;
        e.rejected = std::move(target.rejection);
        return ok;
    };
    return d->enclosure ? run(d->enclosure->impl()) : run(*d->disk);
}

}  // namespace

bool VirtualHost::sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                          std::span<std::uint8_t> data, unsigned timeoutSeconds) {
    CdbStatus status;
    return sendCdbWithStatus(handle, cdb, direction, data, timeoutSeconds, status);
}

bool VirtualHost::sendCdbWithStatus(DriveHandle handle, std::span<const std::uint8_t, 10> cdb,
                                    DataDirection direction, std::span<std::uint8_t> data,
                                    unsigned timeoutSeconds, CdbStatus& status) {
    const std::chrono::milliseconds timeout = std::chrono::seconds(timeoutSeconds);
    const auto slept = waitLatency(impl_->delayFor(handle), timeout);
    std::unique_lock lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Cdb;
    std::copy(cdb.begin(), cdb.end(), e.cdb.begin());
    e.direction = direction;
    e.length = static_cast<std::uint32_t>(data.size());
    e.timeoutSeconds = timeoutSeconds;
    if (direction == DataDirection::ToDevice) e.data.assign(data.begin(), data.end());

    status = {};
    const bool ok = serve(*impl_, handle, e, slept, timeout, [&](auto& target) {
        const bool taken = target.cdb(cdb, direction, data);
        if constexpr (std::is_same_v<std::decay_t<decltype(target)>, OrdinaryDisk>)
            status = target.status;
        else if (taken)
            status = CdbStatus{0, 0};  // the bridge answers GOOD or not at all
        return taken;
    });
    e.ok = ok;
    // Only the bytes that moved: none past the residue.
    if (ok && direction == DataDirection::ToHost)
        e.data.assign(data.begin(), data.end() - std::min<std::ptrdiff_t>(status.residue, std::ssize(data)));
    impl_->record(std::move(e));
    announce(lock, impl_->deviceChange, impl_->takeNotices() + impl_->takeSwap());
    return ok;
}

bool VirtualHost::sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) {
    const auto slept = waitLatency(impl_->delayFor(handle), kAtaTimeout);
    std::unique_lock lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Ata;
    e.direction = DataDirection::ToHost;
    e.length = static_cast<std::uint32_t>(dataIn.size());
    e.taskIn = registers;

    const bool ok = serve(*impl_, handle, e, slept, kAtaTimeout,
                          [&](auto& target) { return target.ata(registers, dataIn); });
    e.taskOut = registers;
    e.ok = ok;
    if (ok) e.data.assign(dataIn.begin(), dataIn.end());
    impl_->record(std::move(e));
    announce(lock, impl_->deviceChange, impl_->takeNotices() + impl_->takeSwap());
    return ok;
}

DiskIdentity VirtualHost::driveIdentity(DriveHandle handle) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->handles.find(handle);
    return it == impl_->handles.end() ? DiskIdentity{} : it->second.identity;
}

void VirtualHost::rescanBus(DriveHandle handle) {
    std::lock_guard lock(impl_->mutex);
    TraceEntry e;
    e.kind = TraceEntry::Kind::Rescan;
    unsigned number = 0;
    e.ok = impl_->driveOf(handle, number) != nullptr;
    e.drive = number;
    impl_->record(std::move(e));
}

std::uint32_t VirtualHost::logicalDriveMask() {
    std::lock_guard lock(impl_->mutex);
    std::uint32_t mask = 0;
    for (const auto& [letter, v] : impl_->volumes) {
        if (letter < 'A' || letter > 'Z') continue;
        if (v.diskNumber >= 0) {
            // A volume leaves with its disk.
            const auto it = impl_->drives.find(static_cast<unsigned>(v.diskNumber));
            if (it != impl_->drives.end() && !it->second.plugged()) continue;
        }
        mask |= 1u << (letter - 'A');
    }
    return mask;
}

std::uint8_t VirtualHost::driveType(char letter) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->volumes.find(letter);
    return it == impl_->volumes.end() ? kDriveNoRootDir : it->second.driveType;
}

bool VirtualHost::volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->handles.find(volume);
    if (it == impl_->handles.end() || !it->second.volume) return false;
    diskNumber = it->second.drive;
    return true;
}

void VirtualHost::setUdevEcho(bool on, std::chrono::milliseconds delay) {
    std::lock_guard lock(impl_->mutex);
    if (on && !impl_->echoes) {
        Impl* impl = impl_.get();
        impl_->echoes = std::make_unique<DelayedNotices>([impl] {
            std::function<void()> handler;
            {
                std::lock_guard held(impl->mutex);
                handler = impl->deviceChange;
            }
            if (handler) handler();
        });
    }
    impl_->echoDelay = on ? std::optional(delay) : std::nullopt;
}

void VirtualHost::waitForEchoes() {
    DelayedNotices* echoes = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        echoes = impl_->echoes.get();
    }
    if (echoes) echoes->waitUntilDelivered();
}

unsigned VirtualHost::echoesRaised() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->echoes ? impl_->echoes->raised() : 0;
}

bool VirtualHost::closesRaiseNotices() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->echoDelay.has_value();
}

void VirtualHost::setDeviceChangeHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->deviceChange = std::move(handler);
}

}  // namespace ardenvel::virt
