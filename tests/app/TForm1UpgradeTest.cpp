// Start Upgrade from the main window over an emulated enclosure: the image
// comes in through the Load Firmware dialog, the progress bar fills, the
// completion box says what the product says, the selected enclosure's flash
// holds the new records, and the window's event loop keeps turning between
// the bridge requests.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/StatusPanels.h"
#include "app/UpDown.h"
#include "device/ByteOrder.h"
#include "device/DeviceChange.h"
#include "eventlog/LogFile.h"
#include "firmware/ImageLayout.h"
#include "support/AppTest.h"
#include "tools/ImageGenerator.h"

namespace ardenvel::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Between two turns of the loop the upgrade makes at most this many bridge
// requests: one step's request or two, and the mode commands between two
// flash operations. Without the pending-events calls in the flash loops a
// code type would run hundreds of requests in one go.
constexpr std::size_t kMaxRequestsPerTurn = 16;

std::uint32_t entrySlot(std::span<const std::uint8_t> rec, std::uint8_t type) {
    for (std::size_t k = 0; k < image::record::kCodeEntries; ++k) {
        const std::size_t at = image::codeEntryOffset(k);
        if (rec[at + image::entry::kCodeType] == type) return readLe24(rec, at + image::entry::kSlotAddress);
    }
    return 0;
}

std::string completionText(unsigned done, unsigned total) {
    return std::string("Firmware Upgrade ") + std::to_string(done) + "/" + std::to_string(total) +
           "completed!\n\nPlease power off this device or the system,\nand power on it to enable the new "
           "firmware!";
}

// Two enclosures found and read once, version v2 of 0x31 and 0x32 loaded
// through the Load Firmware dialog; 0x35 is in the image but not marked.
class TForm1Upgrade : public ::testing::Test {
protected:
    static constexpr unsigned kTotal = 2;

    void SetUp() override {
        h.addTwoEnclosures();
        window = &h.create();
        ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));
        ASSERT_TRUE(waitUntil([&] { return !h.monitor.firstRefreshPending; }));

        image::ImageSpec plan;
        plan.useDefaultCodes = false;
        plan.versionTag = "v2";
        plan.codes = {{0x31, 0xC000, true}, {0x32, 0x18000, true}, {0x35, 0x24000, false}};
        file = h.dir / "upgrade-v2.bin";
        std::string error;
        ASSERT_TRUE(image::writeImageFile(file, plan, error)) << error;
        ASSERT_TRUE(image::generateImage(plan, imageBytes, error)) << error;
        h.dialogs.files.push_back(file.string());
        window->BitBtn1Click();
        ASSERT_TRUE(h.firmware.image.loaded());
        ASSERT_TRUE(h.dialogs.boxes.empty()) << h.dialogs.boxes.front().text;
    }

    // The up-down's choice; the poll after discovery leaves SelectedDevice
    // at the last slot it read, so the caption alone says nothing.
    void choose(int device) {
        window->UpDown1->setPosition(device);
        window->UpDown1Click();
        ASSERT_EQ(h.dev.selectedDevice, device);
        ASSERT_TRUE(window->Button2->isEnabled());
    }

    static Bytes slotOf(const Bytes& b, std::uint32_t at) {
        return Bytes(b.begin() + at, b.begin() + at + image::kCodeSlotSize);
    }

    // Start Upgrade, with `during` run once on a turn of the event loop well
    // inside it; the drives opened meanwhile are returned.
    std::set<unsigned> upgradeWith(const std::function<void()>& during) {
        std::mutex mutex;
        std::set<unsigned> opened;
        h.host.setTraceObserver([&](const virt::TraceEntry& e) {
            std::lock_guard lock(mutex);
            if (e.kind == virt::TraceEntry::Kind::Open) opened.insert(e.drive);
        });
        int busyTurns = 0;
        QTimer turn;
        turn.setInterval(0);
        QObject::connect(&turn, &QTimer::timeout, window, [&] {
            if (h.firmware.busy.load() && ++busyTurns == 60) during();
        });
        turn.start();
        window->Button2Click();
        turn.stop();
        h.host.setTraceObserver({});
        EXPECT_GE(busyTurns, 60) << "the upgrade ended before the event";
        return opened;
    }

    // The upgrade of Device1 (drive 1) is complete and Device2 (drive 2) untouched.
    void expectOnlyDevice1Upgraded(const std::set<unsigned>& opened, const Bytes& device2Before) {
        EXPECT_EQ(opened, std::set<unsigned>{1});
        EXPECT_TRUE(h.host.enclosure(2)->flash() == device2Before) << "the other enclosure was written";
        EXPECT_EQ(h.host.enclosure(1)->currentRecord()[image::record::kSequenceNumber], 2);
        ASSERT_FALSE(h.dialogs.boxes.empty());
        EXPECT_EQ(h.dialogs.boxes.back().text, completionText(kTotal, kTotal));
    }

    WindowHarness h;
    app::TForm1* window = nullptr;
    std::filesystem::path file;
    Bytes imageBytes;
};

TEST_F(TForm1Upgrade, StartUpgradeProgramsTheSelectedEnclosureWhileTheWindowKeepsRunning) {
    app::TForm1& f = *window;
    choose(0);
    virt::VirtualEnclosure& selected = *h.host.enclosure(1);
    const Bytes otherBefore = h.host.enclosure(2)->flash();
    const auto recordBefore = selected.currentRecord();
    const std::uint32_t recordBase = selected.recordAreaAddress();
    const std::uint32_t firstFree = readLe24(recordBefore, image::record::kFreeSlotAddress);
    const std::uint32_t old31 = entrySlot(recordBefore, 0x31);
    const std::uint32_t old35 = entrySlot(recordBefore, 0x35);
    ASSERT_NE(firstFree, 0u);
    ASSERT_NE(old31, 0u);

    // The bar is sampled on every turn of the loop rather than once a
    // second, so its last value is the count the upgrade ended with.
    f.Timer1->setInterval(0);
    int barPeak = 0;
    QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, &f,
                     [&](int v) { barPeak = std::max(barPeak, v); });

    // A zero timer fires on each turn of the loop; each bridge request notes
    // how many turns there have been so far.
    std::atomic<unsigned> turns{0};
    QElapsedTimer clock;
    qint64 lastTurnMs = -1, maxGapMs = 0;
    bool pressedDuring = false;
    std::size_t dialogsBeforePress = 0, boxesBeforePress = 0;
    QTimer loop;
    loop.setInterval(0);
    QObject::connect(&loop, &QTimer::timeout, &f, [&] {
        const qint64 now = clock.elapsed();
        if (lastTurnMs >= 0) maxGapMs = std::max(maxGapMs, now - lastTurnMs);
        lastTurnMs = now;
        if (++turns == 200 && h.firmware.busy.load()) {
            // Responsive, but a second upgrade or a load must not start.
            pressedDuring = true;
            dialogsBeforePress = h.dialogs.fileDialogs.size();
            boxesBeforePress = h.dialogs.boxes.size();
            h.dialogs.files.push_back(file.string());
            f.Button2Click();
            f.BitBtn1Click();
            h.dialogs.files.clear();
            EXPECT_EQ(h.dialogs.fileDialogs.size(), dialogsBeforePress);
            EXPECT_EQ(h.dialogs.boxes.size(), boxesBeforePress);
        }
    });
    std::vector<unsigned> turnsAtRequest;
    h.host.setTraceObserver([&](const virt::TraceEntry& e) {
        if (e.kind == virt::TraceEntry::Kind::Cdb || e.kind == virt::TraceEntry::Kind::Ata)
            turnsAtRequest.push_back(turns.load());
    });
    h.host.setDelayPerRequest(1ms);

    clock.start();
    loop.start();
    f.Button2Click();
    loop.stop();
    h.host.setDelayPerRequest(0us);
    h.host.setTraceObserver({});
    RecordProperty("maxLoopGapMs", static_cast<int>(maxGapMs));
    RecordProperty("requests", static_cast<int>(turnsAtRequest.size()));

    // What the window shows at the end.
    ASSERT_EQ(h.dialogs.boxes.size(), 1u) << h.dialogs.boxes.back().text;
    EXPECT_EQ(h.dialogs.boxes[0].text, completionText(kTotal, kTotal));
    EXPECT_EQ(h.dialogs.boxes[0].caption, "Firmware Upgrade Message");
    EXPECT_EQ(h.dialogs.boxes[0].icon, BoxIcon::Warning);
    EXPECT_EQ(f.ProgressBar1->maximum(), static_cast<int>(kTotal * kProgressPerCodeType));
    EXPECT_EQ(f.ProgressBar1->value(), f.ProgressBar1->maximum());
    EXPECT_EQ(barPeak, f.ProgressBar1->maximum());
    EXPECT_EQ(h.dev.spiProgress.load(), kTotal * kProgressPerCodeType);  // not past the end either
    EXPECT_EQ(f.Label12->text(), QStringLiteral("Firmware Update..."));
    EXPECT_EQ(f.Panel1Caption->text(), QStringLiteral("Process 2 / 2"));
    EXPECT_TRUE(f.Panel1->isHidden());
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_EQ(f.StatusBar1->panelText(kPanelMessages), QStringLiteral("CodeType 0x32 Verify OK."));
    EXPECT_FALSE(h.firmware.busy.load());
    EXPECT_TRUE(pressedDuring);

    // Counted, not timed: the loop turned between the requests all along.
    ASSERT_GT(turnsAtRequest.size(), kTotal * (96u + 192u + 12u));
    std::size_t longestRun = 0;
    for (std::size_t i = 0, runStart = 0; i < turnsAtRequest.size(); ++i) {
        if (turnsAtRequest[i] != turnsAtRequest[runStart]) runStart = i;
        longestRun = std::max(longestRun, i - runStart + 1);
    }
    EXPECT_LE(longestRun, kMaxRequestsPerTurn);

    // The flash: two new records, each code type in the next free slot with
    // the image's code, the old code still where it was, 0x35 untouched.
    const auto newest = selected.newestRecordAddress();
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(*newest, recordBase + 2 * image::kRecordSize);
    const auto record = selected.currentRecord();
    EXPECT_EQ(record[image::record::kSequenceNumber], 2);
    const std::uint32_t new31 = entrySlot(record, 0x31);
    const std::uint32_t new32 = entrySlot(record, 0x32);
    EXPECT_EQ(new31, firstFree);
    EXPECT_EQ(new32, firstFree + image::kCodeSlotSize);
    EXPECT_EQ(entrySlot(record, 0x35), old35);
    EXPECT_EQ(readLe24(record, image::record::kFreeSlotAddress), firstFree + 2 * image::kCodeSlotSize);
    const Bytes& flash = selected.flash();
    EXPECT_TRUE(slotOf(flash, new31) == slotOf(imageBytes, 0xC000));
    EXPECT_TRUE(slotOf(flash, new32) == slotOf(imageBytes, 0x18000));
    EXPECT_TRUE(slotOf(flash, old31) == image::codeSlotContents(0x31, "v1"));
    // The record of the first code type stays behind the second's.
    EXPECT_EQ(flash[recordBase + image::kRecordSize], 1);
    EXPECT_EQ(entrySlot(std::span(flash).subspan(recordBase + image::kRecordSize, image::kRecordSize), 0x32),
              entrySlot(recordBefore, 0x32));

    EXPECT_TRUE(h.host.enclosure(2)->flash() == otherBefore);
    EXPECT_FALSE(selected.updateMode());
    EXPECT_FALSE(selected.spiAccessOpen());
}

TEST_F(TForm1Upgrade, TheUpDownDecidesWhichEnclosureIsUpgraded) {
    choose(1);  // the USB enclosure on drive 2
    virt::VirtualEnclosure& usb = *h.host.enclosure(2);
    const Bytes lbaBefore = h.host.enclosure(1)->flash();
    const std::uint32_t firstFree = readLe24(usb.currentRecord(), image::record::kFreeSlotAddress);

    window->Button2Click();
    ASSERT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes[0].text, completionText(kTotal, kTotal));
    const auto record = usb.currentRecord();
    EXPECT_EQ(record[image::record::kSequenceNumber], 2);
    EXPECT_EQ(entrySlot(record, 0x31), firstFree);
    EXPECT_TRUE(slotOf(usb.flash(), firstFree) == slotOf(imageBytes, 0xC000));
    EXPECT_TRUE(h.host.enclosure(1)->flash() == lbaBefore);

    // Back on Device1, the same image goes there too.
    choose(0);
    window->Button2Click();
    ASSERT_EQ(h.dialogs.boxes.size(), 2u);
    EXPECT_EQ(h.dialogs.boxes[1].text, completionText(kTotal, kTotal));
    EXPECT_EQ(h.host.enclosure(1)->currentRecord()[image::record::kSequenceNumber], 2);
    EXPECT_EQ(usb.currentRecord()[image::record::kSequenceNumber], 2);
}

TEST_F(TForm1Upgrade, StartUpgradeGoesToTheEnclosureTheWindowShowsNotWhereThePollEnded) {
    // The poll after discovery read both enclosures and left the second
    // selected, while the up-down and its caption still say Device1.
    ASSERT_EQ(h.dev.selectedDevice, 1);
    ASSERT_EQ(window->StaticText1->text(), QStringLiteral("1/2 Device1[EF]"));
    const Bytes usbBefore = h.host.enclosure(2)->flash();

    window->Button2Click();
    ASSERT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes[0].text, completionText(kTotal, kTotal));
    EXPECT_EQ(h.host.enclosure(1)->currentRecord()[image::record::kSequenceNumber], 2);
    EXPECT_TRUE(h.host.enclosure(2)->flash() == usbBefore) << "the enclosure not shown was upgraded";
}

TEST_F(TForm1Upgrade, ARefusedUpgradesDumpGoesBesideTheLogsWhenTheProgramFolderIsReadOnly) {
    namespace fs = std::filesystem;
    // The program's folder cannot be written, so the logs fall back to the
    // per-user folder, which does not exist yet. Root passes a
    // write probe, so here the permission bits say what the folder is.
    const fs::path program = h.dir;
    const fs::path data = fs::temp_directory_path() /
                          ("ardenvel-app-data-" + std::to_string(QCoreApplication::applicationPid()));
    fs::remove_all(data);
    const auto writes = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(program, writes, fs::perm_options::remove);
    const auto writable = [](const fs::path& d) {
        return (fs::status(d).permissions() & fs::perms::owner_write) != fs::perms::none;
    };
    const auto env = [&](const std::string& name) -> std::optional<std::string> {
        if (name == "XDG_STATE_HOME") return data.string();
        return std::nullopt;
    };
    h.log.LogDirectory = chooseLogDirectory({program, true, false}, env, writable, HostPlatform::Linux);
    ASSERT_EQ(h.log.LogDirectory, data / "ardenvel");

    // The bridge's record names no free slot: the upgrade stops and saves it.
    virt::VirtualEnclosure& e = *h.host.enclosure(1);
    writeLe24(e.flash(), *e.newestRecordAddress() + image::record::kFreeSlotAddress, 0);
    const auto served = e.currentRecord();
    choose(0);
    window->Button2Click();
    fs::permissions(program, fs::perms::owner_write, fs::perm_options::add);

    EXPECT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes.at(0).text, "SPI Free address Error!!");
    const fs::path dump = data / "ardenvel" / "SPIRECA0.bin";
    EXPECT_EQ(window->StatusBar1->panelText(kPanelMessages).toStdString(), "Svae File OK :" + dump.string());
    std::ifstream in(dump, std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, Bytes(served.begin(), served.end()));
    for (const auto& f : fs::directory_iterator(program))
        EXPECT_NE(f.path().filename().string().rfind("SPIREC", 0), 0u) << f.path();
    fs::remove_all(data);
}

TEST_F(TForm1Upgrade, ClosingTheWindowDuringAnUpgradeWaitsForItsEnd) {
    app::TForm1& f = *window;
    choose(0);
    f.show();
    h.host.setDelayPerRequest(200us);
    bool closeTried = false;
    QTimer tryClose;
    tryClose.setInterval(0);
    QObject::connect(&tryClose, &QTimer::timeout, &f, [&] {
        if (closeTried || h.dev.spiProgress.load() < 100) return;
        closeTried = true;
        f.close();
        // Still there: the image it programs from is still loaded.
        EXPECT_TRUE(f.isVisible());
        EXPECT_TRUE(h.firmware.image.loaded());
    });
    tryClose.start();
    f.Button2Click();
    tryClose.stop();
    h.host.setDelayPerRequest(0us);

    ASSERT_TRUE(closeTried);
    ASSERT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes[0].text, completionText(kTotal, kTotal));
    EXPECT_EQ(h.host.enclosure(1)->currentRecord()[image::record::kSequenceNumber], 2);
    // Then the close the user asked for.
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(h.firmware.image.loaded());
}

TEST_F(TForm1Upgrade, AClickOnTheUpDownDuringAnUpgradeMovesNeitherItNorTheSelection) {
    choose(0);
    window->Timer4->stop();
    const Bytes device2Before = h.host.enclosure(2)->flash();
    const std::set<unsigned> opened = upgradeWith([&] {
        for (QToolButton* arrow : window->UpDown1->findChildren<QToolButton*>())
            if (arrow->arrowType() == Qt::UpArrow) arrow->click();
    });
    expectOnlyDevice1Upgraded(opened, device2Before);
    EXPECT_EQ(h.dev.selectedDevice, 0);
    EXPECT_EQ(window->UpDown1->position(), 0);
    EXPECT_EQ(window->StaticText1->text(), QStringLiteral("1/2 Device1[EF]"));
    EXPECT_TRUE(window->UpDown1->isEnabled()) << "not given back after the upgrade";
}

TEST_F(TForm1Upgrade, ADiscoveryResultThatArrivesDuringAnUpgradeWaitsForItsEnd) {
    choose(0);
    window->Timer4->stop();
    const Bytes device2Before = h.host.enclosure(2)->flash();
    // What a pass publishes once drive 1 is gone: drive 2 alone, in slot 0.
    DiscoveryTables after = h.dev.tables;
    after.deviceTable[0] = after.deviceTable[1];
    after.deviceCount = 1;
    const std::set<unsigned> opened = upgradeWith([&] {
        {
            std::lock_guard lock(h.dev.resultMutex);
            h.dev.finished = after;
        }
        h.dev.discoveryDone = true;
        window->Timer4Timer();
        EXPECT_EQ(h.dev.tables.deviceCount, 2) << "applied under the upgrade";
    });
    expectOnlyDevice1Upgraded(opened, device2Before);
    EXPECT_TRUE(h.dev.discoveryDone.load());
    window->Timer4Timer();
    EXPECT_FALSE(h.dev.discoveryDone.load());
    EXPECT_EQ(h.dev.tables.deviceCount, 1);
    EXPECT_EQ(window->StaticText1->text(), QStringLiteral("1/1 Device1[G]"));
}

TEST_F(TForm1Upgrade, StartUpgradeDuringADiscoveryPassDoesNothing) {
    choose(0);
    window->Timer4->stop();
    // A slow pass, asked for by settling the notice of an unplugged drive.
    h.host.setDelayPerRequest(20ms);
    h.host.unplug(2);
    ASSERT_TRUE(waitUntil([&] { return h.dev.deviceChangeCountdown.load() != 0; }));
    for (int tick = 0; tick <= kCountdownRecount - kCountdownStart && !h.dev.discoveryPending; ++tick)
        window->Timer4Timer();
    ASSERT_TRUE(h.dev.discoveryPending.load());
    EXPECT_FALSE(window->Button2->isEnabled());
    EXPECT_FALSE(window->BitBtn1->isEnabled());

    const Bytes device1Before = h.host.enclosure(1)->flash();
    window->Button2->click();
    window->Button2Click();  // nor does the handler run the upgrade
    EXPECT_TRUE(h.dialogs.boxes.empty()) << h.dialogs.boxes.front().text;
    EXPECT_FALSE(h.host.enclosure(1)->updateMode());

    h.host.setDelayPerRequest(0us);
    ASSERT_TRUE(waitUntil([&] { return h.dev.discoveryDone.load(); }));
    window->Timer4Timer();
    EXPECT_TRUE(h.host.enclosure(1)->flash() == device1Before);
    EXPECT_EQ(window->StaticText1->text(), QStringLiteral("1/1 Device1[EF]"));
    EXPECT_TRUE(window->Button2->isEnabled());
    EXPECT_TRUE(window->BitBtn1->isEnabled());
}

}  // namespace
}  // namespace ardenvel::test
