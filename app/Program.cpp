#include "app/Program.h"

#include <QTimer>
#include <cstdlib>
#include <exception>

#include "app/Dialogs.h"
#include "app/QtUi.h"
#include "app/SingleInstance.h"
#include "app/TForm1.h"
#include "device/DeviceState.h"
#include "eventlog/EventLog.h"
#include "eventlog/LogFile.h"
#include "firmware/FirmwareState.h"
#include "hosts/ExecutableDirectory.h"
#include "hosts/MachineLock.h"
#include "hosts/SystemClock.h"
#include "monitor/MonitorState.h"
#include "platform/Ui.h"

namespace ardenvel::app {

ArdenvelApplication::ArdenvelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool ArdenvelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportEscaped(e.what());
    } catch (...) {
        reportEscaped("Unknown exception");
    }
    return false;
}

void ArdenvelApplication::reportEscaped(const std::string& message) {
    // The box runs its own event loop; a second failure meanwhile only ends it.
    if (!reporting_) {
        reporting_ = true;
        if (dialogs_ != nullptr) {
            dialogs_->messageBox(message, kApplicationTitle, BoxButtons::Ok, BoxIcon::Error);
        } else {
            QtDialogs().messageBox(message, kApplicationTitle, BoxButtons::Ok, BoxIcon::Error);
        }
        reporting_ = false;
    }
    exit(0);
}

void showHostNotice(TForm1& form, Dialogs& dialogs, const std::string& summary, const std::string& text) {
    form.StatusBar1->setPanelText(kPanelMessages, QString::fromStdString(summary));
    QTimer::singleShot(0, &form, [&dialogs, text] {
        dialogs.messageBox(text, "Message", BoxButtons::Ok, BoxIcon::Warning);
    });
}

int RunProgram(int& argc, char** argv, const ProgramSetup& setup) {
    // A second copy ends here: no window, no message.
    const bool ownLocks = !setup.lockDirectory.empty();
    const auto instance = ownLocks ? std::make_unique<SingleInstance>(kInstanceMutexName, setup.lockDirectory)
                                   : std::make_unique<SingleInstance>(kInstanceMutexName);
    if (!instance->acquired()) return 0;
    const std::unique_ptr<MachineLock> machineLock =
        ownLocks ? makeDirectoryLock(setup.lockDirectory) : makeSystemMachineLock();

    ArdenvelApplication app(argc, argv);
    ArdenvelApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
    std::unique_ptr<Dialogs> dialogs =
        setup.makeDialogs ? setup.makeDialogs() : std::make_unique<QtDialogs>();
    app.setErrorDialogs(dialogs.get());
    try {
        std::unique_ptr<Host> host = setup.makeHost();
        QtUi ui(*dialogs);
        SystemClock clock;
        DeviceState dev(*host, ui, clock);
        dev.operationLock.setMachineLock(machineLock.get());
        MonitorState monitor;
        EventLogState log;
        FirmwareState firmware;
        const std::filesystem::path programDir = executableDirectory();
        log.LogDirectory = chooseLogDirectory(thisProgram(), processEnv);

#ifdef _WIN32
        const std::optional<std::filesystem::path> notes =
            ownLocks ? std::optional<std::filesystem::path>(setup.lockDirectory) : std::nullopt;
#else
        const std::optional<std::filesystem::path> notes =
            ownLocks ? std::optional<std::filesystem::path>(setup.lockDirectory)
                     : systemMachineLockDirectory();
#endif
        TForm1 form({dev, monitor, log, firmware, clock, ui, programDir, notes});
        form.show();
        if (setup.started) setup.started(form, *host, *dialogs);
        ArdenvelApplication::exec();
        if (!form.shutdown()) {
            // A probe is inside a request the drive may take minutes to
            // answer. Probes only read, and every file is written whole, so
            // ending here leaves nothing half-done; the system lets go of
            // the locks.
            std::_Exit(0);
        }
    } catch (const std::exception& e) {
        app.reportEscaped(e.what());
    } catch (...) {
        app.reportEscaped("Unknown exception");
    }
    app.setErrorDialogs(nullptr);
    return 0;
}

}  // namespace ardenvel::app
