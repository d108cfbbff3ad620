#pragma once

// What is done to the schedule table as a whole: finding an item, by its
// number (a list row) or as the same item named elsewhere (Veltrane.state, a
// run's copy, a table read anew), and the item commands' changes: insert,
// delete and its undo, enable. A list row is tied to its records only through
// the item number (`nNo`), which a hand-made schedule file may repeat; each
// operation says how it treats several records with one number.
//
// Records are shared: an insert or a delete replaces pointers in the table and
// never moves or frees a record that a backup run (or anyone else) holds.

#include "store/schedule_record.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace veltrane {

// How an item is named where the program keeps it apart from the table: its
// number and the service, user and backup folder it backs up. The number
// changes when an item before it is deleted; the three names do not.
struct ItemKey
{
    std::int32_t itemNo = 0;
    std::string service;
    std::string user;
    std::string backUpFolder;

    bool operator==(const ItemKey&) const = default;
};

ItemKey KeyOf(const ScheduleRecord& record);

inline constexpr std::size_t kNoItem = std::numeric_limits<std::size_t>::max();

// The positions in `table` of the items that `keys` name, one for each key
// (kNoItem when the table has none): of the records with the key's service,
// user and backup folder, the one with its number, else the first in table
// order. A record is the same item as one key at most: two keys of one item
// find two of its records, or one of them none. The keys with a record of
// their number take theirs first.
std::vector<std::size_t> FindSameItems(const ScheduleTable& table,
                                       std::span<const ItemKey* const> keys);
// The record of the one item `key` names; null when the table has none.
std::shared_ptr<ScheduleRecord> FindSameItem(const ScheduleTable& table, const ItemKey& key);

// The first record, in table order, whose nNo is `number`; nullptr when none
// is. The edit command changes only this one when numbers repeat.
std::shared_ptr<ScheduleRecord> FindFirstItem(const ScheduleTable& table, std::int32_t number);

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

// A record a delete took out of the table, and its place there.
struct RemovedItem
{
    std::size_t position;
    std::shared_ptr<ScheduleRecord> record;
};

// Removes every record whose nNo is `number` and renumbers the rest 1..n in
// table order (also when none matched). Returns what it removed, in order.
std::vector<RemovedItem> DeleteItems(ScheduleTable& table, std::int32_t number);
// Puts removed records back at their places (the records added since stay
// after them) and numbers the table 1..n in order again, as the delete did.
void RestoreItems(ScheduleTable& table, const std::vector<RemovedItem>& removed);

// The records whose nNo is `number`, in table order.
std::vector<std::shared_ptr<ScheduleRecord>> ItemsNumbered(const ScheduleTable& table,
                                                           std::int32_t number);

} // namespace veltrane
