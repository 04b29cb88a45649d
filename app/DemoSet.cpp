#include "app/DemoSet.h"

#include "platform/virtual/VirtualHost.h"

namespace ardenvel::app {
namespace {

using virt::EnclosureConfig;
using virt::PortDisk;
using virt::Route;
using virt::TimelineEvent;
using Kind = TimelineEvent::Kind;

TimelineEvent event(unsigned afterReads, Kind kind, int port = 0) {
    TimelineEvent e;
    e.afterReads = afterReads;
    e.kind = kind;
    e.port = port;
    return e;
}

void addSystemDisk(virt::VirtualHost& host) {
    host.addOrdinaryDisk(0);
    host.addVolume('C', kDriveFixed, 0);
}

}  // namespace

void BuildDemoSet(virt::VirtualHost& host) {
    addSystemDisk(host);

    EnclosureConfig lba;
    lba.route = Route::Lba;
    lba.model = "QX Mirror Box";
    lba.serial = "ARDV00000101";
    lba.activityPercentPerRead = 20;
    lba.status.disks[0] = PortDisk{"WD-WCAV5H120471", "WDC WD10EARS-00Y5B1", 1953525168, 2};
    lba.status.disks[1] = PortDisk{"S1E0J9AZ402113", "SAMSUNG HD103SJ", 1953525168, 2};
    auto& mirror = host.addEnclosure(1, lba);
    TimelineEvent rebuild = event(2, Kind::SetActivity);
    rebuild.value = 0x02;  // onto P1
    mirror.addTimeline(rebuild);
    TimelineEvent scan = event(9, Kind::SetActivity);
    scan.value = 0x81;  // surface scan of P0
    mirror.addTimeline(scan);
    TimelineEvent bad = event(11, Kind::BadSector, 0);
    bad.lba = 73400320;
    mirror.addTimeline(bad);
    mirror.addTimeline(event(16, Kind::RemoveDisk, 1));
    TimelineEvent insert = event(19, Kind::InsertDisk, 1);
    insert.disk = PortDisk{"S1E0J9AZ402288", "SAMSUNG HD103SJ", 1953525168, 2};
    mirror.addTimeline(insert);
    mirror.addTimeline(event(21, Kind::Initialize, 1));
    host.addVolume('E', kDriveFixed, 1);
    host.addVolume('F', kDriveFixed, 1);

    EnclosureConfig usb;
    usb.route = Route::UsbShift;
    usb.model = "QX USB Mirror";
    usb.serial = "ARDV00000202";
    usb.firmwareRevision = "090715.0";
    usb.status.disks[0] = PortDisk{"9VP4KQ2T", "ST31000528AS", 1953525168, 2};
    usb.status.disks[1] = PortDisk{"9VP4KQ7C", "ST31000528AS", 1953525168, 2};
    host.addEnclosure(kDemoUnplugDrive, usb);
    host.addVolume('G', kDriveFixed, static_cast<int>(kDemoUnplugDrive));
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
