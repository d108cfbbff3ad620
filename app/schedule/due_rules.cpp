#include "schedule/due_rules.h"

#include "platform/codepage.h"
#include "store/number_text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kWeekdayLetters = "일월화수목금토";
constexpr std::size_t kHangulBytes = 3; // each weekday letter in UTF-8

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

std::int64_t Days(const LocalDateTime& t)
{
    return DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
}

std::int64_t Hours(const LocalDateTime& t)
{
    return Days(t) * 24 + t.hour;
}

std::int64_t Minutes(const LocalDateTime& t)
{
    return Hours(t) * 60 + t.minute;
}

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

// Seconds of a local calendar time since 1970-01-01 00:00:00 of the same
// calendar, and back.
std::int64_t Seconds(const LocalDateTime& t)
{
    return Days(t) * kDay + t.hour * kHour + t.minute * kMinute + t.second;
}

LocalDateTime FromSeconds(std::int64_t seconds)
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
    t.weekday = static_cast<int>(((Days(t) % 7) + 11) % 7); // 1970-01-01 was a Thursday
    return t;
}

// True when every byte is "0".."9" or ":": plain ASCII, where characters
// and bytes are the same.
bool IsAsciiDigits(std::string_view text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == ':'))
            return false;
    return true;
}

// The leading decimal number of characters `from`..`from+1` of strTime (the
// hour or the minute), counted in characters so that a Korean letter in a
// hand-edited time counts once; 0 when they hold no number.
int TimeField(const std::string& time, std::size_t from)
{
    // The stored form "hh:mm:ss" needs no general reading.
    if (time.size() >= from + 2 && IsAsciiDigits(std::string_view(time).substr(0, from + 2)) &&
        time[from] != ':' && time[from + 1] != ':')
        return (time[from] - '0') * 10 + (time[from + 1] - '0');
    return LeadingInt32(cp949::MidCharacters(time, from, 2)).value_or(0);
}

// 1 (Sunday) .. 7 (Saturday) for a weekday letter; 1 for an empty text (found
// at the start); 0 for a text that does not occur.
int WeekdayPosition(const std::string& week)
{
    std::size_t at = kWeekdayLetters.find(week);
    if (at == std::string_view::npos || at % kHangulBytes != 0)
        return 0;
    return static_cast<int>(at / kHangulBytes) + 1;
}

LocalDateTime FarPast()
{
    return {1, 1, 1, 0, 0, 0, 1};
}

// The latest back time as the guards read it at `now`: far in the past when
// the text is empty or no date, and also when it lies after `now`. A clock
// that was once ahead wrote it; counted from it, the item would not run again
// until the clock caught up with the mistake.
LocalDateTime GuardTime(const std::string& lastBackUpTime, const LocalDateTime& now)
{
    const std::optional<LocalDateTime> last = ParseDateTime(lastBackUpTime);
    if (!last || Seconds(*last) > Seconds(now))
        return FarPast();
    return *last;
}

} // namespace

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
    t.weekday = static_cast<int>(((Days(t) % 7) + 11) % 7); // 1970-01-01 was a Thursday
    return t;
}

std::optional<bool> IsScheduleDue(const ScheduleRecord& r, const LocalDateTime& now)
{
    const bool neverRan = r.strLastBackUpTime.empty();
    const LocalDateTime last = GuardTime(r.strLastBackUpTime, now);
    const int hour = TimeField(r.strTime, 0);
    const int minute = TimeField(r.strTime, 3);

    if (r.strBackUpType == kKindDaily) {
        if (neverRan)
            return now.hour == hour;
        return Hours(now) - Hours(last) > 1 && now.hour == hour;
    }
    if (r.strBackUpType == kKindWeekly) {
        if (neverRan)
            return now.weekday + 1 == WeekdayPosition(r.strWeek);
        if (Days(now) - Days(last) < 7)
            return false;
        auto scheduled = ParseTimeOfDaySeconds(r.strTime);
        if (!scheduled)
            return std::nullopt;
        return now.hour * 3600 + now.minute * 60 + now.second - *scheduled > 0;
    }
    if (r.strBackUpType == kKindMonthly) {
        if (neverRan)
            return now.day == r.nDay;
        return Days(now) - Days(last) >= 27 && now.day == r.nDay;
    }
    if (r.strBackUpType == kKindHourly) {
        if (neverRan)
            return now.minute <= minute;
        return Minutes(now) - Minutes(last) >= 60 && now.minute >= minute;
    }
    return false;
}

std::optional<LocalDateTime> MissedDueTime(const ScheduleRecord& r, const LocalDateTime& now)
{
    const std::optional<LocalDateTime> last = ParseDateTime(r.strLastBackUpTime);
    if (!r.bEnabled || !last || Seconds(*last) > Seconds(now) ||
        IsScheduleDue(r, now).value_or(true))
        return std::nullopt;
    ScheduleRecord asScheduled = r;
    asScheduled.bRunNow = false;
    const std::optional<LocalDateTime> due = NextDueTime(asScheduled, AddSeconds(*last, 1));
    if (!due || Seconds(*due) >= Seconds(now))
        return std::nullopt;
    return due;
}

std::int64_t SecondsOf(const LocalDateTime& t)
{
    return Seconds(t);
}

LocalDateTime AtSeconds(std::int64_t seconds)
{
    return FromSeconds(seconds);
}

std::optional<LocalDateTime> OverdueSince(const ScheduleRecord& r, const LocalDateTime& watchStart,
                                          const LocalDateTime& now, std::int64_t graceSeconds)
{
    if (!r.bEnabled)
        return std::nullopt;
    // The rules as they stood after the last success: a run that gave up
    // since moved the latest back time, but is no success.
    ScheduleRecord rules = r;
    rules.bRunNow = false;
    rules.strLastBackUpTime = r.history.lastSuccessTime;
    const std::optional<LocalDateTime> success = ParseDateTime(r.history.lastSuccessTime);
    const LocalDateTime from =
        success && Seconds(*success) < Seconds(now) ? AddSeconds(*success, 1) : watchStart;
    const std::optional<LocalDateTime> due = NextDueTime(rules, from);
    if (!due || Seconds(now) - Seconds(*due) <= graceSeconds)
        return std::nullopt;
    return due;
}

LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds)
{
    return FromSeconds(Seconds(t) + seconds);
}

std::optional<LocalDateTime> NextDueTime(const ScheduleRecord& r, const LocalDateTime& now)
{
    if (!r.bEnabled)
        return std::nullopt;
    if (r.bRunNow)
        return now;
    const std::int64_t from = Seconds(now);
    const std::int64_t horizon = from + 31 * kDay;
    const bool neverRan = r.strLastBackUpTime.empty();
    // A latest back time after `now` counts as far past until the clock
    // reaches it; the candidates are confirmed by IsScheduleDue below, which
    // reads it the same way at their own time.
    const LocalDateTime last = GuardTime(r.strLastBackUpTime, now);
    const int hour = TimeField(r.strTime, 0);
    const int minute = TimeField(r.strTime, 3);

    // Each kind is due within windows of the calendar (an hour of a day, a
    // whole day, a stretch of an hour) once its elapsed-time guard holds; the
    // guard only ever becomes truer as time goes on. So the first due second
    // is the start of the first window that ends after both `now` and the
    // guard's threshold, or that threshold itself. `window` gives the k-th
    // window of the unit from `start` on, as [begin, end], or nothing.
    std::int64_t threshold = from;
    std::int64_t unit = kDay;
    std::function<std::optional<std::pair<std::int64_t, std::int64_t>>(std::int64_t)> window;
    if (r.strBackUpType == kKindDaily) {
        if (!neverRan)
            threshold = (Hours(last) + 2) * kHour;
        if (hour < 0 || hour > 23)
            return std::nullopt;
        window = [hour](std::int64_t day) {
            return std::make_optional(
                std::pair(day + hour * kHour, day + hour * kHour + kHour - 1));
        };
    } else if (r.strBackUpType == kKindWeekly) {
        if (neverRan) {
            const int position = WeekdayPosition(r.strWeek);
            window = [position](
                         std::int64_t day) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
                if (FromSeconds(day).weekday + 1 != position)
                    return std::nullopt;
                return std::pair(day, day + kDay - 1);
            };
        } else {
            threshold = (Days(last) + 7) * kDay;
            const std::optional<int> scheduled = ParseTimeOfDaySeconds(r.strTime);
            if (!scheduled)
                return std::nullopt;
            window = [at = *scheduled + 1](std::int64_t day) {
                return std::make_optional(std::pair(day + at, day + kDay - 1));
            };
        }
    } else if (r.strBackUpType == kKindMonthly) {
        if (!neverRan)
            threshold = (Days(last) + 27) * kDay;
        window = [nDay = r.nDay](
                     std::int64_t day) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
            if (FromSeconds(day).day != nDay)
                return std::nullopt;
            return std::pair(day, day + kDay - 1);
        };
    } else if (r.strBackUpType == kKindHourly) {
        unit = kHour;
        if (!neverRan)
            threshold = (Minutes(last) + 60) * kMinute;
        // Never ran: from the hour's start to the end of the scheduled minute;
        // ran before: from the scheduled minute to the hour's end.
        const std::int64_t first = neverRan ? 0 : std::max(minute, 0) * kMinute;
        const std::int64_t end =
            neverRan ? std::min(minute * kMinute + kMinute, kHour) - 1 : kHour - 1;
        if (first > end)
            return std::nullopt;
        window = [first, end](std::int64_t h) {
            return std::make_optional(std::pair(h + first, h + end));
        };
    } else {
        return std::nullopt;
    }

    const std::int64_t start = std::max(from, threshold);
    for (std::int64_t at = start - (start % unit + unit) % unit; at <= horizon; at += unit) {
        const auto span = window(at);
        if (!span || span->second < start)
            continue;
        const std::int64_t candidate = std::max(start, span->first);
        if (candidate > horizon)
            break;
        // The rules themselves have the last word.
        if (IsScheduleDue(r, FromSeconds(candidate)).value_or(false))
            return FromSeconds(candidate);
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<ScheduleRecord>> DueItems(const ScheduleTable& table,
                                                      const LocalDateTime& now)
{
    std::vector<std::shared_ptr<ScheduleRecord>> due;
    for (const std::shared_ptr<ScheduleRecord>& record : table) {
        if (!record->bEnabled)
            continue;
        const std::optional<bool> rule = IsScheduleDue(*record, now);
        if (!rule)
            break;
        if (*rule || record->bRunNow)
            due.push_back(record);
    }
    return due;
}

} // namespace veltrane
