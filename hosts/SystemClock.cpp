#include <ctime>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "hosts/SystemClock.h"

namespace ardenvel {
namespace {

std::tm toTm(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    std::mktime(&tm);  // fills the weekday that some date formats name
    return tm;
}

std::string format(const LocalTime& t, const char* pattern) {
    std::tm tm = toTm(t);
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
    return std::string(buf, n);
}

}  // namespace

Clock::TimePoint SystemClock::now() const {
    return std::chrono::system_clock::now();
}

LocalTime SystemClock::toLocal(TimePoint tp) const {
    const std::time_t tt = std::chrono::system_clock::to_time_t(tp);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &tt);
#else
    localtime_r(&tt, &tm);
#endif
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

#ifdef _WIN32

// The user's own formats, as set in the regional settings; the C runtime's
// %x and %X know only the locale's defaults, and only after setlocale.
static SYSTEMTIME toSystemTime(const LocalTime& t) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    return st;
}

std::string SystemClock::shortDate(const LocalTime& t) const {
    const SYSTEMTIME st = toSystemTime(t);
    char buf[128];
    const int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n - 1)) : format(t, "%x");
}
std::string SystemClock::longTime(const LocalTime& t) const {
    const SYSTEMTIME st = toSystemTime(t);
    char buf[128];
    const int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n - 1)) : format(t, "%X");
}

#else

// %x and %X follow the user's LC_TIME once the program has called setlocale.
std::string SystemClock::shortDate(const LocalTime& t) const {
    return format(t, "%x");
}
std::string SystemClock::longTime(const LocalTime& t) const {
    return format(t, "%X");
}

#endif

void SystemClock::sleepFor(std::chrono::milliseconds d) {
    std::this_thread::sleep_for(d);
}

}  // namespace ardenvel
