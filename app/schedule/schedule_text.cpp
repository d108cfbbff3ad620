#include "schedule/schedule_text.h"

#include "platform/codepage.h"
#include "store/number_text.h"
#include "store/run_state.h"

#include <optional>

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

namespace {

// The two digits of strTime from character `from` on (its hour or minute),
// nullopt unless both are digits.
std::optional<int> TwoDigits(const std::string& time, std::size_t from)
{
    const std::string_view field = cp949::MidCharacters(time, from, 2);
    if (field.size() != 2 || field[0] < '0' || field[0] > '9' || field[1] < '0' || field[1] > '9')
        return std::nullopt;
    return (field[0] - '0') * 10 + (field[1] - '0');
}

std::string Padded(int n)
{
    std::string text = std::to_string(n);
    return n < 10 ? text.insert(0, 1, '0') : text;
}

} // namespace

std::string RunScheduleText(const ScheduleRecord& r)
{
    const std::string& kind = r.strBackUpType;
    if (kind == kKindDaily) {
        if (const std::optional<int> hour = TwoDigits(r.strTime, 0); hour && *hour < 24)
            return kind + " " + Padded(*hour) + "시";
    } else if (kind == kKindHourly) {
        if (const std::optional<int> minute = TwoDigits(r.strTime, 3); minute && *minute < 60)
            return kind + " " + Padded(*minute) + "분";
    } else if (kind == kKindWeekly) {
        if (!r.strWeek.empty())
            return kind + " " + r.strWeek + "요일 " + r.strTime;
    } else if (kind == kKindMonthly) {
        return kind + " " + std::to_string(r.nDay) + "일";
    }
    return BuildScheduleText(r);
}

std::string ScheduleUseText(const std::string& kind)
{
    if (kind == kKindDaily)
        return "매일 이 시(時)에 실행합니다. 분과 초는 쓰지 않습니다.";
    if (kind == kKindWeekly)
        return "이 요일, 이 시각이 지나면 실행합니다.";
    if (kind == kKindMonthly)
        return "이 날 0시부터 실행합니다. 시각은 쓰지 않습니다.";
    if (kind == kKindHourly)
        return "매시간 이 분(分)에 실행합니다. 시와 초는 쓰지 않습니다.";
    return {};
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
