#include "app/GlyphButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace ardenvel::app {

namespace {
constexpr int kGlyph = 12;
constexpr int kGap = 3;
}  // namespace

void GlyphButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    option.icon = QIcon();
    p.drawControl(QStyle::CE_PushButton, option);  // bevel and focus only

    // Trailing blanks have no ink; centre what can be seen.
    QString shown = text();
    while (shown.endsWith(QLatin1Char(' '))) shown.chop(1);
    const int textWidth = fontMetrics().horizontalAdvance(shown);
    const int shift = isDown() ? 1 : 0;
    const int left = (width() - (kGlyph + kGap + textWidth)) / 2 + shift;
    const int top = shift;
    icon().paint(&p, QRect(left, (height() - kGlyph) / 2 + top, kGlyph, kGlyph), Qt::AlignCenter,
                 isEnabled() ? QIcon::Normal : QIcon::Disabled);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(QRect(left + kGlyph + kGap, top, textWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter,
               shown);
}

}  // namespace ardenvel::app
