#pragma once

// The files of one run: its dump, log, archive and read-back log, named by
// the item folder, the user and a stamp that no other run shares.

#include "platform/clock.h"
#include "platform/result.h"
#include "store/schedule_record.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane {

// The component of the run's own errors, and their codes (Error::code).
inline constexpr const char* kRunComponent = "RunBackupJob";
inline constexpr int kTypeMismatch = 13;
inline constexpr int kOverflow = 6;
inline constexpr int kInvalidArgument = 5;

struct RunFiles
{
    std::string runStamp;   // the run's start, "yyyy-MM-dd hh:mm:ss"
    std::string itemFolder; // backup folder + service
    std::string filePrefix; // item folder + "/" + user + "_"
    std::string fileStamp;  // "yyyyMMddhhmmss"
    std::string dump;
    std::string log;
    std::string archive;
    std::string verifyLog;
    // A Data Pump run's: the database's own log, and the DDL its read-back
    // writes.
    std::string serverLog;
    std::string verifySql;

    // Names the files for `stamp`.
    void SetStamp(const std::string& stamp);
    // The dump pieces of the run on disk: the original export's one dump, or
    // the numbered pieces of a Data Pump set ("_01.DMP" ... "_99.DMP").
    std::vector<std::string> DumpPieces() const;
    // The name of the dump piece numbered `piece` (1-99).
    std::string DumpPiece(int piece) const;
    // The bytes of all pieces.
    std::int64_t DumpBytes() const;
    // What the dump goes by in lines and reports: its path (or, without
    // `withFolder`, its name), for a set of pieces the first one's and how
    // many more there are ("..._01.DMP 외 2개").
    std::string DumpSetName(bool withFolder) const;
};

// The item folder: the backup folder followed by the service name (a
// relative one taken from `dataFolder`). A service or user name that would
// lead outside its folder ("/", "\", ".", "..", a control character) is
// refused.
Result<std::string> ItemFolderOf(const ScheduleRecord& record, const std::string& dataFolder);

// Makes the item folder (open to its group, whatever the umask: the service
// and the operators of its group write into the folders either one made) and
// takes the run's file stamp: the first second from `start` on whose files
// do not exist, reserved by creating its log, so that two runs never share a
// set of files. A relative backup folder is taken from `dataFolder`. A
// service or user name that would lead outside its folder ("/", "\", ".",
// "..", a control character) is refused.
Result<RunFiles> ReserveRunFiles(const ScheduleRecord& record, const std::string& dataFolder,
                                 const LocalDateTime& start);

// Whether the path names something (a file, a folder, a link).
bool PathExists(const std::string& path);
// The text after a path's last "/" (all of it without one), and the text up
// to and including it (empty without one).
std::string FileNameOf(const std::string& path);
std::string FolderOfPath(const std::string& path);

} // namespace veltrane
