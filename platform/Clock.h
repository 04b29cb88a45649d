#pragma once
// The local clock, the locale's date and time formats, and sleeping. Tests
// fix the time and the formats; the program uses the system's.

#include <chrono>
#include <cstdint>
#include <string>

namespace ardenvel {

struct LocalTime {
    int year = 0;   // four digits
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;

    friend bool operator==(const LocalTime&, const LocalTime&) = default;
};

class Clock {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;
    virtual LocalTime toLocal(TimePoint t) const = 0;
    // The locale's short date and long time, as "c" joins them.
    virtual std::string shortDate(const LocalTime& t) const = 0;
    virtual std::string longTime(const LocalTime& t) const = 0;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

// Short date, a blank, long time; the date alone at exactly midnight.
inline std::string formatDateTime(const Clock& clock, const LocalTime& t) {
    if (t.hour == 0 && t.minute == 0 && t.second == 0) return clock.shortDate(t);
    return clock.shortDate(t) + " " + clock.longTime(t);
}

}  // namespace ardenvel
