#pragma once

// The compression of a run's dump and log with the RAR archiver.

#include "job/run_environment.h"
#include "job/run_files.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <string>

namespace veltrane {

// The archiver's command line: add the dump and the log, without their
// folders, to the archive. "--" ends the switches: a file name that starts
// with "-" is a file.
std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::string& dump, const std::string& log);

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
