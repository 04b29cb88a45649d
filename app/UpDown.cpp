#include "app/UpDown.h"

#include <algorithm>

namespace ardenvel::app {

UpDown::UpDown(QWidget* parent) : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
    }
    connect(up_, &QToolButton::clicked, this, &UpDown::stepUp);
    connect(down_, &QToolButton::clicked, this, &UpDown::stepDown);
}

void UpDown::setPosition(int position) {
    position_ = std::clamp(position, minimum_, std::max(minimum_, maximum_));
}

void UpDown::setMaximum(int maximum) {
    maximum_ = maximum;
    setPosition(position_);
}

// As the arrows of an up-down control do, a click at an end still counts as
// a click.
void UpDown::stepUp() {
    setPosition(position_ + 1);
    emit clicked();
}

void UpDown::stepDown() {
    setPosition(position_ - 1);
    emit clicked();
}

void UpDown::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace ardenvel::app
