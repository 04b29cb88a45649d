#pragma once

#include "platform/Clock.h"

namespace ardenvel {

// The clock of the machine: local time zone, the user's LC_TIME.
class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    LocalTime toLocal(TimePoint t) const override;
    std::string shortDate(const LocalTime& t) const override;
    std::string longTime(const LocalTime& t) const override;
    void sleepFor(std::chrono::milliseconds duration) override;
};

}  // namespace ardenvel
