#pragma once
// The core's Ui over the main window: status-bar texts, message boxes
// through the dialog seam, and pending events.

#include <array>
#include <mutex>
#include <optional>
#include <string>

#include "app/Dialogs.h"
#include "app/StatusPanels.h"
#include "platform/Ui.h"

namespace ardenvel::app {

class QtUi final : public Ui {
public:
    explicit QtUi(Dialogs& dialogs) : dialogs_(dialogs) {}

    // Window's thread. Texts set before the bar existed are shown now.
    void attach(StatusPanels* bar);
    // Window's thread, before the bar is destroyed; later texts are dropped.
    void detach();

    // Any thread: delivered to the bar's thread.
    void setStatusText(int panel, const std::string& text) override;
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override;
    void processEvents() override;

    Dialogs& dialogs() { return dialogs_; }

private:
    Dialogs& dialogs_;
    std::mutex mutex_;
    StatusPanels* bar_ = nullptr;
    bool detached_ = false;
    std::array<std::optional<std::string>, 8> early_;
};

}  // namespace ardenvel::app
