#pragma once
// The Event Log window: today's log as it grows, or a log file picked by the
// user. What to show is decided by EventLogView; this class only shows it.

#include <QDialog>

#include <filesystem>
#include <functional>

#include "app/Dialogs.h"
#include "eventlog/EventLog.h"
#include "eventlog/EventLogView.h"
#include "eventlog/LogFile.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace ardenvel {

inline constexpr char kLogFileFilter[] = "Log File (*.log)|*.log|All File|*.*";

class TForm5 : public QDialog {
public:
    // The file dialog and message boxes go through dialogs.
    TForm5(const LogLines& dayLog, std::function<bool()> monitoring, std::filesystem::path logDirectory,
           app::Dialogs& dialogs, QWidget* parent = nullptr);

    void FormShow();
    void Timer1Timer();
    void Button1Click();
    void Button2Click();

    const EventLogView& view() const { return view_; }

    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QTimer* Timer1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void apply(const MemoEdit& edit);
    void applyLook();

    EventLogView view_;
    std::filesystem::path logDirectory_;
    app::Dialogs& dialogs_;
    LogFiles files_;
    bool shown_ = false;
};

// Kept by the main window for its "Log" button: each click opens a modal
// window of its own, but not while one is still open.
class EventLogLauncher {
public:
    EventLogLauncher(const EventLogState& log, std::function<bool()> monitoring, app::Dialogs& dialogs);

    // Shows the window until it is closed; false, having done nothing, when
    // a window it opened is still open.
    bool open(QWidget* parent);
    TForm5* current() const { return current_; }

private:
    const EventLogState& log_;
    std::function<bool()> monitoring_;
    app::Dialogs& dialogs_;
    TForm5* current_ = nullptr;
};

}  // namespace ardenvel
