#pragma once
// Stand-ins for the window and the clock: they record what the core showed
// and answer message boxes from a script, without anything modal.

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Ui.h"

namespace ardenvel::test {

struct ShownBox {
    std::string text;
    std::string caption;
    BoxButtons buttons;
    BoxIcon icon;
};

class TestUi : public Ui {
public:
    void setStatusText(int panel, const std::string& text) override {
        std::lock_guard lock(mutex_);
        panels[panel] = text;
        panelHistory[panel].push_back(text);
    }
    BoxResult messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                         BoxIcon icon) override {
        std::lock_guard lock(mutex_);
        boxes.push_back({text, caption, buttons, icon});
        if (buttons == BoxButtons::Ok) return BoxResult::Ok;
        if (answers.empty()) return BoxResult::No;
        BoxResult r = answers.front();
        answers.pop_front();
        return r;
    }
    void processEvents() override {
        ++processEventsCalls;
        if (onProcessEvents) onProcessEvents();
    }

    std::string panel(int i) {
        std::lock_guard lock(mutex_);
        return panels[i];
    }
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : boxes) out.push_back(b.text);
        return out;
    }

    std::map<int, std::string> panels;
    std::map<int, std::vector<std::string>> panelHistory;
    std::vector<ShownBox> boxes;
    std::deque<BoxResult> answers;  // for Yes/No boxes; No when empty
    unsigned processEventsCalls = 0;
    std::function<void()> onProcessEvents;

private:
    std::mutex mutex_;
};

// A clock that stands still unless moved, with fixed formats:
// short date dd.mm.yyyy, long time hh:nn:ss. Sleeping only moves it.
class FixedClock : public Clock {
public:
    FixedClock() : current(std::chrono::sys_days{std::chrono::year{2026} / 12 / 7} + std::chrono::hours{9}) {}
    TimePoint now() const override { return current; }
    LocalTime toLocal(TimePoint t) const override {
        const auto days = std::chrono::floor<std::chrono::days>(t);
        const std::chrono::year_month_day ymd{days};
        const std::chrono::hh_mm_ss hms{std::chrono::floor<std::chrono::seconds>(t - days)};
        return {int(ymd.year()),          int(unsigned(ymd.month())), int(unsigned(ymd.day())),
                int(hms.hours().count()), int(hms.minutes().count()), int(hms.seconds().count())};
    }
    std::string shortDate(const LocalTime& t) const override {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", t.day, t.month, t.year);
        return buf;
    }
    std::string longTime(const LocalTime& t) const override {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
        return buf;
    }
    void sleepFor(std::chrono::milliseconds d) override {
        slept += d;
        if (advanceOnSleep) current += d;
    }
    void set(int y, int mo, int d, int h, int mi, int s) {
        current = std::chrono::sys_days{std::chrono::year{y} / mo / d} + std::chrono::hours{h} +
                  std::chrono::minutes{mi} + std::chrono::seconds{s};
    }

    TimePoint current;
    std::chrono::milliseconds slept{0};
    bool advanceOnSleep = false;
};

}  // namespace ardenvel::test
