#pragma once

// How an item stands at a moment, as the status command and the metrics
// tell it: when it runs next, whether its last run failed, whether it is
// overdue. Read from the item and its history alone (Schedule.dat and
// Veltrane.state), so that a program other than the one running the
// schedule tells the same.

#include "platform/clock.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <optional>

namespace veltrane {

struct ItemStatus
{
    // The next time the launch pass starts the item (NextDueTime); none when
    // it is disabled or nothing is due within 31 days.
    std::optional<LocalDateTime> nextRun;
    // The item's last finished run failed.
    bool lastRunFailed = false;
    // The due time whose backup is more than the alert's hours late, as the
    // overdue alert judges it; none when it is not overdue (or alerts are off).
    std::optional<LocalDateTime> overdueSince;

    // Enabled, its last run (if any) succeeded and nothing overdue.
    bool Healthy(const ScheduleRecord& record) const
    {
        return !record.bEnabled || (!lastRunFailed && !overdueSince);
    }
};

// The item's status at `now`. Without a success on record, lateness counts
// from the due time the service alerted last, else from the item's last
// run; an item that never ran and was never alerted is not overdue (nothing
// watched it yet).
ItemStatus StatusOf(const ScheduleRecord& record, const Settings& settings,
                    const LocalDateTime& now);

} // namespace veltrane
