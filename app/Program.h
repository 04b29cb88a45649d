#pragma once
// The program's entry, shared by the program over the real disks and the
// demo over emulated ones: one copy at a time, the application, the state
// objects, the main window and its message loop.

#include <QApplication>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/Host.h"

namespace ardenvel::app {

class Dialogs;
class TForm1;

inline constexpr char kApplicationTitle[] = "Ardenvel v0.21";

// Catches what an event handler throws, shows it in the error box and ends
// the message loop with exit code 0.
class ArdenvelApplication : public QApplication {
public:
    ArdenvelApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

    void setErrorDialogs(Dialogs* dialogs) { dialogs_ = dialogs; }
    // The standard error box: the application's title, the message, an
    // error icon.
    void reportEscaped(const std::string& message);

private:
    Dialogs* dialogs_ = nullptr;
    bool reporting_ = false;
};

struct ProgramSetup {
    // Called once the single-instance lock is held and the application
    // exists. May throw; that is shown in the error box.
    std::function<std::unique_ptr<Host>()> makeHost;
    // The dialogs to use; the Qt ones when empty. Tests answer them.
    std::function<std::unique_ptr<Dialogs>()> makeDialogs;
    // After the main window is shown, before the message loop runs.
    std::function<void(TForm1& form, Host& host, Dialogs& dialogs)> started;
    // Where the single-instance lock and the device lock live; the machine's
    // own when empty. A program over emulated enclosures keeps its own.
    std::filesystem::path lockDirectory;
    // Where the day's log files and record dumps go; chosen from the
    // program's folder when empty. The demo keeps its emulated events out
    // of the real enclosures' log.
    std::filesystem::path logDirectory;
};

// Returns the exit code: 0, whatever happened.
int RunProgram(int& argc, char** argv, const ProgramSetup& setup);

// Why the window works without its disks (the user declined the helper's
// prompt, or it could not start): the summary once in the status bar's
// message panel, the whole text once in a box when the message loop runs.
void showHostNotice(TForm1& form, Dialogs& dialogs, const std::string& summary, const std::string& text);

}  // namespace ardenvel::app
