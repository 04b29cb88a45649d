#include "app/DemoSet.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "device/ByteOrder.h"
#include "firmware/ImageLayout.h"
#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::app {
namespace {

namespace fs = std::filesystem;

using virt::EnclosureConfig;
using virt::PortDisk;
using virt::Route;
using virt::TimelineEvent;
using Kind = TimelineEvent::Kind;

void addSystemDisk(virt::VirtualHost& host) {
    host.addOrdinaryDisk(0);
    host.addVolume('C', kDriveFixed, 0);
}

// Takes over the kept flash when there is one, then writes back to it. A
// fresh enclosure has just laid out its flash, so attaching the file writes
// whichever flash it now holds.
bool keepFlash(virt::VirtualEnclosure& enclosure, const fs::path& file, std::string& error) {
    std::error_code ec;
    if (fs::exists(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            error = "cannot read " + file.string();
            return false;
        }
        if (bytes.size() != enclosure.config().flashSize) {
            error = file.string() + " holds " + std::to_string(bytes.size()) + " bytes, not " +
                    std::to_string(enclosure.config().flashSize) + "; left alone";
            return false;
        }
        enclosure.flash() = std::move(bytes);
    }
    if (!enclosure.setBackingFile(file)) {
        error = enclosure.lastError();
        return false;
    }
    return true;
}

void buildSet(virt::VirtualHost& host, const fs::path& stateDir, std::string& error) {
    addSystemDisk(host);

    EnclosureConfig lba;
    lba.route = Route::Lba;
    lba.model = "QX Mirror Box";
    lba.serial = "ARDV00000101";
    lba.activityPercentPerRead = 20;
    lba.status.disks[0] = PortDisk{"WD-WCAV5H120471", "WDC WD10EARS-00Y5B1", 1953525168, 2};
    lba.status.disks[1] = PortDisk{"S1E0J9AZ402113", "SAMSUNG HD103SJ", 1953525168, 2};
    auto& mirror = host.addEnclosure(1, lba);
    TimelineEvent rebuild = TimelineEvent::at(2, Kind::SetActivity);
    rebuild.value = 0x02;  // onto P1
    mirror.addTimeline(rebuild);
    TimelineEvent scan = TimelineEvent::at(9, Kind::SetActivity);
    scan.value = 0x81;  // surface scan of P0
    mirror.addTimeline(scan);
    TimelineEvent bad = TimelineEvent::at(11, Kind::BadSector, 0);
    bad.lba = 73400320;
    mirror.addTimeline(bad);
    mirror.addTimeline(TimelineEvent::at(16, Kind::RemoveDisk, 1));
    TimelineEvent insert = TimelineEvent::at(19, Kind::InsertDisk, 1);
    insert.disk = PortDisk{"S1E0J9AZ402288", "SAMSUNG HD103SJ", 1953525168, 2};
    mirror.addTimeline(insert);
    mirror.addTimeline(TimelineEvent::at(21, Kind::Initialize, 1));
    host.addVolume('E', kDriveFixed, 1);
    host.addVolume('F', kDriveFixed, 1);

    EnclosureConfig usb;
    usb.route = Route::UsbShift;
    usb.model = "QX USB Mirror";
    usb.serial = "ARDV00000202";
    usb.firmwareRevision = "090715.0";
    usb.status.disks[0] = PortDisk{"9VP4KQ2T", "ST31000528AS", 1953525168, 2};
    usb.status.disks[1] = PortDisk{"9VP4KQ7C", "ST31000528AS", 1953525168, 2};
    auto& usbMirror = host.addEnclosure(kDemoUnplugDrive, usb);
    host.addVolume('G', kDriveFixed, static_cast<int>(kDemoUnplugDrive));

    if (stateDir.empty()) return;
    std::error_code ec;
    fs::create_directories(stateDir, ec);
    if (ec) {
        error = "cannot make " + stateDir.string() + ": " + ec.message();
        return;
    }
    virt::VirtualEnclosure* kept[] = {&mirror, &usbMirror};
    for (std::size_t i = 0; i < std::size(kept); ++i) {
        std::string why;
        if (!keepFlash(*kept[i], stateDir / kDemoFlashFiles[i], why) && error.empty()) error = why;
    }
}

std::string hex(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

}  // namespace

void BuildDemoSet(virt::VirtualHost& host) {
    std::string unused;
    buildSet(host, {}, unused);
}

bool BuildDemoSet(virt::VirtualHost& host, const fs::path& stateDir, std::string& error) {
    error.clear();
    buildSet(host, stateDir, error);
    return error.empty();
}

fs::path DemoStateDirectory(const EnvLookup& env, HostPlatform platform) {
    auto named = [&](const char* name) -> std::optional<fs::path> {
        auto value = env(name);
        if (!value || value->empty()) return std::nullopt;
        return fs::path(*value);
    };
    if (platform == HostPlatform::Windows) {
        if (auto base = named("LOCALAPPDATA")) return *base / "ardenvel-demo";
    } else if (auto state = xdgStateHome(env)) {
        return *state / "ardenvel-demo";
    }
    std::error_code ec;
    return fs::temp_directory_path(ec) / "ardenvel-demo";
}

void ForgetDemoFlash(const fs::path& stateDir) {
    for (const char* name : kDemoFlashFiles) {
        std::error_code ec;
        fs::remove(stateDir / name, ec);
    }
}

std::vector<DemoImage> DemoImages() {
    DemoImage all{"ardenvel-demo-v2.bin", "v2 of 0x31, 0x32 and 0x35", {}};
    all.plan.versionTag = "v2";
    DemoImage one{"ardenvel-demo-v3-code31.bin", "v3 of 0x31 only", {}};
    one.plan.versionTag = "v3";
    one.plan.codes = image::defaultCodes();
    for (image::CodeSpec& c : one.plan.codes) c.update = c.type == 0x31;
    return {all, one};
}

bool WriteDemoImages(const fs::path& dir, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot make " + dir.string() + ": " + ec.message();
        return false;
    }
    for (const DemoImage& d : DemoImages()) {
        std::string why;
        if (!image::writeImageFile(dir / d.fileName, d.plan, why)) {
            error = (dir / d.fileName).string() + ": " + why;
            return false;
        }
    }
    return true;
}

std::string DescribeFlash(const virt::VirtualEnclosure& enclosure) {
    const auto record = enclosure.currentRecord();
    const std::vector<std::uint8_t>& flash = enclosure.flash();
    std::string text = "record " + std::to_string(record[image::record::kSequenceNumber]) + ":";
    const char* separator = " ";
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
        const std::size_t at = image::codeEntryOffset(k);
        const std::uint8_t type = record[at + image::entry::kCodeType];
        if (type == image::kEmptyCodeType) continue;
        const std::uint32_t slot = readLe24(record, at + image::entry::kSlotAddress);
        // The generator's header: "ARDENVEL CODE TYPE 0xNN VERSION tag", zero padded.
        std::string version = "?";
        constexpr std::size_t kHeader = 64;
        if (std::uint64_t{slot} + kHeader <= flash.size()) {
            const std::string head(flash.begin() + slot, flash.begin() + slot + kHeader);
            const std::string expected = std::string("ARDENVEL CODE TYPE ") + hex(type, 2) + " VERSION ";
            if (head.rfind(expected, 0) == 0)
                version = head.substr(expected.size(), head.find('\0') - expected.size());
        }
        text.append(separator)
            .append(hex(type, 2))
            .append(" ")
            .append(version)
            .append(" @")
            .append(hex(slot, 1));
        separator = ", ";
    }
    return text;
}

bool LoadDemoDirectories(virt::VirtualHost& host, const std::vector<std::string>& dirs, std::string& error) {
    addSystemDisk(host);
    unsigned drive = 1;
    for (const std::string& dir : dirs) {
        if (drive > 9) {
            error = "at most 9 enclosures";
            return false;
        }
        std::string reason;
        if (host.loadEnclosure(drive, dir, reason) == nullptr) {
            error = dir + ": " + reason;
            return false;
        }
        host.addVolume(static_cast<char>('D' + drive), kDriveFixed, static_cast<int>(drive));
        ++drive;
    }
    return true;
}

}  // namespace ardenvel::app
