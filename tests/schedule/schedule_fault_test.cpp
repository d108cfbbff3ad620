// Whether an item's schedule can ever make it due: the one rule of the
// editor, --check, --status and the metrics.

#include "schedule/due_rules.h"
#include "schedule/schedule_fault.h"

#include <gtest/gtest.h>

using namespace veltrane;

TEST(ScheduleFaultOf, NamesTheFieldThatKeepsAnItemFromEverRunning)
{
    using F = ScheduleField;
    // Weekday and day are unused by a daily item.
    const std::tuple<const char*, const char*, std::int16_t, const char*, std::optional<F>>
        cases[] = {{"매일", "월요일", 99, "02:00:00", {}},
                   {"매주", "토", 0, "23:59:59", {}},
                   {"매달", "", 31, "00:00:00", {}},
                   {"매시간", "", 0, "00:30:00", {}},
                   {"", "", 0, "02:00:00", F::Kind},
                   {"daily", "", 0, "02:00:00", F::Kind},
                   {"매일", "", 0, "", F::Time},
                   {"매일", "", 0, "25:61:00", F::Time},
                   {"매일", "", 0, "2:00:00", F::Time},
                   {"매주", "", 0, "02:00:00", F::Weekday},
                   {"매주", "월요일", 0, "02:00:00", F::Weekday},
                   {"매달", "", 0, "02:00:00", F::Day}};
    const LocalDateTime monday{2026, 12, 7, 0, 0, 0, 1};
    for (const auto& [kind, weekday, day, time, expected] : cases) {
        ScheduleRecord r;
        r.bEnabled = true;
        std::tie(r.strBackUpType, r.strWeek, r.nDay, r.strTime) =
            std::tuple(kind, weekday, day, time);
        SCOPED_TRACE(std::string(kind) + "|" + weekday + "|" + std::to_string(day) + "|" + time);
        const std::optional<ScheduleFault> fault = ScheduleFaultOf(r);
        EXPECT_EQ(fault ? std::optional(fault->field) : std::nullopt, expected);
        // What the rule accepts, the due rules start within 31 days.
        EXPECT_TRUE(fault || NextDueTime(r, monday));
    }
}
