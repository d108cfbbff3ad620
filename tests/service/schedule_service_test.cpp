// The operator's changes to the table, made through the scheduler: what
// Veltrane.state keeps of them (read back by a scheduler started anew on the
// same folder) and how long a delete can be undone.

#include "service/schedule_service.h"
#include "store/run_state.h"
#include "store/schedule_file.h"
#include "support/manual_clock.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <tuple>
#include <vector>

using namespace veltrane;
using namespace veltrane::test;

namespace {

std::shared_ptr<ScheduleRecord> Item(std::int32_t number, const char* service, const char* lastRun)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->nNo = number;
    r->strServiceName = service;
    r->strID = "SCOTT";
    r->strBackUpFolder = "/backup/";
    r->history.lastRunTime = lastRun;
    r->history.lastRunSucceeded = true;
    return r;
}

class TableChanges : public ::testing::Test
{
protected:
    // A, B and C, numbered 1 to 3, each with a run of its own, saved.
    void SetUp() override
    {
        service.SetTable({Item(1, "A", "2026-12-01 02:00:00"), Item(2, "B", "2026-12-02 02:00:00"),
                          Item(3, "C", "2026-12-03 02:00:00")});
        ASSERT_TRUE(service.SaveScheduleOrReport());
        service.OnTableChanged([this](const ScheduleRecord* record) {
            changes.push_back(record != nullptr ? record->strServiceName : "*");
        });
    }

    // "1 A 2026-12-01 02:00:00, ...": the table as a scheduler started now on
    // the folder reads it, with the histories Veltrane.state keeps.
    std::string Restarted()
    {
        ScheduleService fresh(host, clock, data.path());
        EXPECT_TRUE(fresh.LoadSchedule());
        return Described(fresh.Table());
    }

    static std::string Described(const ScheduleTable& table)
    {
        std::string text;
        for (const auto& r : table)
            text += (text.empty() ? "" : ", ") + std::to_string(r->nNo) + " " + r->strServiceName +
                    " " + r->history.lastRunTime;
        return text;
    }

    TempDir data;
    ManualClock clock;
    RecordingHost host;
    ScheduleService service{host, clock, data.path()};
    std::vector<std::string> changes; // the records changed, "*" for the rows
};

} // namespace

TEST_F(TableChanges, HistoriesFollowTheItemsThroughEveryChange)
{
    ItemProperties renamed = PropertiesFromRecord(*service.Table()[2]);
    renamed.strServiceName = "C2";
    service.EditItem(service.Table()[2], renamed);
    ItemProperties added;
    added.strServiceName = "D";
    ASSERT_TRUE(service.InsertItem(added));
    EXPECT_EQ(service.SetItemsEnabled(2, true), 1u);
    EXPECT_EQ(service.MarkRunNow(2), 1u);
    EXPECT_EQ(service.MarkRunNow(4), 0u); // a new item starts disabled
    ASSERT_TRUE(service.SaveScheduleOrReport());
    EXPECT_EQ(Restarted(), "1 A 2026-12-01 02:00:00, 2 B 2026-12-02 02:00:00, "
                           "3 C2 2026-12-03 02:00:00, 4 D ");

    // A deleted item is still in Schedule.dat until the delete is saved: a
    // program ended before that finds it with its history.
    EXPECT_EQ(service.DeleteItems(1).size(), 1u);
    EXPECT_EQ(Described(service.Table()),
              "1 B 2026-12-02 02:00:00, 2 C2 2026-12-03 02:00:00, 3 D ");
    EXPECT_EQ(Restarted(), "1 A 2026-12-01 02:00:00, 2 B 2026-12-02 02:00:00, "
                           "3 C2 2026-12-03 02:00:00, 4 D ");
    ASSERT_TRUE(service.SaveScheduleOrReport());
    EXPECT_EQ(Restarted(), "1 B 2026-12-02 02:00:00, 2 C2 2026-12-03 02:00:00, 3 D ");
    EXPECT_EQ(changes, (std::vector<std::string>{"C2", "*", "B", "B", "*"}));
}

TEST_F(TableChanges, ADeleteIsUndoneUntilTheTableIsSavedOrReadAnew)
{
    struct Case
    {
        const char* meanwhile;
        const char* refusal; // empty: undone
        const char* table;   // after the undo
    };
    const Case cases[] = {
        {"nothing", "", "1 A, 2 C, 3 NEW"},
        {"save", "삭제한 항목은 이미 저장되어 되돌릴 수 없습니다.", "1 A, 2 C"},
        {"reload", "Schedule.dat을 다시 읽었으므로 삭제한 항목을 되돌릴 수 없습니다.",
         "1 A, 2 B, 3 C"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.meanwhile);
        SetUp();
        ASSERT_EQ(service.DeleteItems(2).size(), 1u);
        service.InsertItem({}).value()->strServiceName = "NEW"; // after the delete
        ASSERT_EQ(service.DeleteItems(3).size(), 1u);           // the last delete counts
        const std::string meanwhile = c.meanwhile;
        ASSERT_TRUE(meanwhile == "save"     ? service.SaveScheduleOrReport()
                    : meanwhile == "reload" ? service.LoadSchedule().ok()
                                            : true);
        const auto undone = service.UndoDelete();
        ASSERT_EQ(undone.ok(), *c.refusal == '\0');
        EXPECT_EQ(undone.ok() ? undone->front()->strServiceName : undone.error().description,
                  undone.ok() ? "NEW" : c.refusal);
        std::string names;
        for (const auto& r : service.Table())
            names += (names.empty() ? "" : ", ") + std::to_string(r->nNo) + " " + r->strServiceName;
        EXPECT_EQ(names, c.table);
        // Once: a second undo finds nothing to take back.
        const auto again = service.UndoDelete();
        EXPECT_TRUE(again.ok() && again->empty());
    }
}

// A backlog of due runs saves the schedule once, after the last of them, with
// Veltrane.state keeping each run's latest back time meanwhile: the disk as
// a kill -9 after the first run leaves it costs that item no second run.
TEST(Backlog, SavesTheScheduleOnceAndAKillBeforeThenCostsNoRerun)
{
    TempDir data, backups, atKill;
    ManualClock clock("2026-12-07 09:30:00");
    RecordingHost host;
    ScheduleService service(host, clock, data.path());
    ScheduleTable table;
    for (const char* name : {"A", "B", "C"}) {
        table.push_back(Item(static_cast<std::int32_t>(table.size() + 1), name, ""));
        table.back()->bEnabled = true;
        table.back()->strBackUpType = kKindHourly;
        table.back()->strTime = "00:59:00"; // due at once, never run
        table.back()->strBackUpFolder = backups.path() + "/";
        table.back()->strProgramPath = JOB_TEST_DATA_DIR "/fake_exp.py";
    }
    service.SetTable(table);
    ASSERT_TRUE(service.SaveScheduleOrReport());
    service.OnTableChanged([&](const ScheduleRecord* r) {
        if (r != nullptr && r->strServiceName == "A" && !FileExists(atKill.File("Schedule.dat")))
            for (const char* name : {"Schedule.dat", kRunStateFileName})
                std::filesystem::copy(data.File(name), atKill.File(name));
    });
    service.Tick();

    // The latest back times in Schedule.dat, or as a start reads them.
    const auto latest = [&](const std::string& folder, bool started) {
        ScheduleService fresh(host, clock, folder);
        EXPECT_TRUE(!started || fresh.LoadSchedule().ok());
        std::string times;
        const ScheduleTable read =
            started ? fresh.Table() : *LoadSchedule(folder + "/Schedule.dat");
        for (const auto& r : read)
            times += r->strLastBackUpTime.empty() ? "-" : "+";
        return times;
    };
    EXPECT_EQ(latest(atKill.path(), false), "---");
    EXPECT_EQ(latest(atKill.path(), true), "+--");
    EXPECT_EQ(latest(atKill.path(), false), "+--"); // saved by that start
    EXPECT_EQ(latest(data.path(), false), "+++");
    // Saved, the times are the file's alone: one set back by hand counts.
    for (const ItemState& item : RunStateFile(data.File(kRunStateFileName)).Items())
        EXPECT_EQ(item.unsavedBackUpTime, "") << item.service;
}

// Between ticks a service waits as long as nothing can come due: to the next
// minute while every item waits, a second while anything waits for a second
// of its own. The item changes behind the scheduler's back, seen in the
// minute's look.
TEST(NextTick, WaitsForTheNextMinuteOnlyWhileEveryItemWaits)
{
    TempDir data;
    ManualClock clock("2026-12-07 09:30:10");
    RecordingHost host;
    ScheduleService service(host, clock, data.path());
    auto item = Item(1, "A", "");
    item->bEnabled = true;
    item->strBackUpType = kKindHourly;
    item->strTime = "00:20:00";
    service.SetTable({item});
    EXPECT_EQ(service.SecondsToNextTick(), 1); // the first tick starts up
    for (const auto& [now, retryAfter, last, wait] :
         std::vector<std::tuple<const char*, const char*, const char*, int>>{
             {"09:30:10", "", "09:20:05", 50},
             {"10:19:30", "", "09:20:05", 30},                   // the next run at 10:20
             {"10:25:00", "2026-12-07 10:40:00", "10:20:05", 1}, // a try owed
             {"10:26:00", "", "23:20:05", 1},                    // a latest back time ahead
             {"10:27:20", "", "10:20:05", 40}}) {
        item->strRetryAfter = retryAfter;
        item->strLastBackUpTime = std::string("2026-12-07 ") + last;
        clock.Set(std::string("2026-12-07 ") + now);
        service.Tick();
        EXPECT_EQ(service.SecondsToNextTick(), wait) << now;
    }
}
