#pragma once
// StatusBar1: a row of sunken panels of fixed widths along the bottom edge,
// each addressed by its index.

#include <QLabel>
#include <QWidget>
#include <initializer_list>
#include <vector>

namespace ardenvel::app {

class StatusPanels : public QWidget {
    Q_OBJECT

public:
    StatusPanels(std::initializer_list<int> widths, QWidget* parent = nullptr);

    int panelCount() const { return static_cast<int>(panels_.size()); }
    void setPanelText(int panel, const QString& text);
    QString panelText(int panel) const;
    int panelWidth(int panel) const;
    void setPanelWidth(int panel, int width);
    // The last panel takes what the others leave of the bar's width.
    void widenLastPanel();
    QLabel* panel(int index) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutPanels();
    static void updateToolTip(QLabel* label);

    std::vector<QLabel*> panels_;
    std::vector<int> widths_;
};

}  // namespace ardenvel::app
