#pragma once

// Data Pump items: an item whose export utility is the Data Pump client. Its
// job runs in the database, which writes the dump set (one or more pieces)
// and the server's log into the folder behind a directory object; the item
// folder must be that folder as this host sees it. Only the client's screen
// output is this host's: it is the run's log, as for the original export.

#include "job/run_files.h"
#include "job/run_observer.h"
#include "platform/result.h"
#include "store/item_kind.h"
#include "store/schedule_record.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// The directory object the export writes through: DIRECTORY= in the Export
// Option (any letter case), else DATA_PUMP_DIR.
std::string DirectoryObjectOf(std::string_view exportOption);

// The first keyword of the original export in the Export Option (FILE, LOG,
// OWNER, CONSISTENT ...), as the operator wrote it; nothing when there is
// none. Data Pump would take it in its legacy mode and write elsewhere.
std::optional<std::string> LegacyKeywordIn(std::string_view exportOption);

// The first parameter in the Export Option that the run names itself
// (DUMPFILE, LOGFILE, NOLOGFILE, JOB_NAME, ATTACH, USERID, PARFILE): the set,
// its log and its job would no longer be the run's. Nothing when none is.
std::optional<std::string> ReservedKeywordIn(std::string_view exportOption);

// The prefix of every job this program names; a job of that name left in
// the database is this program's to end.
inline constexpr std::string_view kJobPrefix = "VELTRANE_";

// The job of a run: the prefix, the file stamp and a hash of the file prefix
// (item folder and user), 30 bytes; no two runs of any items share it.
std::string DataPumpJobName(const RunFiles& files);
// The job of the run's read-back: another name of the same form.
std::string DataPumpReadBackJobName(const RunFiles& files);

// "<user>_<stamp>_%U.DMP": the names of the run's dump pieces as the
// database numbers them.
std::string DumpSetSpec(const RunFiles& files);

// The export command line of a Data Pump item: the login through
// `parameterFile` (without one, shown as "user/****@service"), DIRECTORY,
// DUMPFILE, LOGFILE (the server's log), JOB_NAME, TABLES= (the Tables field,
// without blanks) or SCHEMAS=<user> (none when the Export Option names the
// export's mode: FULL, SCHEMAS, TABLES, TABLESPACES ...), FLASHBACK_TIME=SYSTIMESTAMP unless the
// Export Option names a flashback parameter, then the Export Option's own
// parameters (its DIRECTORY= is the one named already).
std::string BuildDataPumpCommandLine(const ScheduleRecord& record, const std::string& programPath,
                                     const RunFiles& files, const std::string& parameterFile = {});

// The read-back of the run's dump set: "impdp ... SQLFILE=" writes only the
// DDL it finds in every piece's header, touching no data.
std::string BuildDataPumpReadBackLine(const ScheduleRecord& record, const std::string& programPath,
                                      const RunFiles& files, const std::string& parameterFile);

// The import client beside a Data Pump export client ("impdp", ".exe" kept).
std::string DataPumpImportBeside(const std::string& exportProgram);

// The longest each client of KillDataPumpJob may take.
inline constexpr std::chrono::milliseconds kJobKillLimit{60000};

// Ends the run's job in the database: attaches to it, answers KILL_JOB and
// yes (the database stops it and deletes its dump pieces), then attaches
// again to see that it is gone. An empty text when it is gone (or never
// started), else what stands in the way. `limit` bounds each client.
std::string KillDataPumpJob(const ScheduleRecord& record, const std::string& programPath,
                            const std::string& jobName, const std::string& dataFolder,
                            std::chrono::milliseconds limit);

} // namespace veltrane
