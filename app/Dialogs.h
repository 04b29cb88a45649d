#pragma once
// Every modal box and file dialog of the windows goes through here, so that
// tests can answer them without anything modal appearing.

#include <optional>
#include <string>

#include "platform/Ui.h"

class QWidget;
class QString;

namespace ardenvel::app {

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // An empty caption means a box without a caption of its own.
    virtual BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                                 BoxIcon icon) = 0;
    // filter in the "Text|pattern|Text|pattern" form; nothing when cancelled.
    virtual std::optional<std::string> chooseOpenFile(const std::string& filter,
                                                      const std::string& startDir) = 0;
};

// QMessageBox and QFileDialog, over whichever window is active.
class QtDialogs final : public Dialogs {
public:
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override;
    std::optional<std::string> chooseOpenFile(const std::string& filter,
                                              const std::string& startDir) override;
};

// "Binary code (*.bin)|*.bin|All files (*.*)|*.*" as QFileDialog wants it:
// "Binary code (*.bin);;All files (*)". "*.*" becomes "*", which on Linux
// also matches names without a dot, as it does on Windows.
QString qtFileFilter(const std::string& filter);

}  // namespace ardenvel::app
