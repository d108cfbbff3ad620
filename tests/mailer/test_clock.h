#pragma once

#include "mail_clock.h"

#include <vector>

namespace sendwick::test {

// A clock standing still at 2026-12-07 09:15:02 +0900 (a Monday) that
// records pauses instead of taking them.
class FixedClock final : public MailClock
{
public:
    ZonedTime Now() const override { return time; }
    void Pause(std::chrono::milliseconds duration) const override { pauses.push_back(duration); }

    ZonedTime time{2026, 12, 7, 9, 15, 2, 1, 9 * 3600};
    mutable std::vector<std::chrono::milliseconds> pauses;
};

} // namespace sendwick::test
