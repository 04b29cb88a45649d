// The program's entry: one copy at a time, and the error box for an
// exception that escapes. Each copy is this test program started again with
// ARDENVEL_ENTRY_CHILD naming what it should be; it runs that before main
// and exits.

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/Program.h"
#include "app/SingleInstance.h"
#include "app/TForm1.h"
#include "hosts/virtual/VirtualHost.h"
#include "support/AppTest.h"

extern char** environ;

namespace ardenvel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- The child side

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
        app::SingleInstance lock(app::kInstanceMutexName, lockDir);
        say(lock.acquired() ? "held" : "refused");
        for (;;) pause();
    }
    if (mode == "second") {
        // Getting this far means the copy would open its window.
        setup.makeHost = []() -> std::unique_ptr<Host> {
            say("window");
            _exit(42);
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
    if (const char* mode = std::getenv("ARDENVEL_ENTRY_CHILD")) _exit(runChild(mode));
    return false;
}();

// ---- The parent side

class Child {
public:
    Child(const std::string& mode, const fs::path& lockDir, const fs::path& quitFile = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string v = *e;
            if (v.rfind("ARDENVEL_", 0) == 0 || v.rfind("QT_QPA_PLATFORM=", 0) == 0) continue;
            env.push_back(v);
        }
        env.push_back("ARDENVEL_ENTRY_CHILD=" + mode);
        env.push_back("ARDENVEL_LOCK_DIR=" + lockDir.string());
        env.push_back("ARDENVEL_QUIT_FILE=" + quitFile.string());
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (auto& v : env) envp.push_back(v.data());
        envp.push_back(nullptr);

        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string exe = fs::read_symlink("/proc/self/exe").string();
        char* argv[] = {exe.data(), nullptr};
        const int err = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        if (err != 0) throw std::runtime_error("spawn");
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // Reads output until `line` has been seen or the time is up.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (output_.find(line + "\n") == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left <= 0ms || !readSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // The exit code, or -1 when the child did not end in time (it is then killed).
    int wait(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            readSome(10);
        }
        exited_ = true;
        while (readSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }

    bool running() {
        int status = 0;
        return !exited_ && waitpid(pid_, &status, WNOHANG) == 0;
    }
    void killHard() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        exited_ = true;
    }
    const std::string& output() const { return output_; }

private:
    bool readSome(int timeoutMs) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return timeoutMs > 0 ? true : false;
        char buf[512];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        output_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

class ProgramEntry : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("ardenvel-entry-" + std::to_string(getpid()) + "-" +
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
    Child holder("hold", dir);
    ASSERT_TRUE(holder.waitForLine("held", 10s)) << holder.output();
    EXPECT_FALSE(app::SingleInstance(app::kInstanceMutexName, dir).acquired());
    holder.killHard();
    EXPECT_TRUE(app::SingleInstance(app::kInstanceMutexName, dir).acquired());
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
    const fs::path d = fs::temp_directory_path() / ("ardenvel-lock-" + std::to_string(getpid()));
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
