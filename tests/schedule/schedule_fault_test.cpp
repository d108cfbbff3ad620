// Whether an item's schedule can ever make it due: what the editor, --check,
// --status and the metrics all ask.

#include "schedule/due_rules.h"
#include "schedule/schedule_fault.h"

#include <gtest/gtest.h>

using namespace veltrane;

TEST(ScheduleFaultOf, NamesTheFieldThatKeepsAnItemFromEverRunning)
{
    struct Case
    {
        const char* kind;
        const char* weekday;
        std::int16_t day;
        const char* time;
        std::optional<ScheduleField> fault;
    };
    const Case cases[] = {
        {"매일", "", 0, "02:00:00", std::nullopt},
        {"매주", "토", 0, "23:59:59", std::nullopt},
        {"매달", "", 31, "00:00:00", std::nullopt},
        {"매시간", "", 0, "00:30:00", std::nullopt},
        {"매일", "월요일", 99, "02:00:00", std::nullopt}, // unused by a daily item
        {"", "", 0, "02:00:00", ScheduleField::Kind},
        {"daily", "", 0, "02:00:00", ScheduleField::Kind},
        {"매일 ", "", 0, "02:00:00", ScheduleField::Kind},
        {"매일", "", 0, "", ScheduleField::Time},
        {"매일", "", 0, "25:61:00", ScheduleField::Time},
        {"매시간", "", 0, "00:60:00", ScheduleField::Time},
        {"매일", "", 0, "2:00:00", ScheduleField::Time},
        {"매일", "", 0, "02:00", ScheduleField::Time},
        {"매주", "", 0, "02:00:00", ScheduleField::Weekday},
        {"매주", "월요일", 0, "02:00:00", ScheduleField::Weekday},
        {"매주", "Mon", 0, "02:00:00", ScheduleField::Weekday},
        {"매달", "", 0, "02:00:00", ScheduleField::Day},
        {"매달", "", 32, "02:00:00", ScheduleField::Day},
        {"매달", "", -3, "02:00:00", ScheduleField::Day},
    };
    const LocalDateTime monday{2026, 12, 7, 0, 0, 0, 1};
    for (const Case& c : cases) {
        ScheduleRecord r;
        r.bEnabled = true;
        r.strBackUpType = c.kind;
        r.strWeek = c.weekday;
        r.nDay = c.day;
        r.strTime = c.time;
        SCOPED_TRACE(std::string(c.kind) + "|" + c.weekday + "|" + std::to_string(c.day) + "|" +
                     c.time);
        const std::optional<ScheduleFault> fault = ScheduleFaultOf(r);
        ASSERT_EQ(fault.has_value(), c.fault.has_value()) << (fault ? fault->text : "");
        if (!fault) {
            // What the rule accepts, the due rules start within 31 days.
            EXPECT_TRUE(NextDueTime(r, monday)) << "accepted but never due";
            continue;
        }
        EXPECT_EQ(fault->field, *c.fault) << fault->text;
        // The text shows the value at fault, so the operator finds it.
        const std::string value = *c.fault == ScheduleField::Kind      ? c.kind
                                  : *c.fault == ScheduleField::Weekday ? c.weekday
                                  : *c.fault == ScheduleField::Time    ? c.time
                                                                       : std::to_string(c.day);
        EXPECT_NE(fault->text.find(value), std::string::npos) << fault->text;
    }
}
