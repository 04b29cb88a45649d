// The main window as it comes up, and as the first discovery result changes
// it: every control's place and state, the blinking caption, the start-time
// line, no enclosure, two enclosures, device changes and closing.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/StatusPanels.h"
#include "app/UpDown.h"
#include "hosts/MachineLock.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

using namespace std::chrono_literals;
using app::TForm1;

constexpr int kAuto = -1;  // the control sizes itself around its text

struct Expected {
    const char* name;
    QWidget* widget;
    QRect bounds;  // kAuto width and height: only the position is fixed
    bool shown;
    bool enabled;
    const char* text;  // nullptr: not a text control
};

QString textOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return {};
}

QColor textColour(QWidget* w) {
    return w->palette().color(QPalette::Active, QPalette::WindowText);
}

TEST(TForm1Startup, EveryControlSitsAtItsBoundsInItsStartState) {
    WindowHarness h;
    TForm1& f = h.create();
    const QColor navy(0, 0, 128), fuchsia(255, 0, 255);

    const std::vector<Expected> controls = {
        {"GroupBox3", f.GroupBox3, {8, 9, 161, 129}, true, true, "Firmware Upgrade"},
        {"StaticText1", f.StaticText1, {8, 24, 145, 20}, true, true, "Drive detecting"},
        {"UpDown1", f.UpDown1, {136, 20, 17, 25}, false, true, nullptr},
        {"BitBtn1", f.BitBtn1, {24, 56, 105, 25}, true, false, "Load Firmware "},
        {"Button2", f.Button2, {24, 88, 105, 25}, true, false, "Start Upgrade"},
        {"Button10", f.Button10, {182, 17, 75, 25}, true, false, "Start"},
        {"Button11", f.Button11, {182, 48, 75, 25}, true, false, "Stop"},
        {"StaticText2",
         f.StaticText2,
         {264, 16, kAuto, kAuto},
         true,
         true,
         "GUI start Time : 07.12.2026 09:00:00"},
        {"StaticText3", f.StaticText3, {264, 32, kAuto, kAuto}, true, true, "Time Elapsed 0-00:00:00"},
        {"StaticText4",
         f.StaticText4,
         {264, 48, kAuto, kAuto},
         false,
         true,
         "Drive removed at: 07.12.2026 09:00:00"},
        {"Memo1", f.Memo1, {144, 8, 473, 97}, false, true, nullptr},
        {"Panel1", f.Panel1, {184, 104, 257, 81}, false, true, nullptr},
        {"Label12", f.Label12, {16, 8, kAuto, kAuto}, true, true, ""},
        {"ProgressBar1", f.ProgressBar1, {24, 48, 217, 17}, true, true, nullptr},
        {"CheckBox1", f.CheckBox1, {24, 152, 73, 17}, false, true, "Device1"},
        {"CheckBox3", f.CheckBox3, {96, 152, 73, 17}, false, true, "Device2"},
        {"CheckBox4", f.CheckBox4, {24, 184, 73, 17}, false, true, "Device3"},
        {"CheckBox5", f.CheckBox5, {96, 184, 73, 17}, false, true, "Device4"},
        {"PageControl1", f.PageControl1, {0, 200, 625, 289}, true, true, nullptr},
        {"GroupBox4", f.GroupBox4, {16, 232, 145, 169}, true, true, "RAID Mode"},
        {"Label20", f.Label20, {8, 16, kAuto, kAuto}, true, true, "RAID Setting:"},
        {"Label27", f.Label27, {8, 40, kAuto, kAuto}, true, true, ""},
        {"Label23", f.Label23, {8, 116, kAuto, kAuto}, true, true, "RAID Mode of System"},
        {"Label17", f.Label17, {24, 132, kAuto, kAuto}, true, true, ""},
        {"Label22", f.Label22, {8, 72, kAuto, kAuto}, false, true, "RAID Mode in SPI"},
        {"Label15", f.Label15, {24, 88, kAuto, kAuto}, false, true, ""},
        {"Label21", f.Label21, {84, 16, kAuto, kAuto}, false, true, ""},
        {"Panel2", f.Panel2, {168, 232, 449, 249}, true, true, nullptr},
        {"Image1", f.Image1, {8, 48, 127, 109}, true, true, nullptr},
        {"Image2", f.Image2, {232, 48, 127, 109}, true, true, nullptr},
        {"Label19", f.Label19, {8, 0, kAuto, kAuto}, true, true, ""},
        {"Label24", f.Label24, {232, 0, kAuto, kAuto}, true, true, ""},
        {"Label25", f.Label25, {11, 160, kAuto, kAuto}, true, true, ""},
        {"Label26", f.Label26, {235, 160, kAuto, kAuto}, true, true, ""},
        {"Label18", f.Label18, {156, 73, kAuto, kAuto}, true, true, ""},
        {"Label1", f.Label1, {156, 24, kAuto, kAuto}, true, true, ""},
        {"StaticText6", f.StaticText6, {104, 136, kAuto, kAuto}, true, true, ""},
        {"StaticText7", f.StaticText7, {328, 136, kAuto, kAuto}, true, true, ""},
        {"Button1", f.Button1, {160, 128, 57, 33}, false, true, "Log"},
        {"StaticText5", f.StaticText5, {24, 460, kAuto, kAuto}, true, true, ""},
        {"CheckBox6", f.CheckBox6, {32, 408, 97, 17}, true, true, "Buzzer Mute"},
        {"CheckBox7", f.CheckBox7, {32, 432, 97, 17}, false, true, "Auto Scan"},
        {"Button3", f.Button3, {216, 456, 97, 25}, false, true, "Start P0 Scan"},
        {"Button4", f.Button4, {448, 456, 97, 25}, false, true, "Start P1 Scan"},
        {"StatusBar1", f.StatusBar1, {0, 486, 623, 19}, true, true, nullptr},
    };
    for (const Expected& c : controls) {
        SCOPED_TRACE(c.name);
        const QRect g = c.widget->geometry();
        EXPECT_EQ(g.topLeft(), c.bounds.topLeft());
        if (c.bounds.width() != kAuto) {
            EXPECT_EQ(g.size(), c.bounds.size());
        }
        EXPECT_EQ(!c.widget->isHidden(), c.shown);
        EXPECT_EQ(c.widget->isEnabled(), c.enabled);
        if (c.text) {
            EXPECT_EQ(textOf(c.widget).toStdString(), c.text);
        }
    }

    // Parents: what sits in the two group boxes and the two panels.
    for (QWidget* w : {static_cast<QWidget*>(f.StaticText1), static_cast<QWidget*>(f.UpDown1),
                       static_cast<QWidget*>(f.BitBtn1), static_cast<QWidget*>(f.Button2)})
        EXPECT_EQ(w->parentWidget(), f.GroupBox3);
    for (QWidget* w : {f.Label20, f.Label27, f.Label23, f.Label17, f.Label15, f.Label21, f.Label22})
        EXPECT_EQ(w->parentWidget(), f.GroupBox4);
    for (QWidget* w : {f.Image1, f.Image2, f.Label19, f.Label24, f.Label25, f.Label26, f.Label18, f.Label1,
                       f.StaticText6, f.StaticText7})
        EXPECT_EQ(w->parentWidget(), f.Panel2);
    EXPECT_EQ(f.Button1->parentWidget(), f.Panel2);
    EXPECT_EQ(f.Label12->parentWidget(), f.Panel1);
    EXPECT_EQ(f.ProgressBar1->parentWidget(), f.Panel1);
    // Over the page area: children of the window, stacked above the pages.
    const QObjectList& siblings = f.children();
    const auto pages = siblings.indexOf(f.PageControl1);
    for (QWidget* w : {static_cast<QWidget*>(f.GroupBox4), static_cast<QWidget*>(f.Panel2),
                       static_cast<QWidget*>(f.CheckBox6), static_cast<QWidget*>(f.Button3),
                       static_cast<QWidget*>(f.StaticText5)}) {
        EXPECT_EQ(w->parentWidget(), &f);
        EXPECT_GT(siblings.indexOf(w), pages);
    }

    // The boxes' ticks, the progress range, the tabs.
    for (QCheckBox* b : {f.CheckBox1, f.CheckBox3, f.CheckBox4, f.CheckBox5}) EXPECT_TRUE(b->isChecked());
    EXPECT_EQ(f.ProgressBar1->minimum(), 0);
    EXPECT_EQ(f.ProgressBar1->maximum(), 100);
    ASSERT_EQ(f.PageControl1->count(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(f.PageControl1->isTabVisible(i)) << i;
    EXPECT_EQ(f.PageControl1->currentIndex(), 0);
    EXPECT_EQ(f.activeTab(), -1);  // no tab shown, none to draw

    // Fonts and colours.
    EXPECT_EQ(f.font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(f.font().pixelSize(), 13);
    for (QLabel* l : {f.StaticText2, f.StaticText3, f.StaticText4}) EXPECT_EQ(l->font().pixelSize(), 11);
    EXPECT_EQ(f.StaticText5->font().pixelSize(), 12);
    EXPECT_EQ(textColour(f.StaticText3), QColor(Qt::blue));
    EXPECT_EQ(textColour(f.Label12), QColor(Qt::blue));
    EXPECT_EQ(textColour(f.Label17), QColor(Qt::blue));
    EXPECT_EQ(textColour(f.Label27), navy);
    EXPECT_EQ(textColour(f.Label25), navy);
    EXPECT_EQ(textColour(f.Label26), navy);
    EXPECT_EQ(textColour(f.Label18), fuchsia);
    EXPECT_EQ(textColour(f.Label19), QColor(Qt::black));
    EXPECT_EQ(textColour(f.StaticText6), QColor(Qt::red));
    EXPECT_EQ(textColour(f.StaticText5), QColor(Qt::red));
    EXPECT_EQ(f.Button1->palette().color(QPalette::Active, QPalette::ButtonText), QColor(Qt::red));
    EXPECT_EQ(f.Label18->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);

    // The status bar's five panels.
    ASSERT_EQ(f.StatusBar1->panelCount(), 5);
    const int widths[5] = {100, 80, 80, 100, 250};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(f.StatusBar1->panelWidth(i), widths[i]) << i;

    // The window: fixed size, white, its caption, no maximise box.
    EXPECT_EQ(f.size(), QSize(623, 505));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(f.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Ardenvel v0.21"));
    EXPECT_EQ(h.monitor.savedCaption, "Ardenvel v0.21");
    EXPECT_FALSE(f.windowIcon().isNull());

    // Timers.
    const std::pair<QTimer*, std::pair<int, bool>> timers[] = {
        {f.Timer1, {1000, false}}, {f.Timer2, {4000, false}}, {f.Timer3, {1000, true}},
        {f.Timer4, {500, true}},   {f.Timer5, {1000, true}},
    };
    for (const auto& [t, expected] : timers) {
        EXPECT_EQ(t->interval(), expected.first);
        EXPECT_EQ(t->isActive(), expected.second);
    }

    // The shared values FormCreate starts from.
    EXPECT_EQ(h.monitor.pendingRequests.load(), 0);
    EXPECT_TRUE(h.monitor.firstRefreshPending);
    EXPECT_FALSE(h.firmware.image.loaded());
    EXPECT_EQ(h.dev.spiSize, 0x80000u);
    EXPECT_EQ(h.dev.cdbShift, 1);
    EXPECT_EQ(h.monitor.startTime, h.clock.now());
}

TEST(TForm1Startup, CaptionBlinksWhilePassIsPendingAndStaysAfterTheResult) {
    WindowHarness h;
    h.host.addOrdinaryDisk(0);
    // The pass takes the device lock for each drive it probes: holding it
    // keeps the pass pending for as long as the test needs.
    std::unique_lock hold(h.dev.operationLock);
    TForm1& f = h.create();
    ASSERT_TRUE(h.dev.discoveryPending.load());
    // On a udev desktop the start's own count echoes: that is no device change
    // and must not stop the blinking.
    h.host.waitForEchoes();
    QCoreApplication::processEvents();

    f.Timer4Timer();
    EXPECT_TRUE(f.StaticText1->isHidden());
    f.Timer4Timer();
    EXPECT_FALSE(f.StaticText1->isHidden());
    f.Timer4Timer();
    EXPECT_TRUE(f.StaticText1->isHidden());

    // The result ends the blinking with the caption shown.
    hold.unlock();
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("No Drive found! ")));
    EXPECT_FALSE(f.StaticText1->isHidden());
    f.Timer4Timer();
    f.Timer4Timer();
    EXPECT_FALSE(f.StaticText1->isHidden());
}

TEST(TForm1Startup, APassWaitingForAnotherProcessSaysSoUntilItGoesOn) {
    WindowHarness h;
    h.host.addOrdinaryDisk(0);
    const auto lockDir = h.dir / "locks";
    std::filesystem::create_directories(lockDir);
    const auto mine = makeDirectoryLock(lockDir), other = makeDirectoryLock(lockDir);
    ASSERT_TRUE(mine && other);
    ASSERT_TRUE(other->tryLock());  // another process's operation
    h.dev.operationLock.setMachineLock(mine.get());
    TForm1& f = h.create();
    const QString waiting = QString::fromLatin1(kTextWaitingForOtherProcess);
    ASSERT_TRUE(waitUntil([&] { return f.StatusBar1->panelText(kPanelMessages) == waiting; }));
    EXPECT_TRUE(h.dev.discoveryPending.load());

    other->unlock();
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("No Drive found! ")));
    EXPECT_TRUE(f.StatusBar1->panelText(kPanelMessages).isEmpty());
    h.form.reset();
}

TEST(TForm1Startup, NoEnclosureStopsTheClockAndShowsTheRemovalLine) {
    WindowHarness h;
    h.host.addOrdinaryDisk(0);
    h.host.addVolume('C', kDriveFixed, 0);
    TForm1& f = h.create();
    bool applied = false;
    QObject::connect(&f, &TForm1::discoveryApplied, [&] { applied = true; });

    ASSERT_TRUE(h.waitForCaption(QStringLiteral("No Drive found! ")));
    EXPECT_TRUE(applied);
    EXPECT_FALSE(f.Timer3->isActive());
    EXPECT_FALSE(f.StaticText4->isHidden());
    EXPECT_EQ(f.StaticText4->text(), QStringLiteral("Drive removed at: 07.12.2026 09:00:00"));
    EXPECT_TRUE(f.CheckBox1->isHidden());
    EXPECT_TRUE(f.UpDown1->isHidden());
    for (QPushButton* b : {f.Button10, f.Button11, f.BitBtn1, f.Button2}) EXPECT_FALSE(b->isEnabled());
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(f.PageControl1->isTabVisible(i));
    EXPECT_EQ(h.dev.tables.deviceCount, 0);
}

TEST(TForm1Startup, TwoEnclosuresGetTabsBoxesCaptionAndAFirstPoll) {
    WindowHarness h;
    h.addTwoEnclosures();
    TForm1& f = h.create();

    ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));
    EXPECT_FALSE(f.StaticText1->isHidden());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(f.PageControl1->isTabVisible(i), i < 2) << i;
    EXPECT_EQ(f.PageControl1->tabText(0), QStringLiteral("Device1"));
    EXPECT_EQ(f.PageControl1->tabText(1), QStringLiteral("Device2"));
    EXPECT_EQ(f.activeTab(), 0);
    EXPECT_FALSE(f.CheckBox1->isHidden());
    EXPECT_FALSE(f.CheckBox3->isHidden());
    EXPECT_TRUE(f.CheckBox4->isHidden());
    EXPECT_TRUE(f.CheckBox5->isHidden());
    EXPECT_EQ(f.CheckBox1->toolTip(), QStringLiteral("HD1"));
    EXPECT_EQ(f.CheckBox3->toolTip(), QStringLiteral("HD2"));
    EXPECT_FALSE(f.UpDown1->isHidden());
    EXPECT_EQ(f.UpDown1->maximum(), 1);
    for (QPushButton* b : {f.Button10, f.BitBtn1, f.Button2}) EXPECT_TRUE(b->isEnabled());
    EXPECT_FALSE(f.Button11->isEnabled());
    EXPECT_FALSE(f.Button1->isHidden());
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090619.0"));
    EXPECT_FALSE(f.CheckBox7->isHidden());  // 090619 reports scans
    EXPECT_TRUE(f.windowTitle().startsWith(QStringLiteral("Ardenvel v0.21 - QX Mirror Box")));
    EXPECT_TRUE(f.windowTitle().endsWith(QStringLiteral("1[EF]")));
    EXPECT_TRUE(f.Timer3->isActive());

    // The result asked for one poll; TRaidThread hands it to this thread
    // and the panel is drawn from it.
    ASSERT_TRUE(waitUntil([&] { return f.Label18->text() == QStringLiteral("Normal"); }));
    EXPECT_TRUE(f.Label19->text().startsWith(QStringLiteral("P0 is initialized(SATA2)")));
    EXPECT_FALSE(h.monitor.firstRefreshPending);

    // The user picks the second tab: its enclosure's revision, no Auto Scan.
    f.PageControl1->setCurrentIndex(1);
    EXPECT_EQ(f.StaticText5->text(), QStringLiteral("F/W Rev. 090618.0"));
    EXPECT_TRUE(f.CheckBox7->isHidden());
}

TEST(TForm1Startup, DeviceChangeFromAnotherThreadLeadsToANewPass) {
    WindowHarness h;
    h.addTwoEnclosures();
    TForm1& f = h.create();
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));
    // Unplugged before the result's poll, the poll would meet a missing
    // drive; that is the poll's business, not this test's.
    ASSERT_TRUE(waitUntil([&] { return !h.monitor.firstRefreshPending; }));

    std::thread([&] { h.host.unplug(2); }).join();
    // Settling: a recount on the fifth tick after the notice, then the pass.
    ASSERT_TRUE(waitUntil([&] { return h.dev.deviceChangeCountdown.load() != 0; }, 2s));
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/1 Device1[EF]"), 8s));
    EXPECT_FALSE(f.PageControl1->isTabVisible(1));
    EXPECT_TRUE(f.CheckBox3->isHidden());
    EXPECT_TRUE(h.dialogs.boxes.empty()) << h.dialogs.boxes.front().text;
}

// On a Linux desktop each probe's close comes back as a notice; the result
// must still be applied on the first tick after the pass.
TEST(TForm1Startup, WithUdevEchoTheCaptionArrivesWithinSixTicks) {
    for (const bool echo : {false, true}) {
        SCOPED_TRACE(echo ? "echo" : "no echo");
        WindowHarness h;
        h.host.setUdevEcho(echo);
        h.host.addOrdinaryDisk(0);
        h.host.addEnclosure(1, virt::EnclosureConfig{});
        h.host.addVolume('E', kDriveFixed, 1);
        TForm1& f = h.create();
        int ticks = 0;  // Timer4 fires every 500 ms: six of them are 3 s
        QObject::connect(f.Timer4, &QTimer::timeout, [&] { ++ticks; });
        ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/1 Device1[E]")));
        EXPECT_LT(ticks, 6);
        EXPECT_EQ(h.host.echoesRaised() > 0, echo);
    }
}

TEST(TForm1Startup, ClosingReleasesTheImageStopsTheClockAndClearsMonitoring) {
    WindowHarness h;
    TForm1& f = h.create();
    h.firmware.image.bytes.assign(0x80000, 0xFF);
    h.monitor.pendingRequests = request::kStarted | request::kPoll;

    f.close();
    EXPECT_FALSE(h.firmware.image.loaded());
    EXPECT_FALSE(f.Timer3->isActive());
    EXPECT_EQ(h.monitor.pendingRequests.load(), request::kPoll);  // only bit 0x10 goes
}

TEST(TForm1Startup, DestroyingTheWindowStopsBusyWorkersAtOnce) {
    using Clock = std::chrono::steady_clock;
    {
        // A pass in the middle of a slow probe.
        WindowHarness h;
        h.addTwoEnclosures();
        h.host.setDelayPerRequest(300ms);
        h.create();
        std::this_thread::sleep_for(100ms);
        const auto start = Clock::now();
        h.form.reset();
        EXPECT_LT(Clock::now() - start, 3s);
    }
    {
        // TRaidThread waiting for a poll it handed over, which never runs
        // because this thread is busy destroying the window.
        WindowHarness h;
        h.addTwoEnclosures();
        TForm1& f = h.create();
        ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/2 Device1[EF]")));
        ASSERT_TRUE(waitUntil([&] { return !h.monitor.firstRefreshPending; }));
        f.Button10Click();
        std::this_thread::sleep_for(200ms);  // the hand-off is posted and waiting
        const auto start = Clock::now();
        h.form.reset();
        EXPECT_LT(Clock::now() - start, 1s);
        QCoreApplication::processEvents();  // the dropped hand-off must not run
        EXPECT_NE(h.monitor.pendingRequests.load() & request::kPoll, 0);
    }
}

}  // namespace
}  // namespace ardenvel::test
