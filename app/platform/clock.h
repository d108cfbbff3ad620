#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane {

// A local calendar time, to the second.
struct LocalDateTime
{
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
    int weekday = 0; // 0 = Sunday .. 6 = Saturday
};

// The one seam through which the program reads the current time. The window
// and the backup run take a Clock; tests hand in their own and move it.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual LocalDateTime Now() const = 0;
};

// The system's local time.
class SystemClock final : public Clock
{
public:
    LocalDateTime Now() const override;
};

// "yyyy-MM-dd hh:mm:ss" (24-hour): latest back time, report, result lines.
std::string FormatDateTime(const LocalDateTime& t);
// "[yyyy-MM-dd hh:mm:ss] " + text: a result line as the lists and logs show it.
std::string StampedLine(const LocalDateTime& t, std::string_view text);
// "hh:mm:ss": the clock label and the item's time of day.
std::string FormatTimeOfDay(const LocalDateTime& t);
// "yyyyMMddhhmmss": the stamp inside backup file names.
std::string FormatFileStamp(const LocalDateTime& t);

// A local time of the system's time zone as seconds since 1970-01-01 UTC.
// A time that a daylight-saving change skips or repeats is taken as the
// zone's rules read it (the earlier of two).
std::int64_t UnixSecondsOf(const LocalDateTime& t);
// A local time as ISO 8601 with the zone's offset at that time, for
// example "2026-12-08T02:00:00+09:00".
std::string FormatIso8601(const LocalDateTime& t);

} // namespace veltrane
