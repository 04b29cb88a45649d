#pragma once
// The main window's controls as the monitor sees them. The monitor decides,
// the window only shows: TForm1 implements this over its widgets, the tests
// over plain fields.
//
// Every call comes on the window's thread. Setters change exactly what they
// name and nothing else; in particular:
// - setBoxTicked changes the box silently. It must not run the box's change
//   handler: the monitor runs CheckBox6Click/CheckBox7Click itself when a
//   refresh changed a box. The window calls the handlers only for the user's
//   own clicks (in Qt: QAbstractButton::clicked, not toggled).
// - setTabShown and setActiveTab never run PageControl1Change, even when
//   hiding the current tab makes the toolkit pick another one; the monitor
//   sees the move through activeTab. The window calls PageControl1Change only
//   when the user picks a tab.

#include <cstdint>
#include <string>

namespace ardenvel {

// The labels of the status panel.
enum class PanelLabel {
    Label17,      // name of the RAID mode in force
    Label18,      // volume state, or scan/rebuild progress
    Label19,      // state of P0
    Label24,      // state of P1
    Label25,      // capacity and model of the P0 disk
    Label26,      // capacity and model of the P1 disk
    Label27,      // capacity of the volume
    StaticText6,  // "Bad Sector" mark of P0
    StaticText7,  // "Bad Sector" mark of P1
};
inline constexpr int kPanelLabelCount = 9;

enum class Colour { Black, Navy, Red, Blue, Fuchsia };

struct Rgb {
    std::uint8_t r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
constexpr Rgb rgbOf(Colour c) {
    switch (c) {
        case Colour::Black: return {0, 0, 0};
        case Colour::Navy: return {0, 0, 128};
        case Colour::Red: return {255, 0, 0};
        case Colour::Blue: return {0, 0, 255};
        case Colour::Fuchsia: return {255, 0, 255};
    }
    return {0, 0, 0};
}

enum class MainButton {
    Button10,  // "Start"
    Button11,  // "Stop"
    BitBtn1,   // "Load Firmware "
    Button2,   // "Start Upgrade"
    Button1,   // "Log"
    Button3,   // P0 scan
    Button4,   // P1 scan
};

enum class MainBox {
    CheckBox1,  // Device1, slot 0
    CheckBox3,  // Device2, slot 1
    CheckBox4,  // Device3, slot 2
    CheckBox5,  // Device4, slot 3
    CheckBox6,  // "Buzzer Mute"
    CheckBox7,  // "Auto Scan"
};
// The Device box of slot 0..3.
constexpr MainBox deviceBox(int slot) {
    constexpr MainBox boxes[4] = {MainBox::CheckBox1, MainBox::CheckBox3, MainBox::CheckBox4,
                                  MainBox::CheckBox5};
    return boxes[slot & 3];
}

enum class MainText {
    StaticText1,  // device caption in "Firmware Upgrade"
    StaticText3,  // elapsed time
    StaticText4,  // drive-removed time
    StaticText5,  // firmware revision
};

enum class MainTimer { Timer2, Timer3 };

class MainView {
public:
    virtual ~MainView() = default;

    // Status panel labels.
    virtual void setLabelText(PanelLabel label, const std::string& text) = 0;
    virtual void setLabelColour(PanelLabel label, Colour colour) = 0;
    virtual void setLabelEnabled(PanelLabel label, bool enabled) = 0;

    // Buttons.
    virtual void setButtonEnabled(MainButton button, bool enabled) = 0;
    virtual bool buttonEnabled(MainButton button) const = 0;
    virtual void setButtonShown(MainButton button, bool shown) = 0;
    virtual void setButtonCaption(MainButton button, const std::string& caption) = 0;

    // Check boxes.
    virtual bool boxTicked(MainBox box) const = 0;
    virtual void setBoxTicked(MainBox box, bool ticked) = 0;  // silent, see above
    virtual void setBoxEnabled(MainBox box, bool enabled) = 0;
    virtual void setBoxShown(MainBox box, bool shown) = 0;
    virtual void setBoxTooltip(MainBox box, const std::string& tooltip) = 0;

    // PageControl1: tabs 0..3 (TabSheet1..TabSheet4), tab n shows slot n.
    virtual void setTabShown(int tab, bool shown) = 0;
    virtual void setTabCaption(int tab, const std::string& caption) = 0;
    // The active tab page, or -1 when none is.
    virtual int activeTab() const = 0;
    virtual void setActiveTab(int tab) = 0;

    // UpDown1.
    virtual void setUpDownShown(bool shown) = 0;
    virtual void setUpDownEnabled(bool enabled) = 0;
    virtual void setUpDownMax(int maximum) = 0;
    virtual int upDownPosition() const = 0;

    // Static texts.
    virtual void setText(MainText control, const std::string& text) = 0;
    virtual std::string text(MainText control) const = 0;
    virtual void setTextShown(MainText control, bool shown) = 0;
    virtual bool textShown(MainText control) const = 0;

    virtual void setWindowCaption(const std::string& caption) = 0;

    virtual void startTimer(MainTimer timer) = 0;
    virtual void stopTimer(MainTimer timer) = 0;
};

}  // namespace ardenvel
