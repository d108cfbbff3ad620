#pragma once

// What the main window's item commands do to the schedule table: insert a
// new item, find the record behind a list row, apply the editor's result to
// it, delete and enable items by number. A list row is tied to its records
// only through the item number (`nNo`), which a hand-made schedule file may
// repeat; each operation says how it treats several records with one number.
//
// Records are shared: an insert or a delete replaces pointers in the table and
// never moves or frees a record that a backup run (or anyone else) holds.

#include "store/number_text.h"
#include "store/schedule_record.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

// The 24 fields of a schedule item that the item editor fills in, under the
// record's names. A default object has empty texts, zero numbers and false
// flags: the editor's state for a new item. The record fields bRunNow, nNo,
// bEnabled and strLastBackUpTime belong to the table, not to the editor.
struct ItemProperties
{
    std::string strTables;
    std::string strBackUpFolder;
    std::string strBackUpType;
    std::int16_t nDay = 0;
    std::string strWeek;
    std::string strTime;
    std::string strPWD;
    std::string strID;
    std::string strServiceName;
    std::string strProgramPath;
    std::string strMailReceiveList;
    std::int16_t nReservedFiles = 0;
    std::string strExecutionOption;
    std::string strDescription;
    bool bUseSmtpServer = false;
    std::string strSmtpUserID;
    std::string strSmtpUserPassword;
    std::string strSmtpServer;
    bool bDataTransfer = false;
    bool bDataCompress = false;
    std::string strFtpUserID;
    std::string strFtpUserPassword;
    std::string strFtpServer;
    std::string strFtpLocation;

    bool operator==(const ItemProperties&) const = default;
};

// The editor's properties for editing `record`: all 24 fields copied.
ItemProperties PropertiesFromRecord(const ScheduleRecord& record);

// Copies all 24 properties into `record` (the edit command after OK). The
// table's own fields (bRunNow, nNo, bEnabled, strLastBackUpTime) are kept.
void ApplyProperties(const ItemProperties& properties, ScheduleRecord& record);

// True when the table holds kMaxScheduleRecords items and takes no more. The
// insert command checks it before it opens the editor, so the operator does
// not fill in an item only to have it refused.
bool IsScheduleTableFull(const ScheduleTable& table);

// Appends a new item made from the editor's result, every field as the
// operator filled it in, and numbers it with the new count (1 for an empty
// table). A new item starts disabled: it runs once the operator ticks it in
// the list. Returns the new record, or nullptr with the reason in `error`
// when the table is full (the table is then unchanged).
[[nodiscard]] std::shared_ptr<ScheduleRecord>
InsertItem(ScheduleTable& table, const ItemProperties& properties, std::string& error);

// The first record, in table order, whose nNo is `number`; nullptr when none
// is. The edit command changes only this one when numbers repeat.
std::shared_ptr<ScheduleRecord> FindFirstItem(const ScheduleTable& table, std::int32_t number);

// Removes every record whose nNo is `number` and renumbers the rest 1..n in
// table order (also when none matched). Returns how many were removed.
std::size_t DeleteItems(ScheduleTable& table, std::int32_t number);

// Sets bEnabled of every record whose nNo is `number`; returns how many.
std::size_t SetItemsEnabled(ScheduleTable& table, std::int32_t number, bool enabled);

} // namespace veltrane
