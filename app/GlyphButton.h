#pragma once
// A push button with a small glyph left of its caption, laid out tighter
// than the style's own icon buttons so "Load Firmware " and its glyph fit
// the button's 105 pixels.

#include <QPushButton>

namespace ardenvel::app {

class GlyphButton : public QPushButton {
    Q_OBJECT

public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace ardenvel::app
