#pragma once

// The export of a run, and the read-back of its dump: their command lines,
// the login they read from a private parameter file, and their verdicts.

#include "job/command_step.h"
#include "job/run_files.h"
#include "job/run_observer.h"
#include "platform/private_files.h"
#include "platform/result.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// The export command line of a run, starting the export utility at
// `programPath`. The login goes as "PARFILE=" and `parameterFile` (which
// holds "USERID=user/password@service"), so no password is ever on a command
// line; without a parameter file it is written as the operator knows it,
// "user/****@service", for the status bar. Paths are quoted so that the
// runner's splitting gives each back exactly.
std::string BuildExportCommandLine(const ScheduleRecord& record, const std::string& programPath,
                                   const std::string& dumpPath,
                                   const std::string& parameterFile = {});

// Why the Tables field cannot go into "Tables=(...)"; empty when it can. It
// may hold only a list of table names: entries separated by commas or
// blanks, each made of letters (non-ASCII ones too), digits, "_", "$", "#",
// "." (owner.table), ":" (table:partition) and "%" (a name pattern). Anything
// else, a ")" or "=" first of all, could close the list and hand the utility
// parameters of its own ("EMP) FILE=/elsewhere ("). The reason names the
// entry and the character.
std::string TablesProblem(std::string_view tables);

// "user/password@service", or with `displayed` "user/****@service".
std::string LoginText(const ScheduleRecord& record, bool displayed);

// The export utility's path as the run starts it: a relative path is taken
// from the data folder; a bare name is the data folder's file of that name
// when there is one, else it is left to the search path.
std::string ResolveExportProgram(const std::string& dataFolder, const std::string& path);

// The import utility that reads a dump back: the setting ImportUtility
// (resolved as the export utility is), else "imp" in the export utility's
// folder.
std::string ResolveImportProgram(const std::string& dataFolder, const ScheduleRecord& record,
                                 const Settings& settings);

// The parameter file that gives a child the item's login ("USERID=..."), in
// this user's private folder for `dataFolder`; an Error when it cannot be
// written (no run goes on with the password on a command line).
Result<SecretFile> WriteLoginFile(const ScheduleRecord& record, const std::string& dataFolder);

// What an export came to.
struct ExportVerdict
{
    bool succeeded = false;
    std::string cause;         // of a failure: the database's or the utility's word
    bool loginRefused = false; // a failure: the database refused the login
    std::string warning;       // of a success with warnings: the first one
    std::int64_t seconds = 0;
    std::vector<std::string> strays;
};

// Runs the export of `record` into `files` (its output written to the log as
// it comes) and judges it: it succeeded when its output holds one of the
// export utility's texts of success, it was not stopped at its time limit,
// its log was written whole (the log tells the good runs from the failed
// ones later) and its dump holds at least one byte. A log whose text of
// success the run does not accept is marked so (MarkLogFailed). An Error
// when the login cannot be handed over. `children` is told of the utility's
// process while it runs.
Result<ExportVerdict> RunExport(const ScheduleRecord& record, const RunFiles& files,
                                const std::string& dataFolder, const Settings& settings,
                                const Clock& clock, RunObserver& observer,
                                const ChildWatch& children = {});

// Reads the dump back with the import utility ("Full=y Show=y", its log the
// read-back log): an empty text when it read it through, else why not.
Result<std::string> VerifyDump(const ScheduleRecord& record, const RunFiles& files,
                               const std::string& dataFolder, const Settings& settings,
                               RunObserver& observer, std::vector<std::string>& strays);

// "240", "0.05": a setting's minutes as the operator wrote them.
std::string MinutesText(double minutes);
// The time limit of a setting, in milliseconds.
std::chrono::milliseconds TimeLimitOf(const Settings& settings);

} // namespace veltrane
