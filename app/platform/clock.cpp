#include "platform/clock.h"

#include <cstdio>
#include <ctime>

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

std::string StampedLine(const LocalDateTime& t, std::string_view text)
{
    std::string line = "[";
    line.append(FormatDateTime(t)).append("] ").append(text);
    return line;
}

} // namespace veltrane
