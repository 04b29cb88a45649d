#pragma once
// The demo's emulated enclosures and what happens to them as the demo runs.
// Only ardenvel-demo and the tests use this; it needs the virtual host.

#include <filesystem>
#include <string>
#include <vector>

#include "eventlog/LogFile.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::virt {
class VirtualEnclosure;
class VirtualHost;
}  // namespace ardenvel::virt

namespace ardenvel::app {

// A reserved-LBA mirror on drive 1 (volumes E, F) that rebuilds, scans,
// finds a bad sector, loses a disk and gets a new one; a USB mirror on
// drive 2 (volume G) that the demo unplugs and plugs back; a plain system
// disk on drive 0 (volume C). Events are counted in status reads, one per
// enclosure and poll. The flash lives in memory.
void BuildDemoSet(virt::VirtualHost& host);

// The same set, with each enclosure's flash kept in stateDir (see
// kDemoFlashFiles), so an upgrade is still there when the demo starts again.
// False with a reason when a kept flash cannot be used; the set is built all
// the same, and that enclosure's flash then lives in memory only. A kept
// flash of the wrong size is left alone.
bool BuildDemoSet(virt::VirtualHost& host, const std::filesystem::path& stateDir, std::string& error);

// Where the demo keeps what outlives a run: $XDG_STATE_HOME/ardenvel-demo,
// else ~/.local/state/ardenvel-demo (%LOCALAPPDATA%\ardenvel-demo on Windows),
// else the temporary folder's ardenvel-demo.
std::filesystem::path DemoStateDirectory(const EnvLookup& env = processEnv,
                                         HostPlatform platform = kThisPlatform);

// The kept flash of drives 1 and 2, inside the state directory.
inline constexpr const char* kDemoFlashFiles[] = {"drive1-flash.bin", "drive2-flash.bin"};
// Forgets the kept flash: the next BuildDemoSet lays out fresh ones.
void ForgetDemoFlash(const std::filesystem::path& stateDir);

// The firmware images the demo offers, generated at every start so they
// always match the program: version v2 of every code type, and a v3 that
// marks only 0x31. The demo's own flash starts at v1.
struct DemoImage {
    std::string fileName;
    std::string about;  // for the usage text
    image::ImageSpec plan;
};
std::vector<DemoImage> DemoImages();
// The images' folder inside the state directory.
inline constexpr char kDemoImageFolder[] = "firmware";
// Writes every DemoImages() file into dir, made when missing. False with a
// reason.
bool WriteDemoImages(const std::filesystem::path& dir, std::string& error);

// What an enclosure's flash holds now, for a person: the newest record's
// sequence and each code type with the version in its slot's header, e.g.
// "record 3: 0x31 v2 @0x30000, 0x32 v2 @0x3C000, 0x35 v2 @0x48000".
std::string DescribeFlash(const virt::VirtualEnclosure& enclosure);

// When the demo unplugs and plugs back drive 2, after the first result.
inline constexpr unsigned kDemoUnplugDrive = 2;
inline constexpr int kDemoUnplugAfterMs = 40000;
inline constexpr int kDemoPlugAfterMs = 55000;

// Enclosure directories on drives 1 up, one fixed volume each from E, and
// the plain system disk. False with a reason when one will not load.
bool LoadDemoDirectories(virt::VirtualHost& host, const std::vector<std::string>& dirs, std::string& error);

}  // namespace ardenvel::app
