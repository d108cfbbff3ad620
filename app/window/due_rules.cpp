#include "window/due_rules.h"

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

// The leading decimal number of characters `from`..`from+1` of strTime (the
// hour or the minute), counted in characters so that a Korean letter in a
// hand-edited time counts once; 0 when they hold no number.
int TimeField(const std::string& time, std::size_t from)
{
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

} // namespace

std::optional<LocalDateTime> ParseDateTime(std::string_view text)
{
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
    const LocalDateTime last = ParseDateTime(r.strLastBackUpTime).value_or(FarPast());
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

ScheduleLauncher::ScheduleLauncher(ScheduleTable& table, const Clock& clock, RunJob run,
                                   Refresh refresh)
    : table_(table), clock_(clock), run_(std::move(run)), refresh_(std::move(refresh))
{}

void ScheduleLauncher::LaunchDueItems()
{
    if (running_ || table_.empty())
        return;
    const std::size_t last = table_.size() - 1;
    for (std::size_t i = 0; i <= last; ++i) {
        // The operator may have deleted items during an earlier run of this
        // pass: a position that no longer exists ends the pass.
        if (i >= table_.size())
            return;
        std::shared_ptr<ScheduleRecord> record = table_[i];
        if (!record->bEnabled)
            continue;
        std::optional<bool> due = IsScheduleDue(*record, clock_.Now());
        if (!due)
            return;
        if (record->bRunNow)
            due = true;
        if (*due) {
            running_ = true;
            struct Reset
            {
                bool& flag;
                ~Reset() { flag = false; }
            } reset{running_};
            run_(*record);
            refresh_();
        }
        record->bRunNow = false;
    }
}

} // namespace veltrane
