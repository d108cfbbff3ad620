#pragma once

// The schedule as a document, for setting items up without a window:
//
//   veltrane --export-items [--with-secrets]   prints {"items": [ ... ]}
//   veltrane --import-items FILE|-             makes a document the schedule
//
// Each item is one object whose keys are the names of its stored fields
// (ForEachStoredField: "nNo", "bEnabled", "strBackUpType" ...), with JSON
// booleans, numbers and strings. The Oracle, SMTP and FTP passwords are left
// out of an export unless asked for, and are then in clear.
//
// An import checks every item as the editor does (a schedule that can ever
// run, a count of 0 to 32767, recipients that are mail addresses) and
// more: every key a stored field of the right kind, every text one that
// Schedule.dat can keep unchanged (code page 949, no TAB or line break).
// One bad item refuses the whole document, and nothing changes. The
// document's order is the new table's order; nNo names the stored item an
// entry stands for (by default its place), so that an entry without a
// password keeps that item's password, and one without strLastBackUpTime
// its latest back time. The file is replaced atomically, and only while no
// service or window holds the folder.
//
//   veltrane --log N   prints item N's newest run log, in UTF-8

#include "platform/result.h"
#include "store/schedule_record.h"

#include <string>
#include <string_view>

namespace veltrane {

// The document of `table`'s items.
std::string FormatItemsJson(const ScheduleTable& table, bool withSecrets);

// The table the document `text` describes, given the schedule stored now;
// an Error naming the item and the field when any item is refused.
Result<ScheduleTable> ItemsFromJson(std::string_view text, const ScheduleTable& stored);

// The commands: 0 done, 1 a document refused, 2 a folder or file that
// cannot be used (in use by the service or the window, for an import).
int ExportItemsCommand(const std::string& dataFolder, bool withSecrets);
int ImportItemsCommand(const std::string& dataFolder, const std::string& source);

// The newest log of a run of `record` (its item folder, its user's files),
// failed runs included; empty when there is none.
std::string NewestRunLog(const ScheduleRecord& record, const std::string& dataFolder);
int LogCommand(const std::string& dataFolder, int item);

} // namespace veltrane
