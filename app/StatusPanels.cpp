#include "app/StatusPanels.h"

#include <algorithm>

namespace ardenvel::app {

StatusPanels::StatusPanels(std::initializer_list<int> widths, QWidget* parent)
    : QWidget(parent), widths_(widths) {
    for (std::size_t i = 0; i < widths_.size(); ++i) {
        auto* label = new QLabel(this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setIndent(2);
        label->setTextFormat(Qt::PlainText);
        panels_.push_back(label);
    }
    layoutPanels();
}

void StatusPanels::setPanelText(int panel, const QString& text) {
    if (QLabel* l = this->panel(panel)) {
        l->setText(text);
        updateToolTip(l);
    }
}

void StatusPanels::updateToolTip(QLabel* l) {
    // The panels keep their widths, so a checksum or a long path may be cut
    // off; hovering shows the whole text then.
    const int room = l->contentsRect().width() - l->indent();
    const bool clipped = l->fontMetrics().horizontalAdvance(l->text()) > room;
    l->setToolTip(clipped ? l->text() : QString());
}

QString StatusPanels::panelText(int panel) const {
    const QLabel* l = this->panel(panel);
    return l ? l->text() : QString();
}

int StatusPanels::panelWidth(int panel) const {
    return panel >= 0 && panel < panelCount() ? widths_[panel] : 0;
}

void StatusPanels::setPanelWidth(int panel, int width) {
    if (panel < 0 || panel >= panelCount()) return;
    widths_[panel] = width;
    layoutPanels();
}

void StatusPanels::widenLastPanel() {
    if (panels_.empty()) return;
    int others = 0;
    for (int i = 0; i + 1 < panelCount(); ++i) others += widths_[i];
    setPanelWidth(panelCount() - 1, std::max(0, width() - others));
}

QLabel* StatusPanels::panel(int index) const {
    return index >= 0 && index < panelCount() ? panels_[index] : nullptr;
}

void StatusPanels::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutPanels();
}

void StatusPanels::layoutPanels() {
    // Two pixels between panels and above them, as a status bar draws them.
    int x = 0;
    for (int i = 0; i < panelCount(); ++i) {
        panels_[i]->setGeometry(x, 2, std::max(0, widths_[i] - 2), std::max(0, height() - 2));
        updateToolTip(panels_[i]);
        x += widths_[i];
    }
}

}  // namespace ardenvel::app
