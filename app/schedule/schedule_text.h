#pragma once

// The texts of the item list's rows.

#include "store/schedule_record.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane {

// The "Schedule" cell: kind, weekday, day of month and time, for example
// "매주 월 요일 02:00:00", "매달 15일 03:00:00" or "매시간 30:00".
std::string BuildScheduleText(const ScheduleRecord& record);

// What runs, by the rules the launch pass keeps (the list's "Schedule"
// cell): "매일 08시" (a daily item runs in its hour), "매주 월요일 02:00:00"
// (a weekly item on its weekday, once its time has passed), "매달 15일" (a
// monthly item on its day, from its start), "매시간 44분" (an hourly item at
// its minute). A kind the rules do not know, or a time they cannot read,
// shows as stored (BuildScheduleText).
std::string RunScheduleText(const ScheduleRecord& record);

// What the rules of a kind read of an item's schedule, said to the operator
// who fills it in; empty for a kind they do not know.
std::string ScheduleUseText(const std::string& kind);

// The list's columns: No, ProfileName, User ID, Schedule, Path, Latest Back
// Time, Program Path, Next Run and Last Result.
inline constexpr std::size_t kListColumns = 9;

// The "Last Result" cell: empty before the item's first run that the
// program knows of (its history, kept across restarts), "성공" after a run
// that succeeded in every step, "성공 (전송 실패)" (the steps after the
// export that failed) after one whose export succeeded, "실패" with the count
// of failed runs in a row otherwise.
std::string LastResultText(const ScheduleRecord& record);

// The "Latest Back Time" cell: the latest back time, marked "(포기)" when
// the run that set it gave up (strGaveUpTime), so that it is not read as the
// time of a backup.
std::string LatestBackTimeText(const ScheduleRecord& record);

// Why the item's last run failed: its export's cause, or for a run whose
// export succeeded, the cause of the steps after it that failed; empty when
// nothing failed.
std::string FailureCauseText(const ScheduleRecord& record);

// The item number in a row's "No" cell: its leading decimal number, 0 when
// there is none. Commands find their records by it.
std::int32_t RowItemNumber(std::string_view noCell);

} // namespace veltrane
