// The Event Log window on the offscreen platform: live and paused, a new
// day, a log file chosen, cancelled or unreadable, and the "Log" button.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <fstream>

#include "app/TForm5.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;

QApplication& application() {
    static int argc = 1;
    static char name[] = "TForm5Test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
    return *static_cast<QApplication*>(QApplication::instance());
}

// Answers the file dialog from a script and records the boxes.
class ScriptedDialogs : public app::Dialogs {
public:
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons, BoxIcon) override {
        boxes.push_back(caption + ": " + text);
        return BoxResult::Ok;
    }
    std::optional<std::string> chooseOpenFile(const std::string& filter,
                                              const std::string& startDir) override {
        filters.push_back(filter);
        startDirs.push_back(startDir);
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<std::optional<std::string>> answers;
    std::vector<std::string> boxes, filters, startDirs;
};

class TForm5Test : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        dir = fs::temp_directory_path() /
              ("ardenvel-tform5-test-" + std::to_string(QCoreApplication::applicationPid())) /
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        log.DayLog.assign({"a", "b"});
        log.LogDirectory = dir;
    }
    void TearDown() override { fs::remove_all(dir.parent_path()); }

    std::unique_ptr<TForm5> openForm() {
        auto form = std::make_unique<TForm5>(
            log.DayLog, [this] { return monitoring; }, dir, dialogs);
        form->show();
        return form;
    }
    static QStringList memo(const TForm5& f) {
        const QString text = f.Memo1->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    static bool greyText(const TForm5& f) {
        return f.Memo1->palette().color(QPalette::Active, QPalette::Text) ==
               f.palette().color(QPalette::Disabled, QPalette::Text);
    }

    fs::path dir;
    EventLogState log;
    bool monitoring = false;
    ScriptedDialogs dialogs;
};

TEST_F(TForm5Test, PausedWindowShowsTodayGreyThenFollowsOnceMonitoringRuns) {
    auto form = openForm();
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time( Paused )");
    EXPECT_EQ(memo(*form), (QStringList{"a", "b"}));
    EXPECT_TRUE(greyText(*form));
    EXPECT_TRUE(form->Timer1->isActive());

    log.DayLog.append("c");
    form->Timer1Timer();
    EXPECT_EQ(memo(*form), (QStringList{"a", "b"}));

    monitoring = true;
    form->Timer1Timer();
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time");
    EXPECT_EQ(memo(*form), (QStringList{"a", "b", "c"}));
    EXPECT_FALSE(greyText(*form));
}

TEST_F(TForm5Test, Timer1CopiesNewLinesWithinASecond) {
    monitoring = true;
    auto form = openForm();
    log.DayLog.append("c");
    QEventLoop loop;
    QTimer::singleShot(1200, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(memo(*form), (QStringList{"a", "b", "c"}));
}

TEST_F(TForm5Test, NewDayWithFewerLinesReplacesTheMemo) {
    monitoring = true;
    auto form = openForm();
    log.DayLog.assign({"-----"});
    form->Timer1Timer();
    EXPECT_EQ(memo(*form), (QStringList{"-----"}));
}

TEST_F(TForm5Test, ChosenLogFileIsShownUntilRealTimeLog) {
    std::ofstream(dir / "261207.log", std::ios::binary) << "x\r\ny\xE9\r\n";
    dialogs.answers.push_back((dir / "261207.log").string());
    monitoring = true;
    auto form = openForm();

    form->Button2->click();
    EXPECT_EQ(dialogs.filters, std::vector<std::string>{"Log File (*.log)|*.log|All File|*.*"});
    EXPECT_EQ(dialogs.startDirs, std::vector<std::string>{dir.string()});
    EXPECT_EQ(memo(*form), (QStringList{"x", QString::fromLatin1("y\xE9")}));
    EXPECT_EQ(form->windowTitle(), "Event log - 261207.log");
    EXPECT_FALSE(form->Timer1->isActive());

    log.DayLog.append("c");
    form->Button1->click();
    EXPECT_EQ(memo(*form), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time");
    EXPECT_TRUE(form->Timer1->isActive());
}

TEST_F(TForm5Test, CancelledChoiceKeepsTheMemoAndStopsLiveUpdates) {
    dialogs.answers.push_back(std::nullopt);
    monitoring = true;
    auto form = openForm();
    form->Button2->click();
    EXPECT_FALSE(form->Timer1->isActive());
    log.DayLog.append("c");
    form->Timer1Timer();  // a tick already queued must not copy either
    EXPECT_EQ(memo(*form), (QStringList{"a", "b"}));
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time");
}

TEST_F(TForm5Test, UnreadableFileIsReportedAndTheViewStaysLive) {
    dialogs.answers.push_back((dir / "gone.log").string());
    monitoring = true;
    auto form = openForm();
    form->Button2->click();
    EXPECT_EQ(dialogs.boxes,
              std::vector<std::string>{"Message: Cannot read the log file " + (dir / "gone.log").string()});
    EXPECT_EQ(memo(*form), (QStringList{"a", "b"}));
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time");
    EXPECT_TRUE(form->Timer1->isActive());
}

// Anything can be picked under "All File": a file of gigabytes gets a box, a
// device is not read, and the window goes on as it was.
TEST_F(TForm5Test, HugeFileOrDeviceGetsABoxAndTheWindowGoesOn) {
    const fs::path huge = dir / "huge.log";
    std::ofstream(huge, std::ios::binary).put('x');
    fs::resize_file(huge, std::uintmax_t{3} << 30);  // sparse: nothing is written
    std::ofstream(dir / "small.log", std::ios::binary) << "small\r\n";
    dialogs.answers = {huge.string(), std::string("/dev/zero"), (dir / "small.log").string()};
    monitoring = true;
    auto form = openForm();

    form->Button2->click();
    form->Button2->click();
    EXPECT_EQ(dialogs.boxes, (std::vector<std::string>{"Message: The log file " + huge.string() +
                                                           " is larger than 8 MB and is not shown",
                                                       "Message: Cannot read the log file /dev/zero"}));
    EXPECT_EQ(memo(*form), (QStringList{"a", "b"}));
    EXPECT_EQ(form->windowTitle(), "Event log - Real Time");
    EXPECT_TRUE(form->Timer1->isActive());

    form->Button2->click();
    EXPECT_EQ(memo(*form), (QStringList{"small"}));
    EXPECT_EQ(form->windowTitle(), "Event log - small.log");
}

TEST_F(TForm5Test, LogButtonOpensOneWindowAtATime) {
    EventLogLauncher launcher(
        log, [this] { return monitoring; }, dialogs);
    bool secondOpened = true;
    TForm5* seen = nullptr;
    QTimer::singleShot(0, [&] {
        seen = launcher.current();
        if (!seen) return;
        EXPECT_TRUE(seen->isVisible());
        EXPECT_TRUE(seen->isModal());
        secondOpened = launcher.open(nullptr);
        seen->accept();
    });
    EXPECT_TRUE(launcher.open(nullptr));
    EXPECT_NE(seen, nullptr);
    EXPECT_FALSE(secondOpened);
    EXPECT_EQ(launcher.current(), nullptr);

    // Once closed, the next click opens a window of its own.
    bool reopened = false;
    QTimer::singleShot(0, [&] {
        reopened = launcher.current() != nullptr;
        if (reopened) launcher.current()->accept();
    });
    EXPECT_TRUE(launcher.open(nullptr));
    EXPECT_TRUE(reopened);
}

}  // namespace
}  // namespace ardenvel::test
