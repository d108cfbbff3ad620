#include "schedule/schedule_text.h"

#include "platform/codepage.h"
#include "store/number_text.h"
#include "store/run_state.h"

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

std::string LastResultText(const ScheduleRecord& r)
{
    if (r.history.lastRunTime.empty())
        return {};
    // A success whose mail, read-back, archive or upload failed says which.
    if (r.history.lastRunSucceeded && r.history.failedSteps != 0)
        return "성공 (" + StepWords(r.history.failedSteps) + " 실패)";
    if (r.history.lastRunSucceeded)
        return "성공";
    return "실패 (" + std::to_string(r.history.failuresInARow) + "회 연속)";
}

std::string LatestBackTimeText(const ScheduleRecord& r)
{
    if (!r.strGaveUpTime.empty() && r.strGaveUpTime == r.strLastBackUpTime)
        return r.strLastBackUpTime + " (포기)";
    return r.strLastBackUpTime;
}

std::string FailureCauseText(const ScheduleRecord& r)
{
    const ItemHistory& h = r.history;
    if (h.lastRunTime.empty())
        return {};
    if (!h.lastRunSucceeded)
        return h.lastCause.empty() ? "원인 알 수 없음" : h.lastCause;
    return h.failedSteps != 0 ? h.stepsCause : std::string();
}

std::int32_t RowItemNumber(std::string_view noCell)
{
    return LeadingInt32(noCell).value_or(0);
}

} // namespace veltrane
