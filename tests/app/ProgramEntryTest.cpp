// The program's entry: one copy at a time, and the error box for an
// exception that escapes. Each copy is this test program started again with
// ARDENVEL_ENTRY_CHILD naming what it should be; it runs that before main
// and exits.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/Program.h"
#include "app/SingleInstance.h"
#include "app/TForm1.h"
#include "hosts/virtual/VirtualHost.h"
#include "support/AppTest.h"

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- The child side

// The program's lock in `lockDir`, or the machine's own when that is empty.
std::unique_ptr<app::SingleInstance> instanceLock(const fs::path& lockDir, const std::string& name) {
    if (lockDir.empty()) return std::make_unique<app::SingleInstance>(name);
    return std::make_unique<app::SingleInstance>(name, lockDir);
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class PrintingDialogs : public app::Dialogs {
public:
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons,
                         BoxIcon icon) override {
        say("box|" + caption + "|" + text + "|" + (icon == BoxIcon::Error ? "error" : "other"));
        return BoxResult::Ok;
    }
    std::optional<std::string> chooseOpenFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
};

int runChild(const std::string& mode) {
    int argc = 1;
    char name[] = "child";
    char* argv[] = {name, nullptr};
    app::ProgramSetup setup;
    setup.makeDialogs = [] { return std::make_unique<PrintingDialogs>(); };
    setup.makeHost = [] { return std::make_unique<virt::VirtualHost>(); };
    // Each test's copies share a lock directory of their own, not the machine's.
    const fs::path lockDir = std::getenv("ARDENVEL_LOCK_DIR");
    setup.lockDirectory = lockDir;

    if (mode == "hold") {
        const auto lock = instanceLock(lockDir, std::getenv("ARDENVEL_LOCK_NAME"));
        say(lock->acquired() ? "held" : "refused");
        for (;;) std::this_thread::sleep_for(1h);
    }
    if (mode == "second") {
        // Getting this far means the copy would open its window.
        setup.makeHost = []() -> std::unique_ptr<Host> {
            say("window");
            std::_Exit(42);
        };
    } else if (mode == "first") {
        const char* quitFile = std::getenv("ARDENVEL_QUIT_FILE");
        setup.started = [quitFile](app::TForm1& form, Host&, app::Dialogs&) {
            auto* poll = new QTimer(&form);
            QObject::connect(poll, &QTimer::timeout, &form, [&form, quitFile] {
                if (fs::exists(quitFile)) form.close();
            });
            poll->start(20);
            say("running");
        };
    } else if (mode == "throw-in-handler") {
        setup.started = [](app::TForm1& form, Host&, app::Dialogs&) {
            QTimer::singleShot(0, &form, [] { throw std::runtime_error("boom in a handler"); });
        };
    } else if (mode == "throw-in-start") {
        setup.makeHost = []() -> std::unique_ptr<Host> { throw std::runtime_error("no host today"); };
    }
    const int rc = app::RunProgram(argc, argv, setup);
    say("returned " + std::to_string(rc));
    return rc;
}

[[maybe_unused]] const bool kIsChild = [] {
    if (const char* mode = std::getenv("ARDENVEL_ENTRY_CHILD")) std::_Exit(runChild(mode));
    return false;
}();

// ---- The parent side

// The test's own name for the program's lock: the machine's copies of it
// are not the test's business.
std::string testLockName() {
    return "ardenvel-test-" + std::to_string(QCoreApplication::applicationPid());
}

// This test program started again as a copy of the program; its standard
// output is what it says.
class Child {
public:
    Child(const std::string& mode, const fs::path& lockDir, const fs::path& quitFile = {}) {
        application();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& key : env.keys())
            if (key.startsWith(QLatin1String("ARDENVEL_"))) env.remove(key);
        env.insert(QStringLiteral("ARDENVEL_ENTRY_CHILD"), QString::fromStdString(mode));
        env.insert(QStringLiteral("ARDENVEL_LOCK_DIR"), QString::fromStdString(lockDir.string()));
        env.insert(QStringLiteral("ARDENVEL_QUIT_FILE"), QString::fromStdString(quitFile.string()));
        env.insert(QStringLiteral("ARDENVEL_LOCK_NAME"), QString::fromStdString(testLockName()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QCoreApplication::applicationFilePath(), {});
        if (!process_.waitForStarted(20000)) throw std::runtime_error("spawn");
    }
    ~Child() {
        if (process_.state() != QProcess::NotRunning) killHard();
    }

    // Reads output until `line` has been seen, the child has ended or the
    // time is up.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const bool ended = process_.state() == QProcess::NotRunning;
            if (output().find(line + "\n") != std::string::npos) return true;
            if (ended || std::chrono::steady_clock::now() > end) return false;
            process_.waitForReadyRead(20);
        }
    }

    // The exit code, or -1 when the child did not end in time (it is then
    // killed), -2 when it crashed.
    int wait(std::chrono::milliseconds limit) {
        if (!process_.waitForFinished(static_cast<int>(limit.count()))) return -1;
        output();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -2;
    }

    bool running() const { return process_.state() == QProcess::Running; }
    void killHard() {
        process_.kill();
        process_.waitForFinished(20000);
    }
    // What it printed so far, with Windows' line ends as "\n".
    const std::string& output() {
        output_ += process_.readAllStandardOutput().replace("\r\n", "\n").toStdString();
        return output_;
    }

private:
    QProcess process_;
    std::string output_;
};

class ProgramEntry : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("ardenvel-entry-" + std::to_string(QCoreApplication::applicationPid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(ProgramEntry, SecondCopyEndsAtOnceWithCodeZeroAndTheFirstRunsOn) {
    const fs::path quit = dir / "quit";
    Child first("first", dir, quit);
    ASSERT_TRUE(first.waitForLine("running", 20s)) << first.output();

    const auto start = std::chrono::steady_clock::now();
    Child second("second", dir);
    EXPECT_EQ(second.wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(second.output().find("window"), std::string::npos) << second.output();
    EXPECT_EQ(second.output(), "returned 0\n");

    // The first copy noticed nothing and still holds the lock.
    EXPECT_TRUE(first.running());
    EXPECT_FALSE(app::SingleInstance(app::kInstanceMutexName, dir).acquired());

    // Once it has ended, by closing its window, a new copy may start.
    std::ofstream(quit).put('x');
    EXPECT_EQ(first.wait(20s), 0);
    EXPECT_NE(first.output().find("returned 0"), std::string::npos);
    Child third("second", dir);
    EXPECT_EQ(third.wait(20s), 42);
    EXPECT_NE(third.output().find("window"), std::string::npos);
}

TEST_F(ProgramEntry, TheSystemDropsTheLockOfACopyThatDied) {
    std::vector<fs::path> lockDirs{dir};
#ifdef _WIN32
    lockDirs.emplace_back();  // the machine's: the named mutex in the Global namespace
#endif
    for (const fs::path& lockDir : lockDirs) {
        SCOPED_TRACE(lockDir.empty() ? "the machine's lock" : "a lock directory");
        Child holder("hold", lockDir);
        ASSERT_TRUE(holder.waitForLine("held", 10s)) << holder.output();
        EXPECT_FALSE(instanceLock(lockDir, testLockName())->acquired());
        holder.killHard();
        EXPECT_TRUE(instanceLock(lockDir, testLockName())->acquired());
    }
}

TEST_F(ProgramEntry, AnEscapedExceptionIsShownAndTheProgramEndsNormally) {
    for (const auto& [mode, message] :
         {std::pair{"throw-in-handler", "boom in a handler"}, std::pair{"throw-in-start", "no host today"}}) {
        SCOPED_TRACE(mode);
        Child child(mode, dir);
        EXPECT_EQ(child.wait(20s), 0);
        EXPECT_NE(child.output().find(std::string("box|Ardenvel v0.21|") + message + "|error\n"),
                  std::string::npos)
            << child.output();
        EXPECT_NE(child.output().find("returned 0\n"), std::string::npos) << child.output();
        // The lock went with it.
        EXPECT_TRUE(app::SingleInstance(app::kInstanceMutexName, dir).acquired());
    }
}

TEST(SingleInstanceLock, IsTakenOnceWithinAProcessAndAgainOnceLetGo) {
    const fs::path d =
        fs::temp_directory_path() / ("ardenvel-lock-" + std::to_string(QCoreApplication::applicationPid()));
    fs::create_directories(d);
    {
        app::SingleInstance a("QX_GUI", d);
        EXPECT_TRUE(a.acquired());
        EXPECT_FALSE(app::SingleInstance("QX_GUI", d).acquired());
    }
    EXPECT_TRUE(app::SingleInstance("QX_GUI", d).acquired());
    fs::remove_all(d);
}

}  // namespace
}  // namespace ardenvel::test
