// The window's smaller pieces: the disk picture and its decoder, the file
// filters, status texts from other threads, the up-down arrows, what the
// start-up window looks like, the word on a window without its disks, and
// the one message a burst of notices makes.

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <algorithm>
#include <cstdlib>
#include <thread>

#include "app/DesktopNotifier.h"
#include "app/Dialogs.h"
#include "app/JpegImage.h"
#include "app/Program.h"
#include "app/QtUi.h"
#include "app/StatusPanels.h"
#include "app/UpDown.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

QByteArray diskJpegBytes() {
    app::diskPicture();  // makes sure the resources are registered
    QFile f(QStringLiteral(":/disk.jpg"));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

TEST(JpegImage, DecodesTheDiskPictureAndRefusesWhatIsNoJpeg) {
    application();
    const QByteArray jpeg = diskJpegBytes();
    const QImage disk = app::decodeJpeg(jpeg);
    ASSERT_FALSE(disk.isNull());
    EXPECT_EQ(disk.size(), QSize(127, 109));
    // A picture, not a blank: the platter is light, the casing dark.
    EXPECT_GT(qGray(disk.pixel(40, 54)), 180);
    EXPECT_LT(qGray(disk.pixel(3, 54)), 140);

    EXPECT_TRUE(app::decodeJpeg({}).isNull());
    EXPECT_TRUE(app::decodeJpeg(QByteArray(600, 'x')).isNull());
    EXPECT_TRUE(app::decodeJpeg(jpeg.left(40)).isNull());  // the header breaks off
    QByteArray wrongMarker = jpeg;
    wrongMarker[1] = 0x00;
    EXPECT_TRUE(app::decodeJpeg(wrongMarker).isNull());
}

TEST(FileFilter, BecomesQtsFormWithRealPatterns) {
    EXPECT_EQ(app::qtFileFilter("Binary code (*.bin)|*.bin|All files (*.*)|*.*"),
              QStringLiteral("Binary code (*.bin);;All files (*)"));
    EXPECT_EQ(app::qtFileFilter("Log File (*.log)|*.log|All File|*.*"),
              QStringLiteral("Log File (*.log);;All File (*)"));
    EXPECT_EQ(app::qtFileFilter("Images|*.jpg;*.png"), QStringLiteral("Images (*.jpg *.png)"));
}

TEST(QtUi, StatusTextsReachTheBarOnItsOwnThreadOnly) {
    application();
    ScriptedDialogs dialogs;
    app::QtUi ui(dialogs);
    ui.setStatusText(kPanelMessages, "before the bar");
    app::StatusPanels bar({100, 80, 80, 100, 250});
    ui.attach(&bar);
    EXPECT_EQ(bar.panelText(kPanelMessages), QStringLiteral("before the bar"));

    ui.setStatusText(kPanelChecksum, "Chksum:07F80000");  // this thread: at once
    EXPECT_EQ(bar.panelText(kPanelChecksum), QStringLiteral("Chksum:07F80000"));

    std::thread([&] { ui.setStatusText(kPanelMessages, "from a pass"); }).join();
    EXPECT_EQ(bar.panelText(kPanelMessages), QStringLiteral("before the bar"));
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.panelText(kPanelMessages), QStringLiteral("from a pass"));

    // Once detached (the window is going), texts are dropped.
    std::thread([&] { ui.setStatusText(kPanelMessages, "queued"); }).join();
    ui.detach();
    ui.setStatusText(kPanelMessages, "late");
    QCoreApplication::processEvents();
    EXPECT_NE(bar.panelText(kPanelMessages), QStringLiteral("late"));

    dialogs.answers.push_back(BoxResult::Yes);
    EXPECT_EQ(ui.messageBox("Stop?", "Message", BoxButtons::YesNo, BoxIcon::Warning), BoxResult::Yes);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].caption, "Message");
}

TEST(StatusPanels, LastPanelWidensToWhatTheOthersLeave) {
    application();
    app::StatusPanels bar({100, 80, 80, 100, 250});
    bar.resize(623, 19);
    bar.widenLastPanel();
    EXPECT_EQ(bar.panelWidth(4), 623 - 360);
    EXPECT_EQ(bar.panel(4)->geometry().left(), 360);
    EXPECT_EQ(bar.panel(7), nullptr);
    bar.setPanelText(7, QStringLiteral("ignored"));  // no such panel: nothing happens
}

TEST(StatusPanels, ATextCutOffByItsPanelCanBeReadWhole) {
    application();
    app::StatusPanels bar({100, 80, 80, 100, 250});
    bar.resize(623, 19);
    bar.widenLastPanel();
    // Half as wide as the text, in whatever font the system gives.
    const QString checksum = QStringLiteral("Chksum:07F80000");
    bar.setPanelWidth(0, bar.fontMetrics().horizontalAdvance(checksum) / 2);
    bar.setPanelText(0, checksum);
    bar.setPanelText(4, QStringLiteral("File:a.bin"));
    EXPECT_EQ(bar.panel(0)->toolTip(), checksum);
    EXPECT_TRUE(bar.panel(4)->toolTip().isEmpty());  // fits: nothing to add

    // A wider panel shows it all; a text that fits again drops the tip.
    bar.setPanelWidth(0, 300);
    EXPECT_TRUE(bar.panel(0)->toolTip().isEmpty());
    bar.setPanelWidth(0, 100);
    bar.setPanelText(0, QStringLiteral("Chksum:"));
    EXPECT_TRUE(bar.panel(0)->toolTip().isEmpty());
}

TEST(UpDown, StepsWithinItsRangeAndReportsEveryClick) {
    application();
    app::UpDown upDown;
    int clicks = 0;
    QObject::connect(&upDown, &app::UpDown::clicked, [&] { ++clicks; });
    upDown.setMaximum(2);
    upDown.stepUp();
    upDown.stepUp();
    upDown.stepUp();
    EXPECT_EQ(upDown.position(), 2);
    EXPECT_EQ(clicks, 3);
    upDown.setMaximum(0);  // fewer enclosures: the position follows
    EXPECT_EQ(upDown.position(), 0);
    upDown.setMaximum(-1);  // none at all
    upDown.stepDown();
    EXPECT_EQ(upDown.position(), 0);
}

TEST(StartupPicture, ShowsTheDiskPicturesOnAWhiteWindow) {
    WindowHarness h;
    app::TForm1& f = h.create();
    const QImage shot = f.grab().toImage();
    ASSERT_EQ(shot.size(), QSize(623, 505));
    if (const char* dir = std::getenv("ARDENVEL_SCREENSHOT_DIR"))
        shot.save(QString::fromLocal8Bit(dir) + QStringLiteral("/startup.png"));

    EXPECT_EQ(shot.pixelColor(600, 150), QColor(Qt::white));
    const QImage disk = app::decodeJpeg(diskJpegBytes());
    for (const QPoint origin : {QPoint(168 + 8, 232 + 48), QPoint(168 + 232, 232 + 48)})
        for (const QPoint p : {QPoint(40, 54), QPoint(3, 54), QPoint(100, 90)})
            EXPECT_EQ(shot.pixel(origin + p), disk.pixel(p)) << origin.x() << "," << p.x() << "," << p.y();
    // The elapsed time is drawn in blue.
    bool blue = false;
    const QRect r = f.StaticText3->geometry();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            blue = blue || (c.blue() > 200 && c.red() < 80 && c.green() < 80);
        }
    EXPECT_TRUE(blue);
}

TEST(HostNotice, AWindowWithoutItsDisksSaysWhyOnceInTheBarAndOnceInABox) {
    WindowHarness h;
    app::TForm1& f = h.create();
    const std::string text = "Administrator rights were not given, so no enclosure can be reached.";
    app::showHostNotice(f, h.dialogs, "No rights.", text);
    EXPECT_EQ(f.StatusBar1->panelText(kPanelMessages).toStdString(), "No rights.");
    const auto told = [&] {
        return std::count_if(h.dialogs.boxes.begin(), h.dialogs.boxes.end(), [&](const Box& b) {
            return b.text == text && b.caption == "Message" && b.icon == BoxIcon::Warning;
        });
    };
    ASSERT_TRUE(waitUntil([&] { return told() == 1; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(told(), 1);
}

TEST(CombinedNotice, LeadsWithTheNewestCriticalNoticeAndListsTheOthers) {
    auto notice = [](const char* summary, bool critical) {
        DesktopNotice n;
        n.summary = summary;
        n.body = std::string(summary) + " body";
        n.critical = critical;
        return n;
    };
    EXPECT_FALSE(app::combinedNotice({}));
    const std::optional<DesktopNotice> one = app::combinedNotice({notice("removed", false)});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->body, "removed body");

    const auto burst = app::combinedNotice(
        {notice("failed P0", true), notice("bad sector", true), notice("removed", false)});
    ASSERT_TRUE(burst);
    EXPECT_EQ(burst->summary, "bad sector");
    EXPECT_TRUE(burst->critical);
    EXPECT_EQ(burst->body, "bad sector body\nfailed P0\nremoved");
}

}  // namespace
}  // namespace ardenvel::test
