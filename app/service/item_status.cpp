#include "service/item_status.h"

#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "schedule/schedule_fault.h"

#include <cmath>
#include <limits>

namespace veltrane {

ItemStatus StatusOf(const ScheduleRecord& record, const Settings& settings,
                    const LocalDateTime& now)
{
    ItemStatus status;
    status.nextRun = NextDueTime(record, now);
    const ItemHistory& history = record.history;
    status.lastRunFailed = !history.lastRunTime.empty() && !history.lastRunSucceeded;
    if (!history.lastRunTime.empty() && history.lastRunSucceeded)
        status.failedSteps = history.failedSteps;
    if (const std::optional<ScheduleFault> fault = ScheduleFaultOf(record))
        status.scheduleFault = fault->text;
    status.overdueSince = OverdueOf(record, settings, now);
    return status;
}

namespace {

std::int64_t GraceSeconds(const Settings& settings)
{
    return std::llround(settings.overdueAlertHours * 3600);
}

} // namespace

std::optional<LocalDateTime> OverdueOf(const ScheduleRecord& record, const Settings& settings,
                                       const LocalDateTime& now)
{
    if (settings.overdueAlertHours <= 0)
        return std::nullopt;
    const ItemHistory& history = record.history;
    // The start of the watch: with a success known it does not matter
    // (lateness counts from the success); else the alerted due time, just
    // before it so that it counts again, or the last run.
    std::optional<LocalDateTime> watchStart;
    if (!history.lastSuccessTime.empty())
        watchStart = now;
    else if (auto alerted = ParseDateTime(history.overdueAlertedFor))
        watchStart = AddSeconds(*alerted, -1);
    else
        watchStart = ParseDateTime(history.lastRunTime);
    if (!watchStart)
        return std::nullopt;
    return OverdueSince(record, *watchStart, now, GraceSeconds(settings));
}

std::optional<std::int64_t> OverdueFrom(const ScheduleRecord& record, const Settings& settings,
                                        const LocalDateTime& now)
{
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    if (settings.overdueAlertHours <= 0)
        return kNever;
    const std::optional<LocalDateTime> success = ParseDateTime(record.history.lastSuccessTime);
    if (!success || SecondsOf(*success) >= SecondsOf(now))
        return std::nullopt;
    // After a success the first due time that follows it is fixed, whatever
    // the watch's start: late once the alert's hours have passed it.
    const std::optional<LocalDateTime> due = FirstDueAfterSuccess(record, now, now);
    return due ? SecondsOf(*due) + GraceSeconds(settings) + 1 : kNever;
}

} // namespace veltrane
