#include "schedule/due_rules.h"
#include "support/manual_clock.h"

#include <gtest/gtest.h>
#include <vector>

using namespace veltrane;
using veltrane::test::ManualClock;

namespace {

LocalDateTime At(const std::string& text)
{
    return ManualClock(text).Now();
}

struct DueCase
{
    const char* kind;
    const char* time;
    const char* week;
    int day;
    const char* last;
    const char* now;
    bool due;
};

// 2026-12-06 is a Sunday, 2026-12-07 a Monday.
const DueCase kCases[] = {
    // Daily: only the hour of strTime counts; more than one hour boundary since the last run.
    {"매일", "14:30:00", "", 0, "", "2026-12-07 14:00:00", true},
    {"매일", "14:30:00", "", 0, "", "2026-12-07 14:59:59", true},
    {"매일", "14:30:00", "", 0, "", "2026-12-07 13:59:59", false},
    {"매일", "14:30:00", "", 0, "", "2026-12-07 15:00:00", false},
    {"매일", "14:30:00", "", 0, "2026-12-07 14:00:05", "2026-12-07 14:59:59", false},
    {"매일", "14:30:00", "", 0, "2026-12-07 14:00:05", "2026-12-08 13:59:59", false},
    {"매일", "14:30:00", "", 0, "2026-12-07 14:00:05", "2026-12-08 14:00:00", true},
    {"매일", "00:15:00", "", 0, "", "2026-12-07 00:00:00", true},
    // The clock was once ahead: a last run in the future holds nothing back,
    // like an unreadable one.
    {"매일", "14:30:00", "", 0, "2026-12-08 14:00:00", "2026-12-07 14:30:00", true},
    {"매주", "02:00:00", "월", 0, "2026-12-09 02:00:00", "2026-12-07 02:00:01", true},
    // An unreadable last time meets every guard.
    {"매일", "14:30:00", "", 0, "garbage", "2026-12-07 14:10:00", true},
    // Weekly, never ran: the weekday alone, from midnight.
    {"매주", "02:00:00", "월", 0, "", "2026-12-07 00:00:00", true},
    {"매주", "02:00:00", "월", 0, "", "2026-12-06 23:59:59", false},
    {"매주", "02:00:00", "", 0, "", "2026-12-06 10:00:00", true}, // empty is Sunday
    {"매주", "02:00:00", "X", 0, "", "2026-12-06 10:00:00", false},
    {"매주", "02:00:00", "X", 0, "", "2026-12-07 10:00:00", false},
    // Weekly, ran before: seven days, then strictly past the time of day, any weekday.
    {"매주", "02:00:00", "월", 0, "2026-12-07 02:00:00", "2026-12-14 02:00:00", false},
    {"매주", "02:00:00", "월", 0, "2026-12-07 02:00:00", "2026-12-14 02:00:01", true},
    {"매주", "02:00:00", "월", 0, "2026-12-07 02:00:00", "2026-12-15 01:59:59", false},
    {"매주", "02:00:00", "월", 0, "2026-12-07 02:00:00", "2026-12-15 02:00:01", true},
    {"매주", "02:00:00", "월", 0, "2026-12-07 02:00:00", "2026-12-13 23:59:59", false},
    // Monthly.
    {"매달", "03:00:00", "", 15, "", "2026-12-15 00:00:00", true},
    {"매달", "03:00:00", "", 15, "", "2026-12-14 23:59:59", false},
    {"매달", "03:00:00", "", 15, "2026-11-15 03:00:00", "2026-12-15 00:00:00", true},
    {"매달", "03:00:00", "", 15, "2026-12-15 00:00:00", "2026-12-15 10:00:00", false},
    {"매달", "03:00:00", "", 30, "", "2027-02-28 10:00:00", false},
    // Hourly: the minute of strTime.
    {"매시간", "00:30:00", "", 0, "", "2026-12-07 10:05:00", true},
    {"매시간", "00:30:00", "", 0, "", "2026-12-07 10:45:00", false},
    {"매시간", "00:30:00", "", 0, "", "2026-12-07 11:00:00", true},
    {"매시간", "00:30:00", "", 0, "2026-12-07 10:30:02", "2026-12-07 11:29:59", false},
    {"매시간", "00:30:00", "", 0, "2026-12-07 10:30:02", "2026-12-07 11:30:00", true},
    // The minute is characters 4-5, counted in characters, not bytes.
    {"매시간", "가b:30:00", "", 0, "", "2026-12-07 10:05:00", true},
    // Any other kind is never due.
    {"", "14:30:00", "", 0, "", "2026-12-07 14:00:00", false},
    {"daily", "14:30:00", "", 0, "", "2026-12-07 14:00:00", false},
    {"매일 ", "14:30:00", "", 0, "", "2026-12-07 14:00:00", false},
};

ScheduleRecord Item(const char* kind, const char* time, const char* week = "", int day = 0,
                    const char* last = "")
{
    ScheduleRecord r;
    r.bEnabled = true;
    r.strBackUpType = kind;
    r.strTime = time;
    r.strWeek = week;
    r.nDay = static_cast<std::int16_t>(day);
    r.strLastBackUpTime = last;
    return r;
}

} // namespace

TEST(IsScheduleDue, FollowsTheRuleOfEachKind)
{
    for (const auto& c : kCases) {
        ScheduleRecord r = Item(c.kind, c.time, c.week, c.day, c.last);
        EXPECT_EQ(IsScheduleDue(r, At(c.now)), std::optional<bool>(c.due))
            << c.kind << " " << c.time << " week '" << c.week << "' day " << c.day << " last '"
            << c.last << "' now " << c.now;
    }
}

// The next due time is the first moment at which the rules say due: checked
// against asking them at every moment where their answer can change (each
// minute's start for an hourly item, each hour's start for the others, and
// the second after a weekly item's time of day).
TEST(NextDueTime, IsTheFirstMomentTheRulesSayDue)
{
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    const char* times[] = {"14:30:00", "23:59:59", "가b:30:00", "05:07:41", "09:15:00"};
    const char* lasts[] = {"", "2026-12-07 14:00:05", "2027-01-30 10:00:00", "2027-02-10 07:59:59"};
    const char* nows[] = {"2026-12-31 23:59:30", "2027-02-10 08:07:06"};
    int n = 0;
    for (const char* kind : kinds)
        for (const char* time : times)
            for (const char* last : lasts)
                for (const char* now : nows) {
                    ScheduleRecord r = Item(kind, time, n % 3 ? "월" : "X", 1 + n % 30, last);
                    ++n;
                    const LocalDateTime start = At(now);
                    const int step = r.strBackUpType == "매시간" ? 60 : 3600;
                    const auto timeOfDay = ParseDateTime(std::string("2000-01-01 ") + time);
                    const int extra =
                        timeOfDay ? (timeOfDay->minute * 60 + timeOfDay->second + 1) % step : 0;
                    std::optional<LocalDateTime> expected;
                    if (IsScheduleDue(r, start).value_or(false))
                        expected = start;
                    const int into = (start.minute * 60 + start.second) % step;
                    LocalDateTime slot = AddSeconds(start, -into);
                    for (int i = 0; i <= 31 * 24 * 3600 / step && !expected; ++i) {
                        for (int s : {0, extra})
                            if (!expected && (i > 0 || s > into) &&
                                IsScheduleDue(r, AddSeconds(slot, s)).value_or(false))
                                expected = AddSeconds(slot, s);
                        slot = AddSeconds(slot, step);
                    }
                    const auto next = NextDueTime(r, start);
                    EXPECT_EQ(next ? FormatDateTime(*next) : "-",
                              expected ? FormatDateTime(*expected) : "-")
                        << kind << " " << time << " week " << r.strWeek << " day " << r.nDay
                        << " last '" << last << "' now " << now;
                }
}

// What NextDueTimeHolding says holds does hold at every later moment before
// its end (every 59 min 13 s over 75 days): also for monthly days that a
// month may lack (no run within the horizon for weeks).
TEST(NextDueTimeHolding, IsTheAnswerUntilItsEnd)
{
    const std::int64_t start = SecondsOf(At("2027-01-01 00:00:30"));
    for (const char* kind : {"매일", "매주", "매달", "매시간"})
        for (const char* last : {"2026-12-31 10:00:00", "2027-01-02 09:00:00", "garbage"})
            for (int day : {31, 12}) {
                const ScheduleRecord r = Item(kind, "09:15:00", "월", day, last);
                NextRunHolding kept{std::nullopt, start};
                for (std::int64_t at = start; at < start + 75 * kDay; at += 3553) {
                    if (at >= kept.until) {
                        kept = NextDueTimeHolding(r, AtSeconds(at));
                        continue;
                    }
                    const auto next = NextDueTime(r, AtSeconds(at));
                    ASSERT_EQ(next ? std::optional(SecondsOf(*next)) : std::nullopt, kept.run)
                        << kind << " day " << day << " last " << last << " at " << at;
                }
            }
}

TEST(NextDueTime, IsNowWhenFlaggedAndNothingWhenDisabledOrNeverDue)
{
    ScheduleRecord r = Item("기타", "14:30:00");
    EXPECT_EQ(NextDueTime(r, At("2026-12-07 10:00:00")), std::nullopt);
    r.bRunNow = true;
    EXPECT_EQ(FormatDateTime(*NextDueTime(r, At("2026-12-07 10:00:00"))), "2026-12-07 10:00:00");
    r.bEnabled = false;
    EXPECT_EQ(NextDueTime(r, At("2026-12-07 10:00:00")), std::nullopt);
}

// Overdue: the first time the item's own rules made it due after its last
// success (or after the start, with none) lies more than the grace back.
TEST(OverdueSince, IsTheFirstDueTimeAfterTheLastSuccessOnceTheGraceHasPassed)
{
    const LocalDateTime start = At("2026-12-07 00:00:00"); // a Monday
    const struct
    {
        const char* kind;
        const char* time;
        const char* lastSuccess;
        const char* now;
        const char* overdueSince; // "-": not overdue
    } cases[] = {
        {"매일", "02:00:00", "", "2026-12-07 04:00:00", "-"},
        {"매일", "02:00:00", "", "2026-12-07 04:00:01", "2026-12-07 02:00:00"},
        {"매일", "02:00:00", "2026-12-07 02:00:05", "2026-12-08 04:00:01", "2026-12-08 02:00:00"},
        // A weekly item that first ran at midnight runs at 23:00:01 a week on.
        {"매주", "23:00:00", "2026-12-07 00:00:05", "2026-12-14 02:00:06", "-"},
        {"매주", "23:00:00", "2026-12-07 00:00:05", "2026-12-15 01:00:02", "2026-12-14 23:00:01"},
        {"매시간", "00:30:00", "2026-12-07 10:30:02", "2026-12-07 13:30:00", "-"},
        {"매시간", "00:30:00", "2026-12-07 10:30:02", "2026-12-07 13:30:01", "2026-12-07 11:30:00"},
        // A success stamped in the future counts from the start.
        {"매일", "02:00:00", "2030-01-01 00:00:00", "2026-12-07 04:00:01", "2026-12-07 02:00:00"},
        {"기타", "02:00:00", "", "2027-12-07 04:00:01", "-"},
    };
    for (const auto& c : cases) {
        ScheduleRecord r = Item(c.kind, c.time, "월");
        r.history.lastSuccessTime = c.lastSuccess;
        r.strLastBackUpTime = "2026-12-07 02:00:09"; // a run that gave up is no success
        const auto since = OverdueSince(r, start, At(c.now), 2 * 3600);
        EXPECT_EQ(since ? FormatDateTime(*since) : "-", c.overdueSince)
            << c.kind << " " << c.lastSuccess << " " << c.now;
        r.bEnabled = false;
        EXPECT_EQ(OverdueSince(r, start, At(c.now), 2 * 3600), std::nullopt);
    }
}

TEST(IsScheduleDue, WeeklyItemWithUnreadableTimeFailsOnlyOnceItsWeekHasPassed)
{
    ScheduleRecord r = Item("매주", "ab:cd", "월", 0, "2026-12-07 02:00:00");
    EXPECT_EQ(IsScheduleDue(r, At("2026-12-10 02:00:00")), std::optional<bool>(false));
    EXPECT_EQ(IsScheduleDue(r, At("2026-12-14 03:00:00")), std::nullopt);
}

TEST(ParseDateTime, AcceptsTheStoredFormAndRejectsImpossibleDates)
{
    auto t = ParseDateTime("2026-12-07 23:05:09");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->weekday, 1); // Monday
    EXPECT_EQ(t->hour, 23);
    EXPECT_EQ(t->second, 9);
    EXPECT_TRUE(ParseDateTime("2024-02-29 00:00:00"));
    for (const char* bad : {"", "2026-02-29 00:00:00", "2026-13-01 00:00:00", "2026-12-07 24:00:00",
                            "2026-12-07 10:00:00x", "07.12.2026"})
        EXPECT_FALSE(ParseDateTime(bad)) << bad;
}

// The pass's choice: enabled items that are due or flagged, in table order;
// a failing evaluation ends the list there.
TEST(DueItems, AreTheEnabledDueOrFlaggedItemsInTableOrder)
{
    const LocalDateTime now = At("2026-12-07 14:10:00");
    ScheduleTable table;
    auto add = [&](const char* name, const char* kind, bool enabled, bool flagged) {
        auto r = std::make_shared<ScheduleRecord>(Item(kind, "14:00:00"));
        r->strServiceName = name;
        r->bEnabled = enabled;
        r->bRunNow = flagged;
        table.push_back(r);
        return r;
    };
    add("A", "매일", true, false);
    add("B", "매주", true, false); // a Monday item would need strWeek; not due
    add("flagged", "", true, true);
    add("disabled", "매일", false, true);
    auto weekly = add("W", "매주", true, false);
    weekly->strTime = "garbage";
    weekly->strLastBackUpTime = "2026-11-01 00:00:00";
    add("after", "매일", true, false);
    const auto names = [&] {
        std::vector<std::string> due;
        for (const auto& r : DueItems(table, now))
            due.push_back(r->strServiceName);
        return due;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "flagged"}));
    weekly->strTime = "02:00:00";
    EXPECT_EQ(names(), (std::vector<std::string>{"A", "flagged", "W", "after"}));
}

// A failed item's owed try holds it back until its time, even while its rule
// holds, and makes it due then, even when its rule no longer does.
TEST(RetryTime, HoldsAFailedItemBackUntilItsTryThenMakesItDue)
{
    const char* cases[][4] = {// try, now, due, next
                              {"12-07 14:05:00", "12-07 14:00:00", "", "12-07 14:05:00"},
                              {"12-07 14:05:00", "12-07 14:05:00", "y", "12-07 14:05:00"},
                              {"12-07 16:05:00", "12-07 16:20:00", "y", "12-07 16:20:00"},
                              // written by a clock a day ahead: now
                              {"12-08 14:05:00", "12-07 14:00:00", "y", "12-07 14:00:00"}};
    for (const auto& c : cases) {
        auto r =
            std::make_shared<ScheduleRecord>(Item("매일", "14:30", "", 0, "2026-12-06 14:00:05"));
        r->strRetryAfter = std::string("2026-") + c[0];
        const LocalDateTime now = At(std::string("2026-") + c[1]);
        EXPECT_EQ(DueItems({r}, now).size(), *c[2] ? 1u : 0u) << c[0] << " " << c[1];
        EXPECT_EQ(FormatDateTime(*NextDueTime(*r, now)), std::string("2026-") + c[3]) << c[1];
        EXPECT_EQ(MissedDueTime(*r, now), std::nullopt); // an owed try is no missed run
    }
}
