#pragma once

// Local calendar arithmetic for the due rules: times counted as whole days,
// hours, minutes and seconds since 1970-01-01 00:00:00 of the same calendar
// (no time zone is involved: every time of the program is local), and the
// reading of the stored date and time texts.

#include "platform/clock.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrane {

inline constexpr std::int64_t kMinute = 60;
inline constexpr std::int64_t kHour = 60 * kMinute;
inline constexpr std::int64_t kDay = 24 * kHour;

// The calendar date's day since 1970-01-01, and the hour and minute counted
// the same way: the number of midnights, hour and minute boundaries passed.
std::int64_t DayNumber(const LocalDateTime& t);
std::int64_t HourNumber(const LocalDateTime& t);
std::int64_t MinuteNumber(const LocalDateTime& t);

// Seconds of a local calendar time since 1970-01-01 00:00:00 of the same
// calendar, and back: a cheap form for comparing and subtracting times.
std::int64_t SecondsOf(const LocalDateTime& t);
LocalDateTime AtSeconds(std::int64_t seconds);

// `t` moved by `seconds` (negative: back), on the local calendar.
LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds);

int DaysInMonth(int year, int month);

// "h:m" or "h:m:s" with a valid time of day, as seconds since midnight; the
// whole text must be used.
std::optional<int> ParseTimeOfDaySeconds(std::string_view text);

// Reads "yyyy-MM-dd hh:mm:ss" (one- or two-digit parts are accepted; the time
// may be left out). nullopt when the text is no valid date and time.
std::optional<LocalDateTime> ParseDateTime(std::string_view text);

} // namespace veltrane
