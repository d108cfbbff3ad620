#pragma once

// How an item stands at a moment, as the status command and the metrics
// tell it: when it runs next, whether its last run failed (its export, or a
// step after it), whether its schedule can ever make it due, whether it is
// overdue. Read from the item and its history alone (Schedule.dat and
// Veltrane.state), so that a program other than the one running the
// schedule tells the same.

#include "platform/clock.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {

struct ItemStatus
{
    // The next time the launch pass starts the item (NextDueTime); none when
    // it is disabled or nothing is due within 31 days.
    std::optional<LocalDateTime> nextRun;
    // The item's last finished run failed: its export did not succeed.
    bool lastRunFailed = false;
    // The steps after a successful export that failed in the last run
    // (RunStep bits): its mail, read-back, archive or upload.
    unsigned failedSteps = 0;
    // Why the item's schedule can never make it due (ScheduleFaultOf); empty
    // when it can.
    std::string scheduleFault;
    // The due time whose backup is more than the alert's hours late, as the
    // overdue alert judges it; none when it is not overdue (or alerts are off).
    std::optional<LocalDateTime> overdueSince;

    // Enabled, its last run (if any) succeeded in every step, its schedule
    // can make it due, and nothing overdue.
    bool Healthy(const ScheduleRecord& record) const
    {
        return !record.bEnabled ||
               (!lastRunFailed && failedSteps == 0 && scheduleFault.empty() && !overdueSince);
    }
};

// The item's status at `now`. Without a success on record, lateness counts
// from the due time the service alerted last, else from the item's last
// run; an item that never ran and was never alerted is not overdue (nothing
// watched it yet).
ItemStatus StatusOf(const ScheduleRecord& record, const Settings& settings,
                    const LocalDateTime& now);
// StatusOf's overdueSince alone.
std::optional<LocalDateTime> OverdueOf(const ScheduleRecord& record, const Settings& settings,
                                       const LocalDateTime& now);
// The second from which OverdueOf has a value, at `now` and every later
// moment, while the item, its history and the settings stay as they are
// (INT64_MAX: never). Known for an item whose last success lies before `now`,
// whose lateness counts from that success alone; none for the others, whose
// watch moves with the clock.
std::optional<std::int64_t> OverdueFrom(const ScheduleRecord& record, const Settings& settings,
                                        const LocalDateTime& now);

} // namespace veltrane
