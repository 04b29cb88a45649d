#pragma once
// A scripted host for discovery tests: each drive says which probe it answers,
// and every open and request is logged. Drives 10-15 exist too, so a test can
// see that they are never opened.

#include <array>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Host.h"

namespace ardenvel::test {

struct FakeDrive {
    bool lbaSignature = false;  // the LBA 58 sector carries 3X
    bool failLba58 = false;
    bool ataSignature = false;  // IDENTIFY answers, with 3X
    std::uint8_t inquiryLength = 0x1F;
    int signatureReadShift = -1;  // CdbShift at which the 0x8B read answers with 3X
    int query78Shift = -1;        // CdbShift at which query 0x78 answers 50 8B
};

struct FakeVolume {
    std::uint8_t type = kDriveFixed;
    std::uint32_t disk = 0;
    bool opens = true;
    bool extentOk = true;
};

struct FakeRequest {
    unsigned drive;
    std::array<std::uint8_t, 10> cdb{};  // all zero for ATA
    TaskFile task;                       // ATA only
    std::size_t length = 0;
    bool ata = false;
};

class FakeHost : public Host {
public:
    std::array<std::optional<FakeDrive>, 16> drives;
    std::map<char, FakeVolume> volumes;
    std::vector<unsigned> physicalOpens;  // every attempt
    std::vector<char> volumeOpens;
    std::vector<FakeRequest> requests;
    int openHandles = 0;
    std::optional<std::uint32_t> mask;  // overrides the mask built from `volumes`
    // Holds the open of this drive until release() (for mid-pass checks).
    std::optional<unsigned> holdAt;

    void hold(unsigned drive) {
        std::lock_guard lock(m_);
        holdAt = drive;
        held_ = false;
    }
    void release() {
        std::lock_guard lock(m_);
        holdAt.reset();
        cv_.notify_all();
    }
    bool waitUntilHeld() {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return held_; });
    }
    std::vector<FakeRequest> requestsTo(unsigned drive) {
        std::lock_guard lock(m_);
        std::vector<FakeRequest> out;
        for (const auto& r : requests)
            if (r.drive == drive) out.push_back(r);
        return out;
    }

    DriveHandle openPhysicalDrive(unsigned n) override {
        std::unique_lock lock(m_);
        physicalOpens.push_back(n);
        if (holdAt == n) {
            held_ = true;
            cv_.notify_all();
            cv_.wait(lock, [&] { return !holdAt; });
        }
        if (n >= drives.size() || !drives[n]) return kInvalidHandle;
        ++openHandles;
        return static_cast<DriveHandle>(n);
    }
    DriveHandle openVolume(char letter) override {
        std::lock_guard lock(m_);
        volumeOpens.push_back(letter);
        auto it = volumes.find(letter);
        if (it == volumes.end() || !it->second.opens) return kInvalidHandle;
        ++openHandles;
        return 0x100 + letter;
    }
    void closeDrive(DriveHandle) override {
        std::lock_guard lock(m_);
        --openHandles;
    }
    bool sendCdb(DriveHandle h, std::span<const std::uint8_t, 10> cdb, DataDirection,
                 std::span<std::uint8_t> data, unsigned) override {
        std::lock_guard lock(m_);
        const auto n = static_cast<unsigned>(h);
        FakeRequest r{n, {}, {}, 0, false};
        std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
        r.length = data.size();
        requests.push_back(r);
        const FakeDrive& d = *drives.at(n);
        switch (cdb[0]) {
            case 0x28:
                if (d.failLba58) return false;
                std::fill(data.begin(), data.end(), 0x58);  // marks the LBA 58 answer
                if (d.lbaSignature) sign(data);
                return true;
            case 0x12: data[4] = d.inquiryLength; return true;
            case 0xFE: {
                const int shift = cdb[1] == 0xFE ? 0 : 1;
                const std::uint8_t op = cdb[2 - shift];
                if (op == 0x8B && shift == d.signatureReadShift) {
                    sign(data);
                    return true;
                }
                if (op == 0x78 && shift == d.query78Shift) {
                    data[0] = 0x50;
                    data[1] = 0x8B;
                    return true;
                }
                return false;
            }
        }
        return false;
    }
    bool sendAta(DriveHandle h, TaskFile& regs, std::span<std::uint8_t> data) override {
        std::lock_guard lock(m_);
        const auto n = static_cast<unsigned>(h);
        requests.push_back({n, {}, regs, data.size(), true});
        if (!drives.at(n)->ataSignature) return false;
        std::fill(data.begin(), data.end(), 0xEC);  // marks the IDENTIFY answer
        sign(data);
        regs.features = 0;
        regs.command = 0x50;  // the drive's status: ready, no error
        return true;
    }
    void rescanBus(DriveHandle) override {}
    std::uint32_t logicalDriveMask() override {
        std::lock_guard lock(m_);
        if (mask) return *mask;
        std::uint32_t bits = 0;
        for (const auto& [letter, v] : volumes) bits |= 1u << (letter - 'A');
        return bits;
    }
    std::uint8_t driveType(char letter) override {
        std::lock_guard lock(m_);
        return volumes.at(letter).type;
    }
    bool volumeDiskNumber(DriveHandle h, std::uint32_t& disk) override {
        std::lock_guard lock(m_);
        const FakeVolume& v = volumes.at(static_cast<char>(h - 0x100));
        if (!v.extentOk) return false;
        disk = v.disk;
        return true;
    }
    void setDeviceChangeHandler(std::function<void()>) override {}
    bool closesRaiseNotices() const override { return echoes; }
    bool echoes = false;

private:
    static void sign(std::span<std::uint8_t> data) {
        data[258] = 0x33;
        data[259] = 0x58;
    }
    std::mutex m_;
    std::condition_variable cv_;
    bool held_ = false;
};

}  // namespace ardenvel::test
