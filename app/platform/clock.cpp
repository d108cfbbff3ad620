#include "platform/clock.h"

#include <cstdio>
#include <ctime>
#include <optional>

namespace veltrane {

LocalDateTime SystemClock::Now() const
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
            tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

std::string FormatDateTime(const LocalDateTime& t)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return buffer;
}

std::string FormatTimeOfDay(const LocalDateTime& t)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return buffer;
}

std::string FormatFileStamp(const LocalDateTime& t)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buffer;
}

namespace {

bool SameLocalTime(const std::tm& tm, const LocalDateTime& t)
{
    return tm.tm_year + 1900 == t.year && tm.tm_mon + 1 == t.month && tm.tm_mday == t.day &&
           tm.tm_hour == t.hour && tm.tm_min == t.minute && tm.tm_sec == t.second;
}

// The local time `t` of the system's zone as the zone reads it, and its Unix
// seconds. mktime looks at the zone file again on every call (without TZ it
// checks /etc/localtime each time), which costs more than the conversion;
// nearly every time a program converts shares the offset from UTC of the
// time before, so that offset is tried first and kept when the zone reads
// the result back as `t`. A time that a daylight-saving change repeats may
// then take the offset of the time before rather than the earlier of two.
std::tm ZoneTime(const LocalDateTime& t, std::time_t& seconds)
{
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    thread_local std::optional<long> lastOffset; // seconds east of UTC
    if (lastOffset) {
        std::tm asUtc = tm;
        const std::time_t guess = timegm(&asUtc) - *lastOffset;
        std::tm zone{};
        if (localtime_r(&guess, &zone) != nullptr && SameLocalTime(zone, t)) {
            seconds = guess;
            return zone;
        }
    }
    tm.tm_isdst = -1; // the zone's rules decide
    seconds = std::mktime(&tm);
    lastOffset = tm.tm_gmtoff;
    return tm;
}

} // namespace

std::int64_t UnixSecondsOf(const LocalDateTime& t)
{
    std::time_t seconds = 0;
    ZoneTime(t, seconds);
    return static_cast<std::int64_t>(seconds);
}

std::string FormatIso8601(const LocalDateTime& t)
{
    std::time_t seconds = 0;
    const std::tm tm = ZoneTime(t, seconds);
    const long offset = tm.tm_gmtoff / 60; // minutes east of UTC
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, offset < 0 ? '-' : '+',
                  magnitude / 60, magnitude % 60);
    return buffer;
}

std::string StampedLine(const LocalDateTime& t, std::string_view text)
{
    std::string line = "[";
    line.append(FormatDateTime(t)).append("] ").append(text);
    return line;
}

} // namespace veltrane
