// The demo's enclosures, polled through the window: within its first couple
// of dozen polls the user sees a rebuild, a scan with a bad sector, and a
// disk removed and replaced. Upgraded from the window, they keep their flash
// in the state folder for the next start, and the images the demo offers
// are ones the loader takes.

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <fstream>
#include <map>
#include <set>

#include "app/DemoSet.h"
#include "app/UpDown.h"
#include "firmware/FirmwareLoad.h"
#include "firmware/ImageLayout.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;

// A state folder of the test's own; the harness's folder goes with each window.
struct StateFolder {
    StateFolder() {
        path = fs::temp_directory_path() /
               ("ardenvel-demo-state-test-" + std::to_string(QCoreApplication::applicationPid()));
        fs::remove_all(path);
    }
    ~StateFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

std::string completion(unsigned done, unsigned total) {
    return std::string("Firmware Upgrade ") + std::to_string(done) + "/" + std::to_string(total) +
           "completed!\n\nPlease power off this device or the system,\nand power on it to enable the new "
           "firmware!";
}

// One run of the demo set over `state`: the window finds the enclosures,
// Device1 is chosen, `image` loaded and Start Upgrade pressed. The boxes
// shown come back.
std::vector<std::string> upgradeDevice1(const fs::path& state, const fs::path& image) {
    WindowHarness h;
    std::string error;
    EXPECT_TRUE(app::BuildDemoSet(h.host, state, error)) << error;
    app::TForm1& f = h.create();
    EXPECT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));
    EXPECT_TRUE(waitUntil([&] { return !h.monitor.firstRefreshPending; }));
    f.UpDown1->setPosition(0);
    f.UpDown1Click();
    EXPECT_TRUE(f.Button2->isEnabled());
    h.dialogs.files.push_back(image.string());
    f.BitBtn1Click();
    f.Button2Click();
    std::vector<std::string> texts;
    for (const Box& b : h.dialogs.boxes) texts.push_back(b.text);
    return texts;
}

std::map<unsigned, std::string> keptFlash(const fs::path& state) {
    virt::VirtualHost host;
    std::string error;
    EXPECT_TRUE(app::BuildDemoSet(host, state, error)) << error;
    return {{1, app::DescribeFlash(*host.enclosure(1))}, {2, app::DescribeFlash(*host.enclosure(2))}};
}

TEST(DemoSet, ShowsRebuildScanBadSectorAndADiskReplaced) {
    WindowHarness h;
    app::BuildDemoSet(h.host);
    app::TForm1& f = h.create();
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));

    std::set<std::string> middle, p1, marks;
    for (int poll = 0; poll < 26; ++poll) {
        h.monitor.pendingRequests.fetch_or(request::kPoll);
        ASSERT_TRUE(waitUntil([&] { return (h.monitor.pendingRequests.load() & request::kPoll) == 0; }));
        middle.insert(f.Label18->text().toStdString());
        p1.insert(f.Label24->text().section(QLatin1Char('\n'), 0, 0).toStdString());
        marks.insert(f.StaticText6->text().toStdString());
    }
    EXPECT_TRUE(middle.count("Rebuild\n-> 20% ->")) << ::testing::PrintToString(middle);
    EXPECT_TRUE(middle.count("P0 Scan\n40%")) << ::testing::PrintToString(middle);
    EXPECT_TRUE(middle.count("Normal"));
    EXPECT_TRUE(marks.count("Bad Sector"));
    EXPECT_TRUE(p1.count(" P1 is absent ")) << ::testing::PrintToString(p1);
    EXPECT_TRUE(p1.count(" P1 was inserted ")) << ::testing::PrintToString(p1);
    EXPECT_EQ(f.Label24->text().section(QLatin1Char('\n'), 0, 0), QStringLiteral("P1 is initialized(SATA2)"));
    EXPECT_TRUE(f.Label24->text().contains(QStringLiteral("Serial# :S1E0J9AZ402288")));  // the new disk
    EXPECT_TRUE(h.dialogs.boxes.empty());
    EXPECT_FALSE(h.log.DayLog.all().empty());
}

TEST(DemoSet, KeepsAnUpgradedFlashForTheNextStart) {
    StateFolder state;
    const fs::path images = state.path / app::kDemoImageFolder;
    std::string error;
    ASSERT_TRUE(app::WriteDemoImages(images, error)) << error;
    const std::string factory = "record 0: 0x31 v1 @0xC000, 0x32 v1 @0x18000, 0x35 v1 @0x24000";
    std::size_t timelineEvents = 0;
    {
        virt::VirtualHost plain;
        app::BuildDemoSet(plain);
        timelineEvents = plain.enclosure(1)->pendingTimelineEvents();
        ASSERT_GT(timelineEvents, 0u);
    }

    EXPECT_EQ(upgradeDevice1(state.path, images / "ardenvel-demo-v2.bin"),
              std::vector<std::string>{completion(3, 3)});
    for (const char* name : app::kDemoFlashFiles) EXPECT_TRUE(fs::exists(state.path / name)) << name;
    auto kept = keptFlash(state.path);
    EXPECT_EQ(kept[1], "record 3: 0x31 v2 @0x30000, 0x32 v2 @0x3C000, 0x35 v2 @0x48000");
    EXPECT_EQ(kept[2], factory);

    // The next start goes on from there, with its timeline as before.
    {
        virt::VirtualHost again;
        ASSERT_TRUE(app::BuildDemoSet(again, state.path, error)) << error;
        EXPECT_EQ(again.enclosure(1)->pendingTimelineEvents(), timelineEvents);
    }
    EXPECT_EQ(upgradeDevice1(state.path, images / "ardenvel-demo-v3-code31.bin"),
              std::vector<std::string>{completion(1, 1)});
    EXPECT_EQ(keptFlash(state.path)[1], "record 4: 0x31 v3 @0x54000, 0x32 v2 @0x3C000, 0x35 v2 @0x48000");

    app::ForgetDemoFlash(state.path);
    EXPECT_EQ(keptFlash(state.path)[1], factory);
}

TEST(DemoSet, AKeptFlashOfTheWrongSizeIsNeitherUsedNorOverwritten) {
    StateFolder state;
    fs::create_directories(state.path);
    const fs::path file = state.path / app::kDemoFlashFiles[0];
    std::ofstream(file, std::ios::binary) << "not a flash";
    virt::VirtualHost host;
    std::string error;
    EXPECT_FALSE(app::BuildDemoSet(host, state.path, error));
    EXPECT_NE(error.find(file.string()), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(file), 11u);
    // The rest of the set is there, the other flash kept as usual.
    EXPECT_EQ(app::DescribeFlash(*host.enclosure(1)).rfind("record 0:", 0), 0u);
    EXPECT_TRUE(fs::exists(state.path / app::kDemoFlashFiles[1]));
}

TEST(DemoSet, OffersImagesTheLoaderAccepts) {
    StateFolder state;
    std::string error;
    ASSERT_TRUE(app::WriteDemoImages(state.path, error)) << error;
    const auto offered = app::DemoImages();
    ASSERT_EQ(offered.size(), 2u);
    std::vector<unsigned> marked;
    for (const app::DemoImage& d : offered) {
        TestUi ui;
        FirmwareState fw;
        DiskFileOpener opener;
        EXPECT_TRUE(LoadFirmwareFile(fw, ui, (state.path / d.fileName).string(), opener)) << d.fileName;
        EXPECT_TRUE(ui.boxes.empty()) << d.fileName << ": " << ui.boxTexts().front();
        unsigned n = 0;
        const std::size_t rec = fw.image.bytes.size() - image::kRecordAreaSize;
        for (std::size_t k = 0; k < image::record::kCodeEntries; ++k)
            n += fw.image.bytes[rec + image::codeEntryOffset(k) + image::entry::kUpdateMark] ==
                 image::kUpdateMark;
        marked.push_back(n);
    }
    EXPECT_EQ(marked, (std::vector<unsigned>{3, 1}));
}

TEST(DemoSet, KeepsItsStateInThePerUserStateFolder) {
    using Env = std::map<std::string, std::string>;
    auto dir = [](Env env, HostPlatform platform) {
        return app::DemoStateDirectory(
                   [env](const std::string& name) -> std::optional<std::string> {
                       auto it = env.find(name);
                       if (it == env.end()) return std::nullopt;
                       return it->second;
                   },
                   platform)
            .generic_string();
    };
    EXPECT_EQ(dir({{"XDG_STATE_HOME", "/x/state"}, {"HOME", "/home/u"}}, HostPlatform::Linux),
              "/x/state/ardenvel-demo");
    EXPECT_EQ(dir({{"XDG_STATE_HOME", "rel/state"}, {"HOME", "/home/u"}}, HostPlatform::Linux),
              "/home/u/.local/state/ardenvel-demo");
    EXPECT_EQ(dir({{"LOCALAPPDATA", "C:/Users/u/AppData/Local"}, {"HOME", "/home/u"}}, HostPlatform::Windows),
              "C:/Users/u/AppData/Local/ardenvel-demo");
    // With no home at all, the temporary folder.
    EXPECT_EQ(dir({}, HostPlatform::Linux), (fs::temp_directory_path() / "ardenvel-demo").generic_string());
}

}  // namespace
}  // namespace ardenvel::test
