// The items document: what an import refuses, naming the item and the field,
// and what it keeps of the stored items.

#include "cli/items_command.h"
#include "store/schedule_file.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

// A document of one item: a daily backup at 02:00 plus `members`.
std::string OneItem(const std::string& members)
{
    return R"({"items": [{"strBackUpType": "매일", "strTime": "02:00:00")" +
           (members.empty() ? "" : ", " + members) + "}]}";
}

} // namespace

TEST(ItemsDocument, ARefusalNamesTheItemAndTheField)
{
    const struct
    {
        std::string document;
        std::string said;
    } cases[] = {
        {"", "no JSON"},
        {R"({"items": [{}],})", "no JSON"},
        {R"({"items": [{"nNo": 1, "nNo": 2}]})", "given twice"},
        {R"({"items": [{"strID": "a\u0000"}]})", "strID: a control character"},
        {"{\"items\": [{\"strID\": \"\xff\"}]}", "not UTF-8"},
        {R"({"items": [{"strID": "\ud800"}]})", "lone surrogate"},
        {R"({"items": {}})", "no {\"items\""},
        {R"({"items": [], "extra": 1})", "unknown member \"extra\""},
        {R"({"items": [[]]})", "items[0]: an object is expected"},
        {OneItem(R"("strPWD": 5)"), "items[0] (nNo 1), strPWD: a string is expected"},
        {OneItem(R"("bEnabled": "True")"), "bEnabled: true or false"},
        {OneItem(R"("nReservedFiles": 32768)"), "nReservedFiles: a whole number from 0 to 32767"},
        {OneItem(R"("nReservedFiles": -1)"), "nReservedFiles"},
        {OneItem(R"("nDay": 1.5)"), "nDay: a whole number"},
        {OneItem(R"("nNo": 0)"), "nNo: a whole number from 1"},
        {OneItem(R"("strDescription": "two\nlines")"), "strDescription: a control character"},
        {OneItem(R"("strID": "😀")"), "strID: holds a character that code page 949"},
        {OneItem(R"("strMailReceiveList": "dba@example.kr;nobody")"),
         "strMailReceiveList: 메일 주소가 아닙니다: \"nobody\""},
        {OneItem(R"("strTables": "T", "Tables": "T")"), "Tables: no field of an item"},
        {R"({"items": [{"strBackUpType": "daily", "strTime": "02:00:00"}]})", "strBackUpType"},
        {R"({"items": [{"strBackUpType": "매주", "strWeek": "월요일", "strTime": "02:00:00"}]})",
         "strWeek"},
        {R"({"items": [{"strBackUpType": "매달", "nDay": 0, "strTime": "02:00:00"}]})", "nDay"},
        {R"({"items": [{"strBackUpType": "매일", "strTime": "2:00"}]})", "strTime"},
        {R"({"items": [{"strBackUpType": "매일", "strTime": "02:00:00"},
                       {"nNo": 1, "strBackUpType": "매일", "strTime": "02:00:00"}]})",
         "items[1] (nNo 1), nNo: another item has the same number"},
    };
    for (const auto& c : cases) {
        const Result<ScheduleTable> table = ItemsFromJson(c.document, {});
        ASSERT_FALSE(table.ok()) << c.document;
        EXPECT_NE(table.error().description.find(c.said), std::string::npos)
            << c.document << "\n"
            << table.error().description;
    }
}

// The document's order is the table's; an entry keeps the password and the
// latest back time of the stored item of its number unless it gives them.
TEST(ItemsDocument, AnEntryKeepsWhatItLeavesOutOfTheStoredItemOfItsNumber)
{
    const ScheduleTable stored =
        ParseSchedule("1\tTrue\t\t0\t\t\tA\tpw1\t\tS\t2026-01-01 02:00:00\r\n"
                      "2\tTrue\t\t0\t\t\tB\tpw2\t\tS\t2026-01-02 02:00:00\r\n");
    const Result<ScheduleTable> table = ItemsFromJson(
        R"({"items": [
            {"nNo": 2, "strBackUpType": "매일", "strTime": "02:00:00", "strID": "B2"},
            {"nNo": 1, "strBackUpType": "매일", "strTime": "02:00:00", "strPWD": "new",
             "strLastBackUpTime": ""}]})",
        stored);
    ASSERT_TRUE(table.ok()) << table.error().description;
    ASSERT_EQ(table->size(), 2u);
    EXPECT_EQ((*table)[0]->strID, "B2");
    EXPECT_EQ((*table)[0]->strPWD, "pw2");
    EXPECT_EQ((*table)[0]->strLastBackUpTime, "2026-01-02 02:00:00");
    EXPECT_EQ((*table)[1]->strPWD, "new");
    EXPECT_EQ((*table)[1]->strLastBackUpTime, "");
}
