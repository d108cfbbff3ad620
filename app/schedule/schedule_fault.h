#pragma once

// Whether an item's schedule can ever make it due. The due rules take any
// text and simply never hold for a kind they do not know, a time like
// "25:61:00" or a weekday like "월요일": such an item has no next run and is
// never late, so it would look well for ever. The editor refuses such an
// item; the check, the status and the metrics name it.

#include "store/schedule_record.h"

#include <optional>
#include <string>

namespace veltrane {

// The field of the schedule at fault.
enum class ScheduleField { Kind, Time, Weekday, Day };

struct ScheduleFault
{
    ScheduleField field;
    std::string text; // names the field, its value and what it may hold
};

// Why the item's schedule can never make it due; nullopt when it can. It can
// when its kind is one of the four, its time a time of day written
// "hh:mm:ss" (00:00:00 to 23:59:59), a weekly item's weekday one of the
// letters "일" .. "토", and a monthly item's day 1 to 31. Whether the item is
// enabled does not matter.
std::optional<ScheduleFault> ScheduleFaultOf(const ScheduleRecord& record);

} // namespace veltrane
