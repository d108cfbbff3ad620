#include "window/schedule_text.h"

#include "platform/codepage.h"
#include "store/number_text.h"

namespace veltrane {

std::string BuildScheduleText(const ScheduleRecord& r)
{
    std::string text = r.strBackUpType + " ";
    if (!r.strWeek.empty())
        text += r.strWeek + " 요일 ";
    if (r.strBackUpType == kKindMonthly)
        text += std::to_string(r.nDay) + "일 ";
    // Hourly items show only minutes and seconds ("mm:ss"), from the 4th
    // character on.
    text += r.strBackUpType == kKindHourly ? std::string(cp949::MidCharacters(r.strTime, 3))
                                           : r.strTime;
    return text;
}

std::array<std::string, kListColumns> ListRowTexts(const ScheduleRecord& r)
{
    return {std::to_string(r.nNo), r.strServiceName,    r.strID,         BuildScheduleText(r),
            r.strBackUpFolder,     r.strLastBackUpTime, r.strProgramPath};
}

std::int32_t RowItemNumber(std::string_view noCell)
{
    return LeadingInt32(noCell).value_or(0);
}

} // namespace veltrane
