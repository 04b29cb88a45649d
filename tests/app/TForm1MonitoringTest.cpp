// Monitoring through the real window: the buttons and boxes a user touches,
// the polls TRaidThread hands to the window's thread, and what the bridges
// receive.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/UpDown.h"
#include "device/Discovery.h"
#include "device/VuChannel.h"
#include "support/AppTest.h"
#include "tests/support/CommandSectors.h"
#include "tests/support/UdevEcho.h"

namespace ardenvel::test {
namespace {

using namespace std::chrono_literals;
using app::TForm1;

struct MonitoringHarness : WindowHarness {
    TForm1& f;

    // Two enclosures (drive 1 on reserved LBAs with E and F, drive 2 on
    // USB with G), discovered and drawn once.
    MonitoringHarness() : f(setUp()) {}

    TForm1& setUp() {
        addTwoEnclosures();
        TForm1& form = create();
        EXPECT_TRUE(waitForCaption(QStringLiteral("1/2 Device1[EF]")));
        EXPECT_TRUE(waitUntil([&] { return !monitor.firstRefreshPending; }));
        // Device changes settle on Timer4; holding it keeps a test's unplug
        // a matter for the poll alone.
        form.Timer4->stop();
        return form;
    }

    // One poll, as Timer2 asks for it, served by TRaidThread.
    bool poll() {
        f.Timer2Timer();
        return waitUntil([&] { return (monitor.pendingRequests.load() & request::kPoll) == 0; });
    }
    bool served(std::uint8_t bit) {
        return waitUntil([&] {
            // With udev's echo each close starts a settling, which holds
            // commands; without Timer4 the test settles the echoes itself.
            if (udevEchoRun()) dev.deviceChangeCountdown = 0;
            return (monitor.pendingRequests.load() & bit) == 0;
        });
    }

    std::vector<std::vector<std::uint8_t>> commandSectors() const { return CommandSectorsTo(host, 1); }
    bool commandControlsEnabled() const {
        return f.CheckBox6->isEnabled() && f.CheckBox7->isEnabled() && f.Button3->isEnabled() &&
               f.Button4->isEnabled();
    }
};

TEST(TForm1Monitoring, StartDropsAQueuedSettingsWriteAndStopGivesTheButtonsBack) {
    MonitoringHarness h;
    TForm1& f = h.f;
    h.host.clearTrace();
    h.monitor.pendingRequests = request::kSettings;

    f.Button10Click();
    EXPECT_EQ(h.monitor.pendingRequests.load(), request::kStarted | request::kPoll);
    EXPECT_FALSE(f.Button10->isEnabled());
    EXPECT_TRUE(f.Button11->isEnabled());
    EXPECT_FALSE(f.BitBtn1->isEnabled());
    EXPECT_FALSE(f.Button2->isEnabled());
    EXPECT_FALSE(f.UpDown1->isEnabled());
    EXPECT_TRUE(f.Timer2->isActive());
    ASSERT_TRUE(h.served(request::kPoll));
    EXPECT_TRUE(h.commandSectors().empty()) << "the dropped settings write reached the bridge";

    f.Button11Click();
    EXPECT_EQ(h.monitor.pendingRequests.load(), 0);
    EXPECT_FALSE(f.Timer2->isActive());
    EXPECT_TRUE(f.Button10->isEnabled());
    EXPECT_FALSE(f.Button11->isEnabled());
    EXPECT_TRUE(f.BitBtn1->isEnabled());
    EXPECT_TRUE(f.UpDown1->isEnabled());
}

TEST(TForm1Monitoring, LostEnclosuresLeaveThePollOneByOneUntilMonitoringStops) {
    MonitoringHarness h;
    TForm1& f = h.f;
    f.Button10Click();
    ASSERT_TRUE(h.served(request::kPoll));

    h.host.unplug(2);
    ASSERT_TRUE(h.poll());
    EXPECT_FALSE(f.CheckBox3->isChecked());
    EXPECT_FALSE(f.PageControl1->isTabVisible(1));
    EXPECT_TRUE(f.PageControl1->isTabVisible(0));
    EXPECT_TRUE(f.Timer2->isActive());
    EXPECT_TRUE(f.Button11->isEnabled());

    // Unticking the last box by hand: the next turn finds nothing to poll.
    f.CheckBox1->click();
    EXPECT_FALSE(f.PageControl1->isTabVisible(0));
    ASSERT_TRUE(h.poll());
    EXPECT_EQ(h.monitor.pendingRequests.load(), 0);
    EXPECT_FALSE(f.Timer2->isActive());
    EXPECT_TRUE(f.Button10->isEnabled());
    EXPECT_FALSE(f.Button11->isEnabled());
}

TEST(TForm1Monitoring, TabsShowTheirOwnFirmwareWhileTheCaptionKeepsTheSelectedLetters) {
    MonitoringHarness h;
    TForm1& f = h.f;
    f.Button10Click();
    ASSERT_TRUE(h.served(request::kPoll));
    // The poll went through both enclosures and left the second selected.
    ASSERT_EQ(h.dev.selectedDevice, 1);

    f.PageControl1->setCurrentIndex(1);
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
    EXPECT_TRUE(f.CheckBox7->isHidden());
    f.PageControl1->setCurrentIndex(0);
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090619.0"));
    EXPECT_FALSE(f.CheckBox7->isHidden());
    EXPECT_TRUE(f.windowTitle().startsWith(QStringLiteral("Ardenvel v0.21 - QX Mirror Box")));
    EXPECT_TRUE(f.windowTitle().endsWith(QStringLiteral("[G]"))) << f.windowTitle().toStdString();
}

TEST(TForm1Monitoring, StopScanAsksFirstAndLocksOnlyItsTabForTheCooldown) {
    MonitoringHarness h;
    TForm1& f = h.f;
    auto& status = h.host.enclosure(1)->status();
    status.activityFlags = 0x81;  // a surface scan of P0
    status.progressPercent = 40;
    status.configuredCapacity = 1u << 28;
    ASSERT_TRUE(h.poll());
    ASSERT_TRUE(waitUntil([&] { return f.Button3->text() == QStringLiteral("Stop P0 Scan"); }));
    EXPECT_FALSE(f.Button3->isHidden());
    f.Timer5Timer();
    ASSERT_TRUE(h.commandControlsEnabled());
    // The refresh ticked the boxes, which writes the settings back once.
    ASSERT_TRUE(h.served(request::kSettings));
    h.host.clearTrace();

    h.dialogs.answers = {BoxResult::No};
    f.Button3Click();
    ASSERT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes[0].text, "Do You Want to terminate the scan process?");
    EXPECT_EQ(f.Button3->text(), QStringLiteral("Stop P0 Scan"));
    ASSERT_TRUE(h.poll());
    EXPECT_TRUE(h.commandSectors().empty());

    h.dialogs.answers = {BoxResult::Yes};
    f.Button3Click();
    ASSERT_TRUE(h.served(request::kScan));
    const auto sent = h.commandSectors();
    ASSERT_EQ(sent.size(), 1u);
    ExpectScanStopBlock(sent[0], 0, (1u << 28) - 1);
    EXPECT_EQ(h.host.enclosure(1)->status().activityFlags, 0) << "the bridge did not stop";

    // The cooldown holds the first tab's controls and leaves the second's.
    f.Timer5Timer();
    EXPECT_FALSE(f.CheckBox6->isEnabled());
    EXPECT_FALSE(f.Button3->isEnabled());
    f.PageControl1->setCurrentIndex(1);
    f.Timer5Timer();
    EXPECT_TRUE(f.CheckBox6->isEnabled());
    f.PageControl1->setCurrentIndex(0);
    for (int tick = 0; tick < kCooldownTicks; ++tick) f.Timer5Timer();
    EXPECT_TRUE(h.commandControlsEnabled());
}

TEST(TForm1Monitoring, BadSectorMarksAreWholeAndReadableOverThePictures) {
    MonitoringHarness h;
    TForm1& f = h.f;
    auto& status = h.host.enclosure(1)->status();
    status.activityFlags = 0x04 | 0x08;  // bad sectors on both ports
    ASSERT_TRUE(h.poll());
    ASSERT_EQ(f.StaticText6->text(), QStringLiteral("Bad Sector"));
    ASSERT_EQ(f.StaticText7->text(), QStringLiteral("Bad Sector"));
    for (QLabel* mark : {f.StaticText6, f.StaticText7}) {
        EXPECT_GE(mark->width(), mark->fontMetrics().horizontalAdvance(mark->text()));
        EXPECT_TRUE(mark->autoFillBackground()) << "drawn straight onto the disk picture";
        EXPECT_FALSE(mark->geometry().intersects(f.Button1->geometry())) << "cut by the Log button";
    }
    EXPECT_LE(f.StaticText6->x(), 104);
}

// Monitoring runs, then drive 1 goes; the test settles the notice itself
// and asks for the pass that finds drive 2 alone. Without Timer4 its result
// is applied only when the test says so.
void monitorThenUnplugDrive1(MonitoringHarness& h) {
    h.f.Button10Click();
    ASSERT_TRUE(h.served(request::kPoll));
    h.host.unplug(1);
    ASSERT_TRUE(waitUntil([&] { return h.dev.deviceChangeCountdown.load() != 0; }));
    h.dev.deviceChangeCountdown = 0;
}
void askForAPass(MonitoringHarness& h) {
    RecountDrives(h.dev);
    RequestDiscovery(h.dev);
}

TEST(TForm1Monitoring, APollWaitsForAFinishedPassToBeAppliedBeforeItReadsTheTable) {
    MonitoringHarness h;
    TForm1& f = h.f;
    monitorThenUnplugDrive1(h);
    askForAPass(h);
    ASSERT_TRUE(waitUntil([&] { return h.dev.discoveryDone.load(); }));

    f.Timer2Timer();
    waitUntil([] { return false; }, 300ms);  // several turns of TRaidThread
    EXPECT_NE(h.monitor.pendingRequests.load() & request::kPoll, 0) << "served from the old table";
    EXPECT_TRUE(h.dialogs.boxes.empty()) << h.dialogs.boxes.front().text;

    f.Timer4Timer();
    ASSERT_TRUE(h.served(request::kPoll));
    EXPECT_TRUE(h.dialogs.boxes.empty()) << h.dialogs.boxes.front().text;
    EXPECT_TRUE(f.CheckBox1->isChecked()) << "the enclosure left was unticked";
    EXPECT_TRUE(f.Timer2->isActive());
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
}

TEST(TForm1Monitoring, AResultAppliedWhileAPollShowsItsBoxEndsThatPoll) {
    MonitoringHarness h;
    TForm1& f = h.f;
    // The poll finds drive 1 gone; while its box is open the pass runs and
    // its result is applied.
    monitorThenUnplugDrive1(h);
    bool applied = false;
    h.dialogs.onBox = [&](const Box& box) {
        if (box.text != kTextInvalidDrive || applied) return;
        askForAPass(h);
        ASSERT_TRUE(waitUntil([&] { return h.dev.discoveryDone.load(); }, 3s))
            << "the pass waited for the box";
        f.Timer4Timer();
        applied = true;
    };
    f.Timer2Timer();
    ASSERT_TRUE(waitUntil([&] { return applied; }));
    h.dialogs.onBox = {};
    ASSERT_EQ(h.dev.tables.deviceCount, 1);
    ASSERT_TRUE(h.served(request::kPoll));  // the one the result asked for

    EXPECT_TRUE(f.CheckBox1->isChecked()) << "the enclosure now in slot 0 was unticked";
    EXPECT_TRUE(f.PageControl1->isTabVisible(0));
    EXPECT_TRUE(f.Timer2->isActive());
    EXPECT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
}

// A garbled or 0xFF-padded record: each byte is its Latin-1 character, a
// NUL ends the text and a control byte shows as U+FFFD.
TEST(TForm1Monitoring, DeviceTextShowsOneCharacterPerByte) {
    MonitoringHarness h;
    TForm1& f = h.f;
    auto& disk = *h.host.enclosure(1)->status().disks[0];
    disk.serial = std::string("S\xE9R\xFF\r\0HIDDEN", 12);
    disk.model = "M\xE9\xFF";
    ASSERT_TRUE(h.poll());
    f.PageControl1Change();  // redraws the ports from the record just read
    const QString expected = QStringLiteral("P0 is initialized(SATA2)\nSerial# :S") + QChar(0xE9) +
                             QLatin1Char('R') + QChar(0xFF) + QChar(0xFFFD);
    EXPECT_EQ(f.Label19->text(), expected) << f.Label19->text().toStdString();
    EXPECT_TRUE(
        f.Label25->text().startsWith(QStringLiteral("\nCapacity: 931 GB\nM") + QChar(0xE9) + QChar(0xFF)))
        << f.Label25->text().toStdString();
}

// The tabs a pass or a poll hides and shows again: the panel must always show
// the enclosure of the tab that is up.
struct TabHarness : WindowHarness {
    TForm1& f;

    explicit TabHarness(int enclosures) : f(setUp(enclosures)) {}

    TForm1& setUp(int enclosures) {
        addTwoEnclosures();
        host.enclosure(1)->status().disks[0]->serial = "SER-ONE";
        host.enclosure(2)->status().disks[0]->serial = "SER-TWO";
        if (enclosures > 2) {
            virt::EnclosureConfig third;
            third.status.disks[0]->serial = "SER-THREE";
            host.addEnclosure(3, third);
            host.addVolume('H', kDriveFixed, 3);
        }
        TForm1& form = create();
        EXPECT_TRUE(waitForCaption(QStringLiteral("1/%1 Device1[EF]").arg(enclosures)));
        EXPECT_TRUE(waitUntil([&] { return !monitor.firstRefreshPending; }));
        return form;
    }

    bool panelShows(const char* serial) const { return f.Label19->text().contains(QLatin1String(serial)); }
    bool passAndPollDone(unsigned count) {
        return waitUntil(
            [&] {
                return dev.tables.deviceCount == count && !dev.discoveryPending.load() &&
                       dev.deviceChangeCountdown.load() == 0 &&
                       (monitor.pendingRequests.load() & request::kPoll) == 0;
            },
            8s);
    }
};

TEST(TForm1Tabs, APassKeepsTheTabTheUserIsOnAndRedrawsWhatMovedIntoIt) {
    {
        TabHarness h(3);
        h.f.PageControl1->setCurrentIndex(1);
        ASSERT_TRUE(h.panelShows("SER-TWO"));
        std::thread([&] { h.host.unplug(3); }).join();
        ASSERT_TRUE(h.passAndPollDone(2));
        EXPECT_EQ(h.f.activeTab(), 1);
        EXPECT_TRUE(h.panelShows("SER-TWO")) << h.f.Label19->text().toStdString();
    }
    {
        // The first enclosure goes: the second moves into slot 0, whose tab
        // is up, with the same port state the panel was drawn from.
        TabHarness h(2);
        ASSERT_TRUE(h.panelShows("SER-ONE"));
        std::thread([&] { h.host.unplug(1); }).join();
        ASSERT_TRUE(h.passAndPollDone(1));
        EXPECT_EQ(h.f.activeTab(), 0);
        EXPECT_TRUE(h.panelShows("SER-TWO")) << h.f.Label19->text().toStdString();
        EXPECT_EQ(h.f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
    }
}

TEST(TForm1Tabs, HidingTheTabThatIsUpShowsTheNextEnclosureWhole) {
    TabHarness h(2);
    TForm1& f = h.f;
    f.Timer4->stop();
    ASSERT_TRUE(h.panelShows("SER-ONE"));
    f.CheckBox1->click();
    EXPECT_EQ(f.activeTab(), 1);
    EXPECT_TRUE(h.panelShows("SER-TWO")) << f.Label19->text().toStdString();
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
    EXPECT_TRUE(f.CheckBox7->isHidden());

    // The same when a poll finds the enclosure gone.
    f.CheckBox1->click();
    f.PageControl1->setCurrentIndex(0);
    ASSERT_TRUE(h.panelShows("SER-ONE"));
    h.host.unplug(1);
    f.Timer2Timer();
    ASSERT_TRUE(waitUntil([&] { return (h.monitor.pendingRequests.load() & request::kPoll) == 0; }));
    EXPECT_EQ(f.activeTab(), 1);
    EXPECT_TRUE(h.panelShows("SER-TWO")) << f.Label19->text().toStdString();
}

}  // namespace
}  // namespace ardenvel::test
