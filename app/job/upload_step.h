#pragma once

// The upload of a run's files by the FTP library, to the item's server.

#include "job/run_environment.h"
#include "job/run_files.h"
#include "platform/result.h"
#include "store/schedule_record.h"

#include <string>

namespace veltrane {

// Host and port of an FTP server text "[scheme://]host[:port[:...]]", the
// scheme kept with the host ("sftp://host:2222" is "sftp://host" and 2222).
// The port is the nearest whole number to its text; a missing or
// non-positive port is 21 for a plain host and 0 (the scheme's default) with
// a scheme. An Error (component RunBackupJob) for a port that is not a number
// (13) or lies above 65535 (6), and for an empty host (5).
struct FtpEndpoint
{
    std::string host;
    int port = 21;
};
Result<FtpEndpoint> ParseFtpServer(const std::string& ftpServer);

// Uploads the archive when there is one, else the dump and the log, and
// writes the transfer's line (with the library's reason on a failure, which
// is also mailed to the recipients). The archive stays: the caller deletes it
// once the upload is recorded as done. Returns why a file was not stored (the
// line's text), empty when every file was; an Error for a server text that
// cannot be read, or a library or entry point that is missing.
Result<std::string> Transfer(RunEnvironment& env, const ScheduleRecord& record,
                             const RunFiles& files);

} // namespace veltrane
