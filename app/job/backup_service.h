#pragma once

// The schedule table and the backup runs made from it.
//
// BackupService owns the schedule table and the members every run shares:
// the command runner of the run in progress (pExeCmd) and the output of the
// command in progress (strCmdOutput); each record counts its own failed
// exports (nExportFailCount). It keeps the runs that have not finished in
// Veltrane.state, so that a program killed part-way cleans up or finishes at
// its next start. It reports through its BackupHost (the window, or the
// headless service); the launch pass that starts its runs lives above it.

#include "job/backup_host.h"
#include "job/exe_cmd.h"
#include "platform/clock.h"
#include "platform/library_binder.h"
#include "platform/private_files.h"
#include "report/result_history.h"
#include "store/run_state.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

inline constexpr const char* kMailLibraryFile = "libSendwick.so";
inline constexpr const char* kFtpLibraryFile = "libHoistline.so";
inline constexpr const char* kArchiverFile = "rar";

// After this many counted failures of an item the next one records the run
// anyway, so an item that keeps failing stops being retried every second.
inline constexpr std::int16_t kMaxExportFailures = 5;

class BackupService : private ExeCmdListener, private MessageSink
{
public:
    // `dataFolder` holds Schedule.dat, SendResult.Log, Veltrane.log and the
    // archiver; relative backup folders and export utility paths are taken
    // from it. The libraries are looked for in `libraryFolder` first (empty:
    // the data folder), then by the system's search.
    BackupService(BackupHost& host, const Clock& clock, std::string dataFolder,
                  std::string libraryFolder = {});
    ~BackupService() override;

    ScheduleTable& Table() { return table_; }
    std::string SchedulePath() const;
    // Reads Schedule.dat into the table, giving each item the history kept for
    // it. A file that cannot be used (see LoadSchedule in store/schedule_file.h)
    // leaves the table as it is and says why in `error`.
    [[nodiscard]] bool LoadSchedule(std::string& error);
    [[nodiscard]] bool SaveSchedule(std::string& error);
    // Saves the table; a save that fails is reported as a result line with
    // its reason. Returns whether the file was written.
    bool SaveScheduleOrReport();

    // Appends a result line "[yyyy-MM-dd hh:mm:ss] text" through the host and
    // to the history file Veltrane.log in the program folder.
    void WriteLine(const std::string& text);

    // One backup of one item, changed in place. Always returns false.
    bool RunBackupJob(ScheduleRecord& record);

    // With `keep`, a run that finds Schedule.dat changed or replaced on disk
    // since it was last loaded or saved (the service's operator copied one in)
    // does not save over it: it reads that file, writes its result (the
    // latest back time) into the same item there, saves it and keeps it as
    // the table, saying so in a result line.
    void KeepOutsideChanges(bool keep) { keepOutsideChanges_ = keep; }

    // The settings of Veltrane.ini that the runs follow.
    void SetSettings(const Settings& settings) { settings_ = settings; }
    const Settings& CurrentSettings() const { return settings_; }

    // Writes the item's overdue line and mails its recipients "...]지연.";
    // records that `due` was alerted (ScheduleService::CheckOverdue alerts a
    // due time once).
    void AlertOverdue(ScheduleRecord& record, const LocalDateTime& due);

    // What the program left unfinished when it last ended, from
    // Veltrane.state: the partial dump of a run abandoned during its export
    // is deleted; the steps a successful run still owed (mail, read-back,
    // compression, upload) are done now, for the items that still exist.
    // Each says so in a result line. Called once, before the first run.
    void ResumeInterruptedRuns();

private:
    struct Paths;
    // How far a run got: not yet judged (an error broke it off before), its
    // export succeeded, failed, or failed once too often so the run gave up.
    enum class Outcome { NotJudged, Succeeded, Failed, GaveUp };

    void ReceiveOutputs(std::string& CommandOutputs) override;
    void WaitingForOutputs(bool& bAbort) override;
    // The runner's failure texts: kept for the run's result line and shown
    // by the host, which does not hold the run for them.
    void ShowCritical(const std::string& text) override;

    // Makes the item folder and takes the run's file stamp: the first second
    // from the run's start whose files do not exist yet, reserved by
    // creating its log, so that two runs never share a set of files.
    void ReserveFiles(const ScheduleRecord& record, const LocalDateTime& start, Paths& paths);
    void PurgeAndReport(const ScheduleRecord& record, const Paths& paths);
    Outcome ExportAndJudge(ScheduleRecord& record, const Paths& paths);
    // Counts a failed run of the item; true when it is one too many, the run
    // gives up and the item is recorded as run.
    bool CountFailure(ScheduleRecord& record, const Paths& paths, const std::string& cause);
    // The item's history after a successful export, and its result line.
    void NoteSuccess(ScheduleRecord& record, const Paths& paths, const std::string& warning,
                     std::int64_t exportSeconds);
    void RecordSuccess(ScheduleRecord& record, const Paths& paths);
    void AdoptChangedSchedule(const ScheduleRecord& record);
    // The steps after a successful export, those of `steps` in order; each
    // is struck from the run's entry in Veltrane.state once done.
    void FinishRun(const ScheduleRecord& record, const Paths& paths, unsigned steps);
    void MailSuccess(const ScheduleRecord& record, const Paths& paths);
    // Veltrane.state: the run's entry now owes `steps` (none: it is removed).
    void Owe(const ScheduleRecord& record, const Paths& paths, unsigned steps);
    RunState& State();
    void SaveState();
    // Names the processes that outlived the command just run, which the
    // runner stopped.
    void ReportStrays(const ScheduleRecord& record);
    // `attachments` empty: the run's log, when there is one. The subject ends
    // in `subjectEnd` ("실패.", or the step that failed).
    void MailFailure(const ScheduleRecord& record, const Paths& paths, const std::string& cause,
                     std::vector<std::string> attachments = {},
                     const std::string& subjectEnd = "실패.");
    // The parameter file that gives a child the item's login ("USERID=...");
    // throws JobError when it cannot be written (the run does not go on with
    // the password on a command line).
    SecretFile LoginFile(const ScheduleRecord& record);
    // Runs a command line with the runner under the time limit of the settings.
    const std::string& RunCommand(const std::string& command);
    // Why the command just run failed: the runner's text naming `program`,
    // or the cause its output gives (FailureCause, `prefix` its messages').
    std::string FailureOf(const std::string& program, std::string_view prefix) const;
    void VerifyDump(const ScheduleRecord& record, const Paths& paths);
    // Mails a report to the item's recipients and writes its result line
    // (service + `sentText` or `failedText`). Nothing is sent and no line
    // written when the item names no recipient; tokens that are no mail
    // address fail the line, after the others got the mail.
    bool MailReport(const ScheduleRecord& record, const std::string& subject,
                    const std::string& body, const std::vector<std::string>& attachments,
                    const char* sentText, const char* failedText);
    // True when the archive was made whole; a failed one is deleted.
    bool Compress(const ScheduleRecord& record, const Paths& paths);
    // Uploads the archive when there is one, else the dump and the log. The
    // archive is deleted once it is stored, and kept when it is not.
    void Transfer(const ScheduleRecord& record, const Paths& paths);
    // True when the file was stored; else `reason` gets the library's
    // reason, unless it holds one already.
    bool Upload(const std::string& host, int port, const ScheduleRecord& record,
                const std::string& localPath, std::string& reason);

    BackupHost& host_;
    const Clock& clock_;
    std::string programFolder_;
    ResultHistory history_;
    bool historyFailed_ = false;
    ScheduleTable table_;
    LibraryBinder mailLibrary_;
    LibraryBinder ftpLibrary_;
    std::unique_ptr<CExeCmd> pExeCmd;
    std::string strCmdOutput;
    std::string runnerFailure_; // the runner's failure text of the command in progress
    std::string failureCause_;  // why the export of the run in progress failed
    Settings settings_;
    bool keepOutsideChanges_ = false;
    RunState state_;
    bool stateLoaded_ = false;
    bool stateFailed_ = false;
    std::array<long long, 5> knownFile_{}; // Schedule.dat as last loaded or saved
};

// The export command line of a run, starting the export utility at
// `programPath`. The login goes as "PARFILE=" and `parameterFile` (which
// holds "USERID=user/password@service"), so no password is ever on a command
// line; without a parameter file it is written as the operator knows it,
// "user/****@service", for the status bar. Paths are quoted so that the
// runner's splitting gives each back exactly.
std::string BuildExportCommandLine(const ScheduleRecord& record, const std::string& programPath,
                                   const std::string& dumpPath,
                                   const std::string& parameterFile = {});

// "user/password@service", or with `displayed` "user/****@service".
std::string LoginText(const ScheduleRecord& record, bool displayed);

// The archiver's command line: add the dump and the log, without their
// folders, to the archive.
std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::string& dump, const std::string& log);

// The export utility's path as the run starts it: a relative path is taken
// from the program folder; a bare name is the program folder's file of that
// name when there is one, else it is left to the search path.
std::string ResolveExportProgram(const std::string& programFolder, const std::string& path);

// Host and port of an FTP server text "[scheme://]host[:port[:...]]", the
// scheme kept with the host ("sftp://host:2222" is "sftp://host" and 2222).
// The port is the nearest whole number to its text; a missing or
// non-positive port is 21 for a plain host and 0 (the scheme's default) with
// a scheme.
// Throws JobError for a port that is not a number or lies above 65535, and
// for an empty host.
struct FtpEndpoint
{
    std::string host;
    int port = 21;
};
FtpEndpoint ParseFtpServer(const std::string& ftpServer);

} // namespace veltrane
