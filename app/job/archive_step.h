#pragma once

// The compression of a run's dump and log with the RAR archiver.

#include "job/run_environment.h"
#include "job/run_files.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <string>
#include <vector>

namespace veltrane {

// The archiver's command line: add the dump and the log, without their
// folders, to the archive. "--" ends the switches: a file name that starts
// with "-" is a file.
std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::string& dump, const std::string& log);
// The same for every file of a set (the pieces of a dump set and its logs).
std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::vector<std::string>& members);

// What the archive of a run holds: every piece of its dump, its log, and the
// database's own log of a Data Pump job when this host may read it.
std::vector<std::string> ArchiveMembers(const RunFiles& files);

// Runs the archiver (`rar` in the data folder). Returns why the archive was
// not made whole, empty when it was; a failed one (the archiver could not
// start, stopped at its time limit, exited other than 0, or left no archive)
// is deleted, said in a line, and mailed to the recipients.
std::string Compress(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                     const Settings& settings);

// Names the processes that outlived a command of the item's, which the
// runner stopped.
void ReportStrays(RunEnvironment& env, const ScheduleRecord& record,
                  const std::vector<std::string>& strays);

} // namespace veltrane
