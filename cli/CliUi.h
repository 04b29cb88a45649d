#pragma once
// The terminal's side of the core's interfaces: status-bar texts and boxes
// become lines on standard error, Yes/No boxes a question on the terminal.

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/Ui.h"

namespace ardenvel::cli {

class CliUi final : public Ui {
public:
    CliUi(std::FILE* err, bool assumeYes, bool interactive)
        : err_(err), assumeYes_(assumeYes), interactive_(interactive) {}

    void setStatusText(int panel, const std::string& text) override;
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override;
    void processEvents() override {
        if (onProcessEvents) onProcessEvents();
    }

    // Between flash steps: the progress display redraws itself.
    std::function<void()> onProcessEvents;
    // Texts and OK boxes are not shown; a question is still asked.
    bool quiet = false;

private:
    std::FILE* err_;
    bool assumeYes_;
    bool interactive_;
};

}  // namespace ardenvel::cli
