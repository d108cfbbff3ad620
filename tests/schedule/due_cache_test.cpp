#include "schedule/calendar.h"
#include "schedule/due_cache.h"
#include "schedule/due_rules.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

struct Item
{
    const char* kind;
    const char* time;
    const char* week;
    int day;
    const char* last;
    const char* success;
    const char* retryAfter;
};

// Every kind, never run, run, run "in the future", an unreadable weekly time
// (its evaluation fails once seven days have passed), an hour that never
// comes, a try owed.
const Item kItems[] = {
    {"매일", "14:30:00", "", 0, "", "", ""},
    {"매일", "14:30:00", "", 0, "2026-12-06 14:00:05", "2026-12-06 14:00:05", ""},
    {"매일", "25:00:00", "", 0, "2026-12-06 14:00:05", "", ""},
    {"매주", "02:00:00", "월", 0, "", "", ""},
    {"매주", "02:00:00", "월", 0, "2026-12-01 02:00:01", "2026-12-01 02:00:01", ""},
    {"매달", "00:00:00", "", 9, "2026-11-09 00:10:00", "2026-11-09 00:10:00", ""},
    {"매시간", "00:20:00", "", 0, "", "", ""},
    {"매시간", "00:20:00", "", 0, "2026-12-07 23:20:00", "2026-12-07 23:20:00", ""},
    {"매시간", "00:40:00", "", 0, "2026-12-09 11:00:00", "2026-12-09 11:00:00", ""},
    {"매일", "03:00:00", "", 0, "2026-12-07 03:00:00", "", "2026-12-08 01:10:00"},
    {"매주", "bad", "월", 0, "2026-12-02 10:00:00", "", ""},
};

ScheduleTable MakeTable()
{
    ScheduleTable table;
    for (const Item& item : kItems) {
        auto r = std::make_shared<ScheduleRecord>();
        r->bEnabled = true;
        r->strBackUpType = item.kind;
        r->strTime = item.time;
        r->strWeek = item.week;
        r->nDay = static_cast<std::int16_t>(item.day);
        r->strLastBackUpTime = item.last;
        r->history.lastSuccessTime = item.success;
        r->strRetryAfter = item.retryAfter;
        table.push_back(r);
    }
    return table;
}

// The kept answers against the due rules worked out afresh, every minute
// over three days, with the table changed (and said so) along the way: each
// item that comes due runs then, and an edit moves an item's time.
TEST(DueCache, AnswersAsTheDueRulesMinuteByMinute)
{
    ScheduleTable table = MakeTable();
    DueCache cache;
    const LocalDateTime watch = *ParseDateTime("2026-12-07 23:00:00");
    const std::int64_t start = SecondsOf(watch);
    for (std::int64_t at = start; at < start + 3 * kDay; at += 37) {
        const LocalDateTime now = AtSeconds(at);
        ASSERT_EQ(cache.DueItems(table, now), DueItems(table, now)) << FormatDateTime(now);
        std::vector<std::size_t> expected;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (OverdueSince(*table[i], watch, now, 3600))
                expected.push_back(i);
            ASSERT_EQ(cache.LastBackUpInFuture(table, i, now),
                      SecondsOf(ParseDateTime(table[i]->strLastBackUpTime).value_or(now)) >
                          SecondsOf(now));
        }
        std::vector<std::size_t> overdue;
        for (const auto& [index, text] : cache.Overdue(table, watch, now, 3600)) {
            overdue.push_back(index);
            EXPECT_EQ(*text, FormatDateTime(*OverdueSince(*table[index], watch, now, 3600)));
        }
        ASSERT_EQ(overdue, expected) << FormatDateTime(now);
        // The first due item runs and succeeds; now and then an item's time
        // is edited. Both are said to the cache, as the service does.
        if (const auto due = DueItems(table, now); !due.empty() && at % 3 == 0) {
            due.front()->strLastBackUpTime = due.front()->history.lastSuccessTime =
                FormatDateTime(now);
            due.front()->strRetryAfter.clear();
            cache.Invalidate();
        }
        if (at % 5000 < 37) {
            table[1]->strTime = at % 2 == 0 ? "09:00:00" : "14:30:00";
            cache.Invalidate();
        }
        // The box and the flag, kept beside the moments, follow their items.
        if (at % 7000 < 37) {
            table[7]->bEnabled = !table[7]->bEnabled;
            table[4]->bRunNow = !table[4]->bRunNow;
            cache.Invalidate();
        }
    }
}

// A record changed without a word is still seen within the minute.
TEST(DueCache, SeesAnUnsaidChangeInTheNextMinute)
{
    ScheduleTable table = MakeTable();
    DueCache cache;
    const LocalDateTime now = *ParseDateTime("2026-12-08 10:00:10");
    ASSERT_EQ(cache.DueItems(table, now), DueItems(table, now));
    table[0]->strTime = "10:00:00";
    const LocalDateTime later = *ParseDateTime("2026-12-08 10:01:00");
    EXPECT_EQ(cache.DueItems(table, later), DueItems(table, later));
    EXPECT_EQ(cache.DueItems(table, later).front(), table[0]);
}

} // namespace
