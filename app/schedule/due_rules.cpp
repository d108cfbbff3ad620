#include "schedule/due_rules.h"

#include "platform/codepage.h"
#include "store/number_text.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kWeekdayLetters = "일월화수목금토";
constexpr std::size_t kHangulBytes = 3; // each weekday letter in UTF-8

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
    if (!last || SecondsOf(*last) > SecondsOf(now))
        return FarPast();
    return *last;
}

} // namespace

std::optional<bool> IsScheduleDue(const ScheduleRecord& r, const LocalDateTime& now)
{
    const bool neverRan = r.strLastBackUpTime.empty();
    const LocalDateTime last = GuardTime(r.strLastBackUpTime, now);
    const int hour = TimeField(r.strTime, 0);
    const int minute = TimeField(r.strTime, 3);

    if (r.strBackUpType == kKindDaily) {
        if (neverRan)
            return now.hour == hour;
        return HourNumber(now) - HourNumber(last) > 1 && now.hour == hour;
    }
    if (r.strBackUpType == kKindWeekly) {
        if (neverRan)
            return now.weekday + 1 == WeekdayPosition(r.strWeek);
        if (DayNumber(now) - DayNumber(last) < 7)
            return false;
        auto scheduled = ParseTimeOfDaySeconds(r.strTime);
        if (!scheduled)
            return std::nullopt;
        return now.hour * 3600 + now.minute * 60 + now.second - *scheduled > 0;
    }
    if (r.strBackUpType == kKindMonthly) {
        if (neverRan)
            return now.day == r.nDay;
        return DayNumber(now) - DayNumber(last) >= 27 && now.day == r.nDay;
    }
    if (r.strBackUpType == kKindHourly) {
        if (neverRan)
            return now.minute <= minute;
        return MinuteNumber(now) - MinuteNumber(last) >= 60 && now.minute >= minute;
    }
    return false;
}

std::optional<LocalDateTime> RetryTime(const ScheduleRecord& r, const LocalDateTime& now)
{
    if (r.strRetryAfter.empty())
        return std::nullopt;
    const std::optional<LocalDateTime> after = ParseDateTime(r.strRetryAfter);
    constexpr std::int64_t kLongestWait = kRetryWaitMinutes.back() * kMinute;
    if (!after || SecondsOf(*after) - SecondsOf(now) > kLongestWait)
        return now;
    return after;
}

std::optional<LocalDateTime> MissedDueTime(const ScheduleRecord& r, const LocalDateTime& now)
{
    const std::optional<LocalDateTime> last = ParseDateTime(r.strLastBackUpTime);
    // An owed try is no missed run: it starts at its own time.
    if (!r.bEnabled || !r.strRetryAfter.empty() || !last || SecondsOf(*last) > SecondsOf(now) ||
        IsScheduleDue(r, now).value_or(true))
        return std::nullopt;
    ScheduleRecord asScheduled = r;
    asScheduled.bRunNow = false;
    const std::optional<LocalDateTime> due = NextDueTime(asScheduled, AddSeconds(*last, 1));
    if (!due || SecondsOf(*due) >= SecondsOf(now))
        return std::nullopt;
    return due;
}

std::optional<LocalDateTime> FirstDueAfterSuccess(const ScheduleRecord& r,
                                                  const LocalDateTime& watchStart,
                                                  const LocalDateTime& now)
{
    if (!r.bEnabled)
        return std::nullopt;
    // The rules as they stood after the last success: a run that gave up
    // since moved the latest back time, but is no success.
    ScheduleRecord rules = r;
    rules.bRunNow = false;
    rules.strRetryAfter.clear();
    rules.strLastBackUpTime = r.history.lastSuccessTime;
    const std::optional<LocalDateTime> success = ParseDateTime(r.history.lastSuccessTime);
    const LocalDateTime from =
        success && SecondsOf(*success) < SecondsOf(now) ? AddSeconds(*success, 1) : watchStart;
    return NextDueTime(rules, from);
}

std::optional<LocalDateTime> OverdueSince(const ScheduleRecord& r, const LocalDateTime& watchStart,
                                          const LocalDateTime& now, std::int64_t graceSeconds)
{
    const std::optional<LocalDateTime> due = FirstDueAfterSuccess(r, watchStart, now);
    if (!due || SecondsOf(now) - SecondsOf(*due) <= graceSeconds)
        return std::nullopt;
    return due;
}

NextRunHolding NextDueTimeHolding(const ScheduleRecord& record, const LocalDateTime& now)
{
    const std::int64_t nowSeconds = SecondsOf(now);
    NextRunHolding holding;
    if (const std::optional<LocalDateTime> run = NextDueTime(record, now)) {
        holding.run = holding.until = SecondsOf(*run);
    } else {
        const std::optional<LocalDateTime> beyond =
            NextDueTime(record, AddSeconds(now, kNextDueHorizon));
        holding.until =
            (beyond ? SecondsOf(*beyond) : nowSeconds + 2 * kNextDueHorizon) - kNextDueHorizon;
    }
    // A latest back time ahead of the clock counts as far past only until
    // the clock reaches it.
    if (const std::optional<LocalDateTime> last = ParseDateTime(record.strLastBackUpTime);
        last && SecondsOf(*last) > nowSeconds)
        holding.until = std::min(holding.until, SecondsOf(*last));
    return holding;
}

std::optional<LocalDateTime> NextDueTime(const ScheduleRecord& r, const LocalDateTime& now)
{
    if (!r.bEnabled)
        return std::nullopt;
    if (r.bRunNow)
        return now;
    if (const std::optional<LocalDateTime> retry = RetryTime(r, now))
        return SecondsOf(*retry) > SecondsOf(now) ? *retry : now;
    const std::int64_t from = SecondsOf(now);
    const std::int64_t horizon = from + kNextDueHorizon;
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
            threshold = (HourNumber(last) + 2) * kHour;
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
                if (AtSeconds(day).weekday + 1 != position)
                    return std::nullopt;
                return std::pair(day, day + kDay - 1);
            };
        } else {
            threshold = (DayNumber(last) + 7) * kDay;
            const std::optional<int> scheduled = ParseTimeOfDaySeconds(r.strTime);
            if (!scheduled)
                return std::nullopt;
            window = [at = *scheduled + 1](std::int64_t day) {
                return std::make_optional(std::pair(day + at, day + kDay - 1));
            };
        }
    } else if (r.strBackUpType == kKindMonthly) {
        if (!neverRan)
            threshold = (DayNumber(last) + 27) * kDay;
        window = [nDay = r.nDay](
                     std::int64_t day) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
            if (AtSeconds(day).day != nDay)
                return std::nullopt;
            return std::pair(day, day + kDay - 1);
        };
    } else if (r.strBackUpType == kKindHourly) {
        unit = kHour;
        if (!neverRan)
            threshold = (MinuteNumber(last) + 60) * kMinute;
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
        if (IsScheduleDue(r, AtSeconds(candidate)).value_or(false))
            return AtSeconds(candidate);
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
        if (const std::optional<LocalDateTime> retry = RetryTime(*record, now)) {
            if (record->bRunNow || SecondsOf(*retry) <= SecondsOf(now))
                due.push_back(record);
            continue;
        }
        const std::optional<bool> rule = IsScheduleDue(*record, now);
        if (!rule)
            break;
        if (*rule || record->bRunNow)
            due.push_back(record);
    }
    return due;
}

} // namespace veltrane
