#include "schedule/calendar.h"

#include <charconv>

namespace veltrane {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Reads an unsigned number of one or two digits at the front of `text`.
std::optional<int> TakeNumber(std::string_view& text, std::size_t maxDigits)
{
    std::size_t n = 0;
    while (n < text.size() && n < maxDigits && text[n] >= '0' && text[n] <= '9')
        ++n;
    if (n == 0)
        return std::nullopt;
    int value = 0;
    std::from_chars(text.data(), text.data() + n, value);
    text.remove_prefix(n);
    return value;
}

bool TakeChar(std::string_view& text, char c)
{
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

// "yyyy-MM-dd hh:mm:ss" exactly, with a valid date and time; nullopt for any
// other text (which the general reader then takes).
std::optional<LocalDateTime> ParseStoredDateTime(std::string_view text)
{
    constexpr std::string_view kForm = "0000-00-00 00:00:00";
    if (text.size() != kForm.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kForm.size(); ++i)
        if (kForm[i] == '0' ? (text[i] < '0' || text[i] > '9') : text[i] != kForm[i])
            return std::nullopt;
    auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    LocalDateTime t;
    t.year = number(0, 4);
    t.month = number(5, 2);
    t.day = number(8, 2);
    t.hour = number(11, 2);
    t.minute = number(14, 2);
    t.second = number(17, 2);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
        t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    t.weekday = static_cast<int>(((DayNumber(t) % 7) + 11) % 7); // 1970-01-01 was a Thursday
    return t;
}

} // namespace

std::int64_t DayNumber(const LocalDateTime& t)
{
    return DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
}

std::int64_t HourNumber(const LocalDateTime& t)
{
    return DayNumber(t) * 24 + t.hour;
}

std::int64_t MinuteNumber(const LocalDateTime& t)
{
    return HourNumber(t) * 60 + t.minute;
}

std::int64_t SecondsOf(const LocalDateTime& t)
{
    return DayNumber(t) * kDay + t.hour * kHour + t.minute * kMinute + t.second;
}

LocalDateTime AtSeconds(std::int64_t seconds)
{
    std::int64_t days = seconds / kDay;
    std::int64_t rest = seconds % kDay;
    if (rest < 0) {
        rest += kDay;
        --days;
    }
    // The inverse of DaysFromCivil.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    LocalDateTime t;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2));
    t.hour = static_cast<int>(rest / kHour);
    t.minute = static_cast<int>(rest / kMinute % 60);
    t.second = static_cast<int>(rest % 60);
    t.weekday = static_cast<int>(((days % 7) + 11) % 7); // 1970-01-01 was a Thursday
    return t;
}

int DaysInMonth(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// "h:m" or "h:m:s" with a valid time of day; the whole text must be used.
std::optional<int> ParseTimeOfDaySeconds(std::string_view text)
{
    auto h = TakeNumber(text, 2);
    if (!h || !TakeChar(text, ':'))
        return std::nullopt;
    auto m = TakeNumber(text, 2);
    if (!m)
        return std::nullopt;
    int s = 0;
    if (TakeChar(text, ':')) {
        auto sec = TakeNumber(text, 2);
        if (!sec)
            return std::nullopt;
        s = *sec;
    }
    if (!text.empty() || *h > 23 || *m > 59 || s > 59)
        return std::nullopt;
    return *h * 3600 + *m * 60 + s;
}

std::optional<LocalDateTime> ParseDateTime(std::string_view text)
{
    // The form the program writes, "yyyy-MM-dd hh:mm:ss", read at once: the
    // launch pass reads every item's latest back time every second.
    if (auto exact = ParseStoredDateTime(text))
        return exact;
    LocalDateTime t;
    auto y = TakeNumber(text, 4);
    if (!y || !TakeChar(text, '-'))
        return std::nullopt;
    auto mo = TakeNumber(text, 2);
    if (!mo || !TakeChar(text, '-'))
        return std::nullopt;
    auto d = TakeNumber(text, 2);
    if (!d || *mo < 1 || *mo > 12 || *d < 1 || *d > DaysInMonth(*y, *mo))
        return std::nullopt;
    t.year = *y;
    t.month = *mo;
    t.day = *d;
    if (TakeChar(text, ' ')) {
        auto seconds = ParseTimeOfDaySeconds(text);
        if (!seconds)
            return std::nullopt;
        t.hour = *seconds / 3600;
        t.minute = *seconds / 60 % 60;
        t.second = *seconds % 60;
    } else if (!text.empty()) {
        return std::nullopt;
    }
    t.weekday = static_cast<int>(((DayNumber(t) % 7) + 11) % 7); // 1970-01-01 was a Thursday
    return t;
}

LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds)
{
    return AtSeconds(SecondsOf(t) + seconds);
}

} // namespace veltrane
