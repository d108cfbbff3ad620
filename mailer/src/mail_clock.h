#pragma once

namespace sendwick {

// A local calendar time with its distance from UTC, enough for the DATE
// header and the log stamp.
struct ZonedTime
{
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..60
    int weekday = 0; // 0 = Sunday .. 6 = Saturday
    long utcOffsetSeconds = 0;
};

// The library's only access to the wall clock, so that tests can fix the
// time. Network time-outs are not behind this seam: they are real waits on a
// peer.
class MailClock
{
public:
    virtual ~MailClock() = default;
    virtual ZonedTime Now() const = 0;
};

class SystemMailClock final : public MailClock
{
public:
    ZonedTime Now() const override;
};

} // namespace sendwick
