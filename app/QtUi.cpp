#include "app/QtUi.h"

#include <QCoreApplication>
#include <QThread>

namespace ardenvel::app {

void QtUi::attach(StatusPanels* bar) {
    std::lock_guard lock(mutex_);
    bar_ = bar;
    detached_ = false;
    for (std::size_t i = 0; i < early_.size(); ++i) {
        if (early_[i]) bar->setPanelText(static_cast<int>(i), QString::fromStdString(*early_[i]));
        early_[i].reset();
    }
}

void QtUi::detach() {
    std::lock_guard lock(mutex_);
    bar_ = nullptr;
    detached_ = true;
}

void QtUi::setStatusText(int panel, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (bar_ == nullptr) {
        if (!detached_ && panel >= 0 && panel < static_cast<int>(early_.size())) early_[panel] = text;
        return;
    }
    StatusPanels* bar = bar_;
    const QString qtext = QString::fromStdString(text);
    if (QThread::currentThread() == bar->thread()) {
        bar->setPanelText(panel, qtext);
        return;
    }
    // Posted while the lock keeps detach() (and so the bar's end) waiting;
    // if the bar goes before the event is handled, Qt drops the event.
    QMetaObject::invokeMethod(
        bar, [bar, panel, qtext] { bar->setPanelText(panel, qtext); }, Qt::QueuedConnection);
}

BoxResult QtUi::messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                           BoxIcon icon) {
    return dialogs_.messageBox(text, caption, buttons, icon);
}

void QtUi::processEvents() {
    // Only the window's thread has the window's events to run.
    if (QCoreApplication::instance() != nullptr &&
        QThread::currentThread() == QCoreApplication::instance()->thread())
        QCoreApplication::processEvents();
}

}  // namespace ardenvel::app
