#pragma once
// How the core talks to whoever shows it: the main window, the command-line
// tool or a test. Only the window's thread calls these, except setStatusText,
// which a discovery pass may call from its own thread (the implementation
// delivers it to the window's thread).

#include <string>

namespace ardenvel {

enum class BoxButtons { Ok, YesNo };
enum class BoxIcon { None, Error, Warning };
enum class BoxResult { Ok, Yes, No };

// Indexes of the main window's status-bar panels.
inline constexpr int kPanelChecksum = 0;
inline constexpr int kPanelMessages = 4;

class Ui {
public:
    virtual ~Ui() = default;

    virtual void setStatusText(int panel, const std::string& text) = 0;
    // An empty caption means a box without a caption of its own.
    virtual BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                                 BoxIcon icon) = 0;
    // Let the window handle what is pending, between the steps of long work.
    virtual void processEvents() = 0;
};

// Shows nothing and answers every box with OK: for benchmarks and tools
// that run the core unattended.
class QuietUi final : public Ui {
public:
    void setStatusText(int, const std::string&) override {}
    BoxResult messageBox(const std::string&, const std::string&, BoxButtons, BoxIcon) override {
        return BoxResult::Ok;
    }
    void processEvents() override {}
};

// A box with caption "Message" and an OK button, as most device checks use.
inline void showMessage(Ui& ui, const std::string& text) {
    ui.messageBox(text, "Message", BoxButtons::Ok, BoxIcon::None);
}
// A box with no caption of its own.
inline void showPlain(Ui& ui, const std::string& text) {
    ui.messageBox(text, "", BoxButtons::Ok, BoxIcon::None);
}

}  // namespace ardenvel
