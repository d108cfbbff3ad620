#pragma once

// Retention of old backups: deletes an item's oldest dumps, logs and archives
// beyond its reserved count.
//
// An item's backup files are named by its file prefix (item folder, "/", user
// name, "_"), a 14-digit time stamp "yyyyMMddhhmmss" and ".DMP", ".LOG",
// ".rar" or ".VERIFY.LOG" (the log of a dump's read-back). Because the stamp has a fixed width and runs from year to second,
// the order of the names is the order of the runs.

#include <string_view>

namespace veltrane {

// Deletes the oldest backup files of the item whose file prefix is given,
// keeping the newest `nReservedFiles` of each kind. The backup run calls it
// before each export, so the new run's files do not exist yet.
//
// - Folder and name prefix: the file prefix is split at its last "/"; the part
//   before it is the folder (kept as written, so an absolute path stays
//   absolute; "/" when that part is empty; the current folder when there is
//   no "/"), the part after it is the name prefix.
// - Only the item's own files count: the name prefix (in any letter case, as
//   user names are), then exactly 14 digits, then ".DMP", ".LOG", ".RAR" or
//   ".VERIFY.LOG" in any letter case, and nothing else. So the purge of user A never touches the files of user
//   A_B in the same folder. Sub-folders are never touched.
// - Dumps, logs, archives and read-back logs are counted and trimmed
//   separately, each in the order of the stamps.
// - Count rule: when more than `nReservedFiles` files of a kind are present,
//   the oldest are deleted until `nReservedFiles` remain. The files that
//   remain are complete backups made before this run; since the export that
//   follows may fail, none of them is given up for a backup that does not
//   exist yet. After the run the folder holds up to `nReservedFiles` + 1 of a
//   kind until the next run trims it.
// - A count of 0 or less deletes nothing: a new item has 0 until the operator
//   sets it, and deleting every backup would be the worst reading of it.
//
// Returns true. Throws JobError (component "PurgeOldBackups", code errno) when
// the folder cannot be listed or a file cannot be deleted; files deleted
// before that stay deleted. A file that vanished meanwhile is not an error.
bool PurgeOldBackups(std::string_view filePrefix, int nReservedFiles);

} // namespace veltrane
