#pragma once
// UpDown1: a pair of arrow buttons stepping a position between a minimum
// and a maximum, with no text field of its own.

#include <QToolButton>
#include <QWidget>

namespace ardenvel::app {

class UpDown : public QWidget {
    Q_OBJECT

public:
    explicit UpDown(QWidget* parent = nullptr);

    int position() const { return position_; }
    void setPosition(int position);
    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    void setMaximum(int maximum);

    // What a click on an arrow does, for tests and the keyboard.
    void stepUp();
    void stepDown();

signals:
    // After an arrow was clicked and the position moved (or stood at its end).
    void clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
    int position_ = 0;
    int minimum_ = 0;
    int maximum_ = 0;
};

}  // namespace ardenvel::app
