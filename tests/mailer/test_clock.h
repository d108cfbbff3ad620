#pragma once

#include "mail_clock.h"

namespace sendwick::test {

// A clock standing still at 2026-12-07 09:15:02 +0900 (a Monday).
class FixedClock final : public MailClock
{
public:
    ZonedTime Now() const override { return time; }

    ZonedTime time{2026, 12, 7, 9, 15, 2, 1, 9 * 3600};
};

} // namespace sendwick::test
