#include "window/schedule_text.h"

#include <charconv>

namespace veltrane {

std::string BuildScheduleText(const ScheduleRecord& r)
{
    std::string text = r.strBackUpType + " ";
    if (!r.strWeek.empty())
        text += r.strWeek + " 요일 ";
    if (r.strBackUpType == kKindMonthly)
        text += std::to_string(r.nDay) + "일 ";
    // Hourly items show only minutes and seconds ("mm:ss").
    text += r.strBackUpType == kKindHourly
                ? r.strTime.substr(std::min<std::size_t>(3, r.strTime.size()))
                : r.strTime;
    return text;
}

std::array<std::string, kListColumns> ListRowTexts(const ScheduleRecord& r)
{
    return {std::to_string(r.nNo), r.strServiceName,    r.strID,         BuildScheduleText(r),
            r.strBackUpFolder,     r.strLastBackUpTime, r.strProgramPath};
}

std::int32_t LeadingNumber(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() ? value : 0;
}

} // namespace veltrane
