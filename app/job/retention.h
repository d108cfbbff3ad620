#pragma once

// Retention of old backups: deletes an item's oldest backups beyond its
// reserved count, and never a good backup in favour of a failed one.
//
// An item's backup files are named by its file prefix (item folder, "/", user
// name, "_"), a 14-digit time stamp "yyyyMMddhhmmss" and ".DMP" (or, for the
// pieces of a Data Pump dump set, "_01.DMP" to "_99.DMP"), ".LOG", ".rar",
// ".VERIFY.LOG" (the log of a dump's read-back), ".EXPDP.LOG" (the database's
// log of a Data Pump job) or ".VERIFY.SQL" (the DDL of a Data Pump
// read-back). The files of one stamp are one run's set. A set is
//
// - good when its ".LOG" holds the export utility's closing text of success
//   (the verdict the run gave it);
// - failed when its ".LOG" lacks it (a failed, timed-out or abandoned run: the
//   run reserves its log before the export starts);
// - unknown when it has no ".LOG" at all. Such files were not made as a set
//   by a run of this program (or their log was removed by hand); they are
//   never counted and never deleted.

#include "platform/clock.h"

#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// What a purge could not do, or found odd, for the run's result lines.
struct PurgeReport
{
    // One text per file that could not be deleted, or the folder that could
    // not be listed: the path and the system's reason.
    std::vector<std::string> problems;
    // The names of backup files whose stamp lies in the future (the clock was
    // once ahead). They are taken as older than every other backup.
    std::vector<std::string> futureStamped;
};

// A stamp later than the present by more than this is in the future. A run
// may stamp its files a few seconds ahead, when an earlier run of the same
// second took the present one.
inline constexpr int kFutureStampToleranceSeconds = 600;

// Deletes the oldest backups of the item whose file prefix is given, keeping
// the newest `nReservedFiles` good sets and, apart from them, the newest
// `nReservedFiles` failed sets (for their logs). The backup run calls it
// before each export with the present time and its own reserved stamp, whose
// files are never touched.
//
// - Folder and name prefix: the file prefix is split at its last "/"; the part
//   before it is the folder ("/" when that part is empty; the current folder
//   when there is no "/"), the part after it is the name prefix.
// - Only the item's own files count: the name prefix (in any letter case, as
//   user names are), then exactly 14 digits, then ".DMP", ".LOG", ".RAR" or
//   ".VERIFY.LOG" in any letter case, and nothing else. So the purge of user A
//   never touches the files of user A_B in the same folder. Sub-folders are
//   never touched.
// - Good sets: dumps, logs, archives and read-back logs are trimmed each on
//   its own, keeping the kind's files of the newest `nReservedFiles` sets that
//   hold it (all the pieces of a dump set count as one). Nothing is
//   given up for the run that follows, which may fail: after it the folder
//   holds up to `nReservedFiles` + 1 good sets until the next run trims it.
//   An archive (one never sent stays) and a read-back log belong to their
//   set: when its dump and its log are deleted, they are deleted with them.
//   An archive or read-back log whose set has no dump nor log at all (left
//   by an earlier version) is deleted once `nReservedFiles` good sets are
//   newer.
// - Failed sets: every file of a failed set older than the newest
//   `nReservedFiles` failed sets is deleted, so failures never push a good
//   backup out and their logs do not pile up.
// - Order: by stamp, except that a stamp later than `now` (by more than the
//   tolerance above) is taken as older than every other.
// - A count of 0 or less deletes nothing: a new item has 0 until the operator
//   sets it, and deleting every backup would be the worst reading of it.
//
// Nothing here stops the run: a file that cannot be deleted, or a folder that
// cannot be listed, is reported and the other files are still purged. A file
// that vanished meanwhile is no problem.
PurgeReport PurgeOldBackups(std::string_view filePrefix, int nReservedFiles,
                            const LocalDateTime& now, std::string_view ownStamp = {});

} // namespace veltrane
