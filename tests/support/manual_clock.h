#pragma once

#include "platform/clock.h"
#include "schedule/due_rules.h"

#include <stdexcept>
#include <string>

namespace veltrane::test {

// A clock that tests set by hand: time moves only when the test says so.
class ManualClock final : public Clock
{
public:
    explicit ManualClock(const std::string& dateTime = "2026-12-07 09:00:00") { Set(dateTime); }

    LocalDateTime Now() const override { return now_; }

    // "yyyy-MM-dd hh:mm:ss"; the weekday is worked out from the date.
    void Set(const std::string& dateTime)
    {
        auto parsed = ParseDateTime(dateTime);
        if (!parsed)
            throw std::invalid_argument("not a date and time: " + dateTime);
        now_ = *parsed;
    }

private:
    LocalDateTime now_;
};

} // namespace veltrane::test
