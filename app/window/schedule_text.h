#pragma once

// The texts of the item list's rows.

#include "store/schedule_record.h"

#include <array>
#include <string>

namespace veltrane {

// The "Schedule" cell: kind, weekday, day of month and time, for example
// "매주 월 요일 02:00:00", "매달 15일 03:00:00" or "매시간 30:00".
std::string BuildScheduleText(const ScheduleRecord& record);

inline constexpr std::size_t kListColumns = 7;

// The seven cells of a record's row: No, ProfileName, User ID, Schedule,
// Path, Latest Back Time, Program Path.
std::array<std::string, kListColumns> ListRowTexts(const ScheduleRecord& record);

// The leading decimal number of a text (blanks before it skipped), 0 when
// there is none: how a row's "No" cell is read back.
std::int32_t LeadingNumber(std::string_view text);

} // namespace veltrane
