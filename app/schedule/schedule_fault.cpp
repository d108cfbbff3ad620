#include "schedule/schedule_fault.h"

#include <array>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::array<std::string_view, 7> kWeekdays = {"일", "월", "화", "수", "목", "금", "토"};

// "hh:mm:ss" exactly, as the editor stores it: the hour and the minute are
// read from their places, so a shorter form would put a hand-edited time's
// minute in the wrong place.
bool IsTimeOfDay(std::string_view time)
{
    if (time.size() != 8 || time[2] != ':' || time[5] != ':')
        return false;
    int parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const char tens = time[i * 3];
        const char ones = time[i * 3 + 1];
        if (tens < '0' || tens > '9' || ones < '0' || ones > '9')
            return false;
        parts[i] = (tens - '0') * 10 + (ones - '0');
    }
    return parts[0] <= 23 && parts[1] <= 59 && parts[2] <= 59;
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

} // namespace

std::optional<ScheduleFault> ScheduleFaultOf(const ScheduleRecord& r)
{
    const std::string& kind = r.strBackUpType;
    if (kind.empty())
        return ScheduleFault{ScheduleField::Kind,
                             "일정 종류가 없습니다 (매일, 매주, 매달, 매시간 가운데 하나)"};
    if (kind != kKindDaily && kind != kKindWeekly && kind != kKindMonthly && kind != kKindHourly)
        return ScheduleFault{ScheduleField::Kind, "알 수 없는 일정 종류입니다: " + Quoted(kind) +
                                                      " (매일, 매주, 매달, 매시간 가운데 하나)"};
    constexpr const char* kTimeForm = " (00:00:00부터 23:59:59까지의 hh:mm:ss)";
    if (r.strTime.empty())
        return ScheduleFault{ScheduleField::Time, std::string("시각이 없습니다") + kTimeForm};
    if (!IsTimeOfDay(r.strTime))
        return ScheduleFault{ScheduleField::Time,
                             "읽을 수 없는 시각입니다: " + Quoted(r.strTime) + kTimeForm};
    constexpr const char* kWeekdayForm = " (일, 월, 화, 수, 목, 금, 토 가운데 한 글자)";
    if (kind == kKindWeekly && r.strWeek.empty())
        return ScheduleFault{ScheduleField::Weekday,
                             std::string("매주 항목에 요일이 없습니다") + kWeekdayForm};
    if (kind == kKindWeekly) {
        bool letter = false;
        for (const std::string_view weekday : kWeekdays)
            letter = letter || r.strWeek == weekday;
        if (!letter)
            return ScheduleFault{ScheduleField::Weekday,
                                 "알 수 없는 요일입니다: " + Quoted(r.strWeek) + kWeekdayForm};
    }
    if (kind == kKindMonthly && (r.nDay < 1 || r.nDay > 31))
        return ScheduleFault{ScheduleField::Day, "매달 항목의 날짜가 1부터 31까지가 아닙니다: " +
                                                     std::to_string(r.nDay)};
    return std::nullopt;
}

} // namespace veltrane
