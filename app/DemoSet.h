#pragma once
// The demo's emulated enclosures and what happens to them as the demo runs.
// Only ardenvel-demo and the tests use this; it needs the virtual host.

#include <string>
#include <vector>

namespace ardenvel::virt {
class VirtualHost;
}

namespace ardenvel::app {

// A reserved-LBA mirror on drive 1 (volumes E, F) that rebuilds, scans,
// finds a bad sector, loses a disk and gets a new one; a USB mirror on
// drive 2 (volume G) that the demo unplugs and plugs back; a plain system
// disk on drive 0 (volume C). Events are counted in status reads, one per
// enclosure and poll.
void BuildDemoSet(virt::VirtualHost& host);

// When the demo unplugs and plugs back drive 2, after the first result.
inline constexpr unsigned kDemoUnplugDrive = 2;
inline constexpr int kDemoUnplugAfterMs = 40000;
inline constexpr int kDemoPlugAfterMs = 55000;

// Enclosure directories on drives 1 up, one fixed volume each from E, and
// the plain system disk. False with a reason when one will not load.
bool LoadDemoDirectories(virt::VirtualHost& host, const std::vector<std::string>& dirs, std::string& error);

}  // namespace ardenvel::app
