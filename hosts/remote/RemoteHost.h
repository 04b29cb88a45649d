#pragma once
// A Host whose every request goes over a stream to the host helper, which
// carries it to the disks with the rights the program lacks.
//
// Requests are answered one at a time, in order; the calling thread reads
// its own reply, and any notice that came before it. While no request is in
// flight a listener thread looks for the helper's device-change notices ten
// times a second. When the helper goes away every
// request fails from then on, and the device-change handler is called once,
// so the window finds no enclosures.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "hosts/remote/HostProtocol.h"
#include "platform/Host.h"

namespace ardenvel::remote {

class RemoteHost final : public Host {
public:
    // Not connected: no drives, no volumes, every request fails.
    RemoteHost();
    // Over a connected stream; takes both descriptors (they may be the same
    // socket).
    RemoteHost(int readFd, int writeFd);
    ~RemoteHost() override;
    RemoteHost(const RemoteHost&) = delete;
    RemoteHost& operator=(const RemoteHost&) = delete;

    // Waits for the helper's greeting. False, with the reason, when the
    // stream ended first or the helper speaks another protocol version; the
    // host is then not connected.
    bool handshake(std::string& error);
    bool connected() const { return connected_.load(); }
    // Runs once the stream is closed, when the host goes: the launcher
    // waits for the helper's process there.
    void setCloseAction(std::function<void()> action) { closeAction_ = std::move(action); }

    DriveHandle openPhysicalDrive(unsigned number) override;
    DriveHandle openVolume(char letter) override;
    void closeDrive(DriveHandle handle) override;
    bool sendCdb(DriveHandle handle, std::span<const std::uint8_t, 10> cdb, DataDirection direction,
                 std::span<std::uint8_t> data, unsigned timeoutSeconds) override;
    bool sendAta(DriveHandle handle, TaskFile& registers, std::span<std::uint8_t> dataIn) override;
    // As the helper's host told it with the open.
    DiskIdentity driveIdentity(DriveHandle handle) override;
    void rescanBus(DriveHandle handle) override;
    std::uint32_t logicalDriveMask() override;
    std::uint8_t driveType(char letter) override;
    bool volumeDiskNumber(DriveHandle volume, std::uint32_t& diskNumber) override;
    void setDeviceChangeHandler(std::function<void()> handler) override;

private:
    std::optional<Reply> call(const Request& request);
    // A request that carries at most a handle.
    std::optional<Reply> call(Op op, DriveHandle handle);
    // Caller holds io_. Reads frames until none is buffered; true when one
    // was a notice.
    bool drainBufferedNotices(bool& broke);
    void breakConnection();  // caller holds io_
    void listen();
    void notify();
    void shutDown();

    int readFd_ = -1;
    int writeFd_ = -1;
    std::function<void()> closeAction_;
    std::unique_ptr<FrameReader> reader_;
    std::atomic<bool> connected_{false};

    std::mutex io_;  // one request, or the listener, on the stream at a time
    bool watching_ = false;
    bool lossAnnounced_ = false;

    std::thread listener_;
    int wake_[2] = {-1, -1};  // stops the listener

    std::mutex handlerMutex_;
    std::function<void()> handler_;

    std::mutex identityMutex_;
    std::map<DriveHandle, DiskIdentity> identities_;
};

}  // namespace ardenvel::remote
