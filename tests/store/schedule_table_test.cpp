#include "store/number_text.h"
#include "store/schedule_file.h"
#include "store/schedule_table.h"
#include "support/sample_item.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <limits>

using namespace veltrane;

namespace {

std::shared_ptr<ScheduleRecord> Numbered(std::int32_t number, std::string service = "")
{
    auto record = std::make_shared<ScheduleRecord>();
    record->nNo = number;
    record->strServiceName = service.empty() ? "SVC" + std::to_string(number) : service;
    return record;
}

ScheduleTable TableNumbered(std::initializer_list<std::int32_t> numbers)
{
    ScheduleTable table;
    for (std::int32_t n : numbers)
        table.push_back(Numbered(n));
    return table;
}

std::vector<std::int32_t> Numbers(const ScheduleTable& table)
{
    std::vector<std::int32_t> numbers;
    for (const auto& record : table)
        numbers.push_back(record->nNo);
    return numbers;
}

std::vector<std::string> Services(const ScheduleTable& table)
{
    std::vector<std::string> services;
    for (const auto& record : table)
        services.push_back(record->strServiceName);
    return services;
}

} // namespace

TEST(InsertItem, AppendsTheNextNumberKeepingEveryFieldButStartsDisabled)
{
    ScheduleTable table = TableNumbered({1, 2, 3});
    std::string error;
    auto added = InsertItem(table, test::SampleWeeklyItem(), error);
    ASSERT_NE(added, nullptr) << error;
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table.back(), added);
    EXPECT_EQ(Numbers(table), (std::vector<std::int32_t>{1, 2, 3, 4}));

    EXPECT_FALSE(added->bEnabled);
    EXPECT_EQ(added->strLastBackUpTime, "");
    EXPECT_FALSE(added->bRunNow);
    // Every field the operator filled in, the options and the description too.
    EXPECT_EQ(PropertiesFromRecord(*added), test::SampleWeeklyItem());
}

TEST(InsertItem, StartsAnEmptyTableAtOneAndNumbersByCountNotByLastNumber)
{
    ScheduleTable table;
    std::string error;
    ASSERT_NE(InsertItem(table, {}, error), nullptr);
    EXPECT_EQ(Numbers(table), (std::vector<std::int32_t>{1}));

    // A hand-made file numbered 3, 7, 9: the new item is the fourth.
    table = TableNumbered({3, 7, 9});
    ASSERT_NE(InsertItem(table, {}, error), nullptr);
    EXPECT_EQ(Numbers(table), (std::vector<std::int32_t>{3, 7, 9, 4}));
}

TEST(InsertItem, RefusesAFullTableAndLeavesItAsItWas)
{
    ScheduleTable table;
    for (std::size_t i = 0; i < kMaxScheduleRecords - 1; ++i)
        table.push_back(Numbered(static_cast<std::int32_t>(i + 1), "S"));
    ASSERT_FALSE(IsScheduleTableFull(table));
    std::string error;
    auto last = InsertItem(table, {}, error);
    ASSERT_NE(last, nullptr) << error;
    EXPECT_EQ(last->nNo, 32767);
    EXPECT_TRUE(IsScheduleTableFull(table));

    EXPECT_EQ(InsertItem(table, test::SampleWeeklyItem(), error), nullptr);
    EXPECT_NE(error.find("32767"), std::string::npos) << error;
    EXPECT_EQ(table.size(), kMaxScheduleRecords);
    EXPECT_EQ(table.back(), last);
}

TEST(DeleteItems, RemovesTheNumberAndRenumbersTheRestInOrder)
{
    struct Case
    {
        const char* name;
        std::vector<std::int32_t> numbers;
        std::int32_t remove;
        std::size_t removed;
        std::vector<std::string> services;
    };
    const Case cases[] = {
        {"middle of 1,2,3", {1, 2, 3}, 2, 1, {"SVC1", "SVC3"}},
        {"the only record", {1}, 1, 1, {}},
        {"both records numbered 5", {5, 2, 5}, 5, 2, {"SVC2"}},
        {"no match still renumbers", {3, 7, 9}, 4, 0, {"SVC3", "SVC7", "SVC9"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScheduleTable table;
        for (std::int32_t n : c.numbers)
            table.push_back(Numbered(n));
        EXPECT_EQ(DeleteItems(table, c.remove).size(), c.removed);
        EXPECT_EQ(Services(table), c.services);
        std::vector<std::int32_t> expected;
        for (std::size_t i = 0; i < c.services.size(); ++i)
            expected.push_back(static_cast<std::int32_t>(i + 1));
        EXPECT_EQ(Numbers(table), expected);
    }
}

TEST(DeleteItems, DeletingTheOnlyRecordAndSavingWritesAnEmptyFile)
{
    test::TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    ScheduleTable table = TableNumbered({1});
    std::string error;
    ASSERT_TRUE(SaveSchedule(path, table).ok());
    ASSERT_FALSE(test::ReadBytes(path).empty());

    DeleteItems(table, 1);
    ASSERT_TRUE(table.empty());
    ASSERT_TRUE(SaveSchedule(path, table).ok());
    EXPECT_EQ(test::ReadBytes(path), "");
}

TEST(DeleteItems, NeverFreesOrMovesARecordSomeoneHolds)
{
    ScheduleTable table = TableNumbered({1, 2, 3});
    std::shared_ptr<ScheduleRecord> running = table[1]; // a backup run works on item 2
    std::shared_ptr<ScheduleRecord> survivor = table[2];
    running->strLastBackUpTime = "2026-12-07 02:00:00";

    DeleteItems(table, 2);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(running.use_count(), 1); // only the run holds it now, and it is intact
    EXPECT_EQ(running->strServiceName, "SVC2");
    EXPECT_EQ(running->strLastBackUpTime, "2026-12-07 02:00:00");
    EXPECT_EQ(table[1], survivor); // the same object, renumbered in place
    EXPECT_EQ(survivor->nNo, 2);

    // Inserts that grow the table past its capacity keep held records in place.
    ScheduleRecord* address = survivor.get();
    std::string error;
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(InsertItem(table, {}, error), nullptr);
    EXPECT_EQ(table[1].get(), address);
    EXPECT_EQ(survivor->strServiceName, "SVC3");
}

TEST(DuplicateNumbers, FindTakesTheFirstWhileDeleteTakesEvery)
{
    ScheduleTable table{Numbered(5, "FIRST"), Numbered(1, "ONE"), Numbered(5, "SECOND")};

    auto found = FindFirstItem(table, 5);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->strServiceName, "FIRST");
    EXPECT_EQ(FindFirstItem(table, 4), nullptr);
    EXPECT_EQ(Services(ItemsNumbered(table, 5)), (std::vector<std::string>{"FIRST", "SECOND"}));
    EXPECT_TRUE(ItemsNumbered(table, 8).empty());

    const std::vector<RemovedItem> removed = DeleteItems(table, 5);
    ASSERT_EQ(removed.size(), 2u);
    EXPECT_EQ(removed[0].position, 0u);
    EXPECT_EQ(removed[1].position, 2u);
    EXPECT_EQ(Services(table), (std::vector<std::string>{"ONE"}));
    EXPECT_EQ(Numbers(table), (std::vector<std::int32_t>{1}));

    // Put back in their places, and the item added meanwhile after them.
    std::string error;
    ASSERT_NE(InsertItem(table, {}, error), nullptr);
    RestoreItems(table, removed);
    EXPECT_EQ(Services(table), (std::vector<std::string>{"FIRST", "ONE", "SECOND", ""}));
    EXPECT_EQ(Numbers(table), (std::vector<std::int32_t>{1, 2, 3, 4}));
}

// The same item wherever it is named: the record of its number first, else
// the first of its service, user and folder; each record found once.
TEST(FindSameItems, PrefersTheSameNumberAndFindsEachRecordOnce)
{
    const auto record = [](std::int32_t number, const char* service, const char* folder) {
        auto r = Numbered(number, service);
        r->strID = "SCOTT";
        r->strBackUpFolder = folder;
        return r;
    };
    const ScheduleTable table{record(1, "ORCL", "/a/"), record(2, "ORCL", "/b/"),
                              record(3, "ORCL", "/a/"), record(4, "HR", "/a/")};
    struct Case
    {
        const char* name;
        std::vector<ItemKey> keys;
        std::vector<std::size_t> found;
    };
    const Case cases[] = {
        {"its own number", {{3, "ORCL", "SCOTT", "/a/"}}, {2}},
        {"renumbered: the first of the item", {{7, "ORCL", "SCOTT", "/a/"}}, {0}},
        {"the folder tells items apart", {{1, "ORCL", "SCOTT", "/b/"}}, {1}},
        {"another user is another item", {{1, "ORCL", "SYSTEM", "/a/"}}, {kNoItem}},
        // The key numbered 1 takes the record numbered 1, though another key
        // of the item comes first; that one takes the next, a third none.
        {"numbers first, then in order",
         {{9, "ORCL", "SCOTT", "/a/"}, {1, "ORCL", "SCOTT", "/a/"}, {8, "ORCL", "SCOTT", "/a/"}},
         {2, 0, kNoItem}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<const ItemKey*> keys;
        for (const ItemKey& key : c.keys)
            keys.push_back(&key);
        EXPECT_EQ(FindSameItems(table, keys), c.found);
    }
    EXPECT_EQ(FindSameItem(table, KeyOf(*table[3])), table[3]);
    EXPECT_EQ(FindSameItem(table, {4, "HR", "SCOTT", "/b/"}), nullptr);
}

TEST(ApplyProperties, CopiesAllTwentyFourFieldsAndKeepsTheTablesOwn)
{
    ScheduleRecord record;
    record.nNo = 9;
    record.bEnabled = true;
    record.bRunNow = true;
    record.strLastBackUpTime = "2026-12-01 02:00:00";

    ApplyProperties(test::SampleWeeklyItem(), record);
    EXPECT_EQ(PropertiesFromRecord(record), test::SampleWeeklyItem());
    EXPECT_EQ(record.nNo, 9);
    EXPECT_TRUE(record.bEnabled);
    EXPECT_TRUE(record.bRunNow);
    EXPECT_EQ(record.strLastBackUpTime, "2026-12-01 02:00:00");

    // Clearing works as well as setting: no field is skipped on the way back.
    ApplyProperties(ItemProperties{}, record);
    EXPECT_EQ(PropertiesFromRecord(record), ItemProperties{});
}

TEST(LeadingNumber, TakesTheLeadingDecimalNumberOfATypedText)
{
    struct Case
    {
        const char* text;
        std::optional<std::int16_t> value;
    };
    const Case cases[] = {
        {"12abc", 12},
        {"abc", 0},
        {"  7", 7},
        {"-5 files", -5},
        {"2.5", 2}, // nearest, halves to even
        {"3.5", 4},
        {"1e3", 1000},
        {"1e-999", 0},
        {"inf", 0},
        {"nan", 0},
        {"0x1F", 0},
        {"32767", 32767},
        {"-32768", -32768},
        {"32768", std::nullopt},
        {"99999999999999999999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(LeadingInt16(c.text), c.value);
    }
    EXPECT_EQ(LeadingInt32("40000"), 40000);
    EXPECT_EQ(LeadingInt32("2147483648"), std::nullopt);
}
