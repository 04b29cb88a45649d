// The window's commands reach their cores through the window's own seams:
// the firmware file dialog and the status bar, the upgrade's message box,
// and the modal Event Log window.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <vector>

#include "app/StatusPanels.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

// The commands wait for the first discovery result, as their buttons do.
app::TForm1& createAndDiscover(WindowHarness& h) {
    app::TForm1& f = h.create();
    EXPECT_TRUE(h.waitForCaption(QStringLiteral("No Drive found! ")));
    return f;
}

TEST(TForm1Commands, LoadFirmwareAsksThroughTheDialogAndReportsInTheStatusBar) {
    WindowHarness h;
    app::TForm1& f = createAndDiscover(h);
    // A 4 Mbit image of 0xFF with the signature and the record version.
    std::vector<char> image(0x80000, static_cast<char>(0xFF));
    image[0] = 'F', image[1] = 'I', image[2] = 'P', image[3] = 'S';
    image[0x78001] = static_cast<char>(0xA0);
    const auto path = h.dir / "image.bin";
    std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

    h.dialogs.files.push_back(path.string());
    f.BitBtn1Click();
    ASSERT_EQ(h.dialogs.fileDialogs.size(), 1u);
    EXPECT_EQ(h.dialogs.fileDialogs[0].first, "Binary code (*.bin)|*.bin|All files (*.*)|*.*");
    EXPECT_EQ(h.dialogs.fileDialogs[0].second, h.dir.string());
    EXPECT_TRUE(h.firmware.image.loaded());
    EXPECT_FALSE(h.firmware.busy.load());
    EXPECT_EQ(f.StatusBar1->panelText(kPanelMessages), QString::fromStdString("File:" + path.string()));
    EXPECT_TRUE(f.StatusBar1->panelText(kPanelChecksum).startsWith(QStringLiteral("Chksum:")));
    EXPECT_EQ(f.StatusBar1->panelWidth(kPanelMessages), 623 - 360);  // widened for the path

    // Cancelled: the image stays.
    f.BitBtn1Click();
    EXPECT_TRUE(h.firmware.image.loaded());
}

TEST(TForm1Commands, StartUpgradeWithoutAnImageSaysSoAndLeavesTheProgressHidden) {
    WindowHarness h;
    app::TForm1& f = createAndDiscover(h);
    f.Button2Click();
    ASSERT_EQ(h.dialogs.boxes.size(), 1u);
    EXPECT_EQ(h.dialogs.boxes[0].text, "Please Load Firmware File First ");
    EXPECT_EQ(h.dialogs.boxes[0].caption, "Message");
    EXPECT_TRUE(f.Panel1->isHidden());
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_FALSE(h.firmware.busy.load());
}

TEST(TForm1Commands, LogOpensOneModalEventLogWindowAtATime) {
    WindowHarness h;
    h.log.DayLog.assign({"first line", "second line"});
    app::TForm1& f = h.create();
    bool sawWindow = false, secondOpened = true;
    QTimer::singleShot(0, &f, [&] {
        TForm5* open = f.eventLog().current();
        sawWindow = open != nullptr;
        secondOpened = f.eventLog().open(&f);  // a click while it is open
        if (open) open->close();
    });
    f.Button1Click();
    EXPECT_TRUE(sawWindow);
    EXPECT_FALSE(secondOpened);
    EXPECT_EQ(f.eventLog().current(), nullptr);
}

}  // namespace
}  // namespace ardenvel::test
