#pragma once
// What the window tests share: the application object, dialogs answered
// from a script, the state objects a program would make, and waiting for
// the window's threads.

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/QtUi.h"
#include "app/TForm1.h"
#include "device/DeviceState.h"
#include "eventlog/EventLog.h"
#include "firmware/FirmwareState.h"
#include "hosts/virtual/VirtualHost.h"
#include "monitor/MonitorState.h"
#include "tests/support/HostUnderTest.h"
#include "tests/support/TestUi.h"
#include "tests/support/UdevEcho.h"

namespace ardenvel::test {

// One application for the whole test program; other window tests may have
// made it already.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) {
        new app::ArdenvelApplication(argc, argv);
        QApplication::setApplicationName(QString::fromLatin1(app::kApplicationTitle));
    }
    return *static_cast<QApplication*>(QApplication::instance());
}

struct Box {
    std::string text, caption;
    BoxButtons buttons;
    BoxIcon icon;
};

// Answers boxes (Yes/No from `answers`, No when empty) and file dialogs
// (from `files`, cancelled when empty) without showing anything.
class ScriptedDialogs : public app::Dialogs {
public:
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override {
        boxes.push_back({text, caption, buttons, icon});
        // What happens while the box would be open.
        if (onBox) onBox(Box(boxes.back()));
        if (buttons == BoxButtons::Ok) return BoxResult::Ok;
        if (answers.empty()) return BoxResult::No;
        const BoxResult r = answers.front();
        answers.pop_front();
        return r;
    }
    std::optional<std::string> chooseOpenFile(const std::string& filter,
                                              const std::string& startDir) override {
        fileDialogs.push_back({filter, startDir});
        if (files.empty()) return std::nullopt;
        auto f = files.front();
        files.pop_front();
        return f;
    }
    std::vector<Box> boxes;
    std::function<void(const Box&)> onBox;
    std::deque<BoxResult> answers;
    std::vector<std::pair<std::string, std::string>> fileDialogs;
    std::deque<std::optional<std::string>> files;
};

// Runs the window's events until `done` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// The state objects and the window over a virtual host, as the program
// makes them. The clock stands still at 07.12.2026 09:00:00, so discovery's
// pauses take no time.
struct WindowHarness {
    WindowHarness() {
        application();
        echoAsTheRunAsks(host);
        dir = std::filesystem::temp_directory_path() /
              ("ardenvel-app-test-" + std::to_string(QCoreApplication::applicationPid()));
        std::filesystem::create_directories(dir);
        log.LogDirectory = dir;
    }
    ~WindowHarness() {
        form.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    app::TForm1& create() {
        form = std::make_unique<app::TForm1>(app::Subsystems{dev, monitor, log, firmware, clock, ui, dir});
        return *form;
    }

    // Two enclosures, drive 1 (reserved LBAs, volumes E and F) and drive 2
    // (USB, volume G), behind a plain system disk with C.
    void addTwoEnclosures() {
        host.addOrdinaryDisk(0);
        host.addVolume('C', kDriveFixed, 0);
        virt::EnclosureConfig lba;
        lba.route = virt::Route::Lba;
        lba.model = "QX Mirror Box";
        host.addEnclosure(1, lba);
        host.addVolume('E', kDriveFixed, 1);
        host.addVolume('F', kDriveFixed, 1);
        virt::EnclosureConfig usb;
        usb.route = virt::Route::UsbShift;
        usb.model = "QX USB Mirror";
        usb.firmwareRevision = "090618.0";
        host.addEnclosure(2, usb);
        host.addVolume('G', kDriveFixed, 2);
    }

    bool waitForCaption(const QString& caption, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitUntil([&] { return form->StaticText1->text() == caption; }, limit);
    }

    std::filesystem::path dir;
    virt::VirtualHost host;
    HostUnderTest through{host};
    ScriptedDialogs dialogs;
    app::QtUi ui{dialogs};
    FixedClock clock;
    DeviceState dev{through.host(), ui, clock};
    MonitorState monitor;
    EventLogState log;
    FirmwareState firmware;
    std::unique_ptr<app::TForm1> form;
};

}  // namespace ardenvel::test
