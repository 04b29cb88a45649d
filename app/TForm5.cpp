#include "app/TForm5.h"

#include <QFontDatabase>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <optional>
#include <string>

namespace ardenvel {

namespace {

// Paths cross the dialog seam as UTF-8.
std::string toUtf8(const std::filesystem::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}
std::filesystem::path fromUtf8(const std::string& s) {
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

// Log text is single-byte; each byte is shown as the character of that code.
QString fromLog(const std::string& line) {
    return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

}  // namespace

TForm5::TForm5(const LogLines& dayLog, std::function<bool()> monitoring, std::filesystem::path logDirectory,
               app::Dialogs& dialogs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      view_(dayLog, std::move(monitoring)),
      logDirectory_(std::move(logDirectory)),
      dialogs_(dialogs) {
    setFixedSize(465, 273);
    move(266, 227);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setGeometry(0, 0, 465, 241);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setBold(true);
    Memo1->setFont(font);

    Button1 = new QPushButton(QStringLiteral("Real Time Log"), this);
    Button1->setGeometry(96, 240, 83, 33);
    Button2 = new QPushButton(QStringLiteral("View Log File"), this);
    Button2->setGeometry(272, 240, 81, 33);
    // Enter in the memo is typing, not a click.
    Button1->setAutoDefault(false);
    Button2->setAutoDefault(false);

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);

    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void TForm5::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm5::apply(const MemoEdit& edit) {
    if (edit.clear) Memo1->clear();
    if (!edit.append.empty()) {
        QStringList lines;
        lines.reserve(static_cast<qsizetype>(edit.append.size()));
        for (const auto& line : edit.append) lines.push_back(fromLog(line));
        Memo1->appendPlainText(lines.join(QLatin1Char('\n')));
    }
}

void TForm5::applyLook() {
    setWindowTitle(QString::fromStdString(view_.caption()));
    QPalette palette = Memo1->palette();
    const QPalette normal = this->palette();
    palette.setColor(QPalette::Active, QPalette::Text,
                     view_.grey() ? normal.color(QPalette::Disabled, QPalette::Text)
                                  : normal.color(QPalette::Active, QPalette::Text));
    palette.setColor(QPalette::Inactive, QPalette::Text, palette.color(QPalette::Active, QPalette::Text));
    Memo1->setPalette(palette);
    if (view_.timerEnabled()) {
        if (!Timer1->isActive()) Timer1->start();
    } else {
        Timer1->stop();
    }
}

void TForm5::FormShow() {
    apply(view_.show());
    applyLook();
}

void TForm5::Timer1Timer() {
    apply(view_.tick());
    applyLook();
}

void TForm5::Button1Click() {
    Timer1->stop();
    apply(view_.realTimeLog());
    applyLook();
}

void TForm5::Button2Click() {
    view_.beginViewFile();
    applyLook();
    std::optional<std::filesystem::path> chosen;
    if (auto file = dialogs_.chooseOpenFile(kLogFileFilter, toUtf8(logDirectory_))) chosen = fromUtf8(*file);
    const auto outcome = view_.endViewFile(chosen, files_);
    apply(outcome.edit);
    applyLook();
    if (outcome.result == FileViewResult::Unreadable || outcome.result == FileViewResult::TooLarge) {
        dialogs_.messageBox(outcome.error, "Message", BoxButtons::Ok, BoxIcon::None);
    }
}

EventLogLauncher::EventLogLauncher(const EventLogState& log, std::function<bool()> monitoring,
                                   app::Dialogs& dialogs)
    : log_(log), monitoring_(std::move(monitoring)), dialogs_(dialogs) {}

bool EventLogLauncher::open(QWidget* parent) {
    if (current_) return false;
    TForm5 form(log_.DayLog, monitoring_, log_.LogDirectory, dialogs_, parent);
    current_ = &form;
    struct Reset {
        TForm5*& p;
        ~Reset() { p = nullptr; }
    } reset{current_};
    form.exec();
    return true;
}

}  // namespace ardenvel
