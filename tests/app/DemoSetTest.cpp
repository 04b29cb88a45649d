// The demo's enclosures, polled through the window: within its first couple
// of dozen polls the user sees a rebuild, a scan with a bad sector, and a
// disk removed and replaced.

#include <gtest/gtest.h>

#include <QLabel>
#include <set>

#include "app/DemoSet.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

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

}  // namespace
}  // namespace ardenvel::test
