#include "service/item_status.h"

#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "schedule/schedule_fault.h"

#include <cmath>

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
    if (settings.overdueAlertHours <= 0)
        return status;

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
        return status;
    status.overdueSince =
        OverdueSince(record, *watchStart, now, std::llround(settings.overdueAlertHours * 3600));
    return status;
}

} // namespace veltrane
