#pragma once
// The main window's controls as plain fields, starting as the window does
// after its creation handler. Counts writes so a test can tell "left
// untouched" from "rewritten with the same value".

#include <array>
#include <string>

#include "monitor/MainView.h"

namespace ardenvel::test {

struct FakeLabel {
    std::string text;
    Colour colour = Colour::Black;
    bool enabled = true;
    int textWrites = 0;
    int colourWrites = 0;
    int enabledWrites = 0;
};

struct FakeButton {
    bool enabled = true;
    bool shown = true;
    std::string caption;
    int captionWrites = 0;
    int shownWrites = 0;
};

struct FakeBox {
    bool ticked = true;
    bool enabled = true;
    bool shown = true;
    std::string tooltip;
};

struct FakeTab {
    bool shown = false;
    std::string caption;
};

struct FakeText {
    std::string text;
    bool shown = true;
};

class FakeMainView : public MainView {
public:
    FakeMainView() {
        label(PanelLabel::Label25).colour = Colour::Navy;
        label(PanelLabel::Label26).colour = Colour::Navy;
        label(PanelLabel::Label27).colour = Colour::Navy;
        label(PanelLabel::Label17).colour = Colour::Blue;
        label(PanelLabel::Label18).colour = Colour::Fuchsia;
        label(PanelLabel::StaticText6).colour = Colour::Red;
        label(PanelLabel::StaticText7).colour = Colour::Red;
        const char* captions[7] = {"Start", "Stop",          "Load Firmware ", "Start Upgrade",
                                   "Log",   "Start P0 Scan", "Start P1 Scan"};
        for (int i = 0; i < 7; ++i) buttons[i].caption = captions[i];
        for (auto b : {MainButton::Button10, MainButton::Button11, MainButton::BitBtn1, MainButton::Button2})
            button(b).enabled = false;
        for (auto b : {MainButton::Button1, MainButton::Button3, MainButton::Button4})
            button(b).shown = false;
        for (int s = 0; s < 4; ++s) box(deviceBox(s)).shown = false;
        box(MainBox::CheckBox6).ticked = false;
        box(MainBox::CheckBox7).ticked = false;
        box(MainBox::CheckBox7).shown = false;
        texts[0].text = "Drive detecting";
        texts[1].text = "Time Elapsed 0-00:00:00";
        texts[2].shown = false;
    }

    FakeLabel& label(PanelLabel l) { return labels[static_cast<int>(l)]; }
    FakeButton& button(MainButton b) { return buttons[static_cast<int>(b)]; }
    FakeBox& box(MainBox b) { return boxes[static_cast<int>(b)]; }
    FakeText& staticText(MainText t) { return texts[static_cast<int>(t)]; }

    void setLabelText(PanelLabel l, const std::string& t) override {
        label(l).text = t;
        ++label(l).textWrites;
    }
    void setLabelColour(PanelLabel l, Colour c) override {
        label(l).colour = c;
        ++label(l).colourWrites;
    }
    void setLabelEnabled(PanelLabel l, bool e) override {
        label(l).enabled = e;
        ++label(l).enabledWrites;
    }

    void setButtonEnabled(MainButton b, bool e) override { button(b).enabled = e; }
    bool buttonEnabled(MainButton b) const override { return buttons[static_cast<int>(b)].enabled; }
    void setButtonShown(MainButton b, bool s) override {
        button(b).shown = s;
        ++button(b).shownWrites;
    }
    void setButtonCaption(MainButton b, const std::string& c) override {
        button(b).caption = c;
        ++button(b).captionWrites;
    }

    bool boxTicked(MainBox b) const override { return boxes[static_cast<int>(b)].ticked; }
    void setBoxTicked(MainBox b, bool t) override { box(b).ticked = t; }
    void setBoxEnabled(MainBox b, bool e) override { box(b).enabled = e; }
    void setBoxShown(MainBox b, bool s) override { box(b).shown = s; }
    void setBoxTooltip(MainBox b, const std::string& t) override { box(b).tooltip = t; }

    void setTabShown(int tab, bool s) override { tabs[tab].shown = s; }
    void setTabCaption(int tab, const std::string& c) override { tabs[tab].caption = c; }
    int activeTab() const override { return active; }
    void setActiveTab(int tab) override { active = tab; }

    void setUpDownShown(bool s) override { upDownShown = s; }
    void setUpDownEnabled(bool e) override { upDownEnabled = e; }
    void setUpDownMax(int m) override { upDownMax = m; }
    int upDownPosition() const override { return upDownPos; }

    void setText(MainText t, const std::string& s) override { staticText(t).text = s; }
    std::string text(MainText t) const override { return texts[static_cast<int>(t)].text; }
    void setTextShown(MainText t, bool s) override { staticText(t).shown = s; }
    bool textShown(MainText t) const override { return texts[static_cast<int>(t)].shown; }

    void setWindowCaption(const std::string& c) override { caption = c; }

    void startTimer(MainTimer t) override { timerRunning[static_cast<int>(t)] = true; }
    void stopTimer(MainTimer t) override { timerRunning[static_cast<int>(t)] = false; }
    bool timer2() const { return timerRunning[0]; }
    bool timer3() const { return timerRunning[1]; }

    std::array<FakeLabel, kPanelLabelCount> labels{};
    std::array<FakeButton, 7> buttons{};
    std::array<FakeBox, 6> boxes{};
    std::array<FakeTab, 4> tabs{};
    std::array<FakeText, 4> texts{};
    int active = 0;
    bool upDownShown = false;
    bool upDownEnabled = true;
    int upDownMax = 0;
    int upDownPos = 0;
    std::string caption = "Ardenvel v0.21";
    std::array<bool, 2> timerRunning{false, true};
};

}  // namespace ardenvel::test
