#include "job/backup_run.h"

#include "job/archive_step.h"
#include "job/data_pump.h"
#include "job/export_step.h"
#include "job/export_texts.h"
#include "job/mail_step.h"
#include "job/retention.h"
#include "job/run_files.h"
#include "job/upload_step.h"
#include "platform/file_io.h"
#include "platform/private_files.h"
#include "report/result_mail.h"
#include "report/result_report.h"
#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "store/schedule_table.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr const char* kExportFailed = "엑스포트중 에러가 발행하여 중단되었습니다.";
constexpr const char* kReady = "Ready.";
constexpr const char* kVerifySucceeded = " 덤프 검증 성공";
constexpr const char* kVerifyFailed = " 덤프 검증 실패: ";

// Deletes every piece of a run's dump; false when there was none.
bool RemoveDumpSet(const RunFiles& files)
{
    bool removed = false;
    for (const std::string& piece : files.DumpPieces())
        removed = RemoveRegularFile(piece).ok() || removed;
    return removed;
}

// One run's working state: the environment, its settings, its copy of the
// item and its files.
class Run
{
public:
    Run(RunEnvironment& env, const Settings& settings, ScheduleRecord& record)
        : env_(env), settings_(settings), record_(record), observer_(env.Observer())
    {}

    RunOutcome Backup(const std::function<void(const ScheduleRecord&)>& recorded);
    // The steps the run owes after its export; the failed ones.
    unsigned Finish(const RunFiles& files, unsigned steps);
    // A good export of a run stopped before it could record it: records it
    // as the run would have (its success, its latest back time) and owes the
    // steps that follow; `seconds` is how long the export took.
    void RecordRecovered(const RunFiles& files, std::int64_t seconds);

private:
    // The steps after a good export that the item asks for.
    unsigned LaterSteps() const;
    void Owe(const RunFiles& files, unsigned steps);
    void PurgeAndReport(const RunFiles& files);
    // Counts a failed run of the item; true when it is one too many, or the
    // database refused the login: the run gives up and the item is recorded
    // as run. Otherwise the item's next try is set, and said.
    bool CountFailure(const RunFiles& files, const std::string& cause, bool loginRefused);
    // The operator stopped the export: no backup and no failure; the history
    // keeps the last real result. A run asked for now is simply not done; a
    // run that was due is recorded as run (as a run that gives up is), so
    // that it is not started again before its next time.
    void NoteStopped(const RunFiles& files);
    void NoteSuccess(const RunFiles& files, const std::string& warning, std::int64_t seconds);
    // Why the dump could not be read back; empty when it could.
    std::string Verify(const RunFiles& files);
    void WriteLine(const std::string& text) { env_.WriteLine(text); }

    RunEnvironment& env_;
    const Settings& settings_;
    ScheduleRecord& record_;
    RunObserver& observer_;
};

void Run::Owe(const RunFiles& files, unsigned steps)
{
    env_.Owe({record_.nNo, record_.strServiceName, record_.strID, record_.strBackUpFolder,
              files.runStamp, files.filePrefix, files.fileStamp, steps});
}

void Run::PurgeAndReport(const RunFiles& files)
{
    const PurgeReport report = PurgeOldBackups(files.filePrefix, record_.nReservedFiles,
                                               env_.clock().Now(), files.fileStamp);
    // The export runs all the same: a file that cannot be deleted costs disk
    // space, not a backup.
    for (const std::string& problem : report.problems)
        WriteLine(record_.strServiceName + " 오래된 백업 삭제 실패: " + problem);
    if (!report.futureStamped.empty())
        WriteLine(record_.strServiceName + " 미래 시각의 백업 파일 " +
                  std::to_string(report.futureStamped.size()) + "개 (" +
                  report.futureStamped.front() + " 등): 가장 오래된 것으로 봅니다");
}

bool Run::CountFailure(const RunFiles& files, const std::string& cause, bool loginRefused)
{
    ItemHistory& history = record_.history;
    history.lastRunTime = files.runStamp;
    const std::optional<LocalDateTime> start = ParseDateTime(files.runStamp);
    history.lastRunSeconds =
        start ? std::max<std::int64_t>(0, SecondsOf(env_.clock().Now()) - SecondsOf(*start)) : 0;
    history.lastRunSucceeded = false;
    history.lastCause = CutToCharacters(cause, kCauseCharacters);
    history.laterSteps = history.failedSteps = 0;
    history.stepsCause.clear();
    ++history.failuresInARow;
    ++record_.nExportFailCount;
    if (!loginRefused && record_.nExportFailCount <= kMaxExportFailures) {
        const int minutes = kRetryWaitMinutes[static_cast<std::size_t>(
            std::clamp<int>(record_.nExportFailCount, 1, kMaxExportFailures) - 1)];
        record_.strRetryAfter = FormatDateTime(AddSeconds(env_.clock().Now(), minutes * 60));
        WriteLine(record_.strServiceName + " 다시 시도: " + record_.strRetryAfter + " (" +
                  std::to_string(minutes) + "분 뒤, 실패 " +
                  std::to_string(record_.nExportFailCount) + "회)");
        return false;
    }
    if (loginRefused)
        WriteLine(record_.strServiceName +
                  " 로그인 거부: 계정이 잠기지 않도록 다음 예정 시각까지 다시 시도하지 않습니다");
    record_.nExportFailCount = 0;
    record_.strRetryAfter.clear();
    record_.strLastBackUpTime = record_.strGaveUpTime = files.runStamp;
    record_.bRunNow = false;
    return true;
}

void Run::NoteStopped(const RunFiles& files)
{
    unlink(files.dump.c_str());
    Owe(files, 0);
    const std::string cause = "사용자가 중지함";
    if (!record_.bRunNow)
        record_.strLastBackUpTime = files.runStamp;
    record_.bRunNow = false;
    WriteLine(record_.strServiceName + " 백업 중지: " + cause);
    observer_.Detail(cause);
    observer_.Stage(kReady);
}

void Run::NoteSuccess(const RunFiles& files, const std::string& warning, std::int64_t seconds)
{
    const std::int64_t bytes = files.DumpBytes();
    record_.nExportFailCount = 0;
    record_.strRetryAfter.clear();
    record_.strGaveUpTime.clear();
    record_.strLastBackUpTime = files.runStamp;
    ItemHistory& history = record_.history;
    history.lastRunTime = files.runStamp;
    history.lastRunSeconds = seconds;
    history.lastRunSucceeded = true;
    history.lastCause = warning;
    history.failuresInARow = 0;
    history.lastSuccessTime = files.runStamp;
    history.lastSuccessDump = files.DumpSetName(false);
    history.lastSuccessBytes = bytes;
    history.overdueAlertedFor.clear();
    history.laterSteps = history.failedSteps = 0;
    history.stepsCause.clear();
    // Every good run leaves its line, also without mail or upload; a warning
    // (a table that does not exist) is named, as the dump lacks what it
    // warns of.
    std::string line = record_.strServiceName + " 백업 성공: " + history.lastSuccessDump + " (" +
                       SizeText(bytes) + ", " + RunLengthText(seconds) + ")";
    if (!warning.empty())
        line += " (경고: " + warning + ")";
    WriteLine(line);
}

RunOutcome Run::Backup(const std::function<void(const ScheduleRecord&)>& recorded)
{
    const LocalDateTime start = env_.clock().Now();
    Result<RunFiles> reserved = ReserveRunFiles(record_, env_.DataFolder(), start);
    Error error;
    if (reserved) {
        const RunFiles& files = *reserved;
        Owe(files, kStepExport);
        const std::string program = ResolveExportProgram(env_.DataFolder(), record_.strProgramPath);
        observer_.Detail(IsDataPumpProgram(program)
                             ? BuildDataPumpCommandLine(record_, program, files)
                             : BuildExportCommandLine(record_, program, files.dump));
        PurgeAndReport(files);
        Result<ExportVerdict> verdict =
            RunExport(record_, files, env_.DataFolder(), settings_, env_.clock(), observer_,
                      [this](pid_t pid, bool running) {
                          running ? env_.ChildStarted(pid) : env_.ChildEnded(pid);
                      });
        // A stop that came after a good export leaves it good.
        if (observer_.StopRequested() && !(verdict && verdict->succeeded)) {
            NoteStopped(files);
            return {};
        }
        if (verdict) {
            observer_.Stage("[" + record_.strServiceName + "] BackUp...");
            ReportStrays(env_, record_, verdict->strays);
            if (verdict->succeeded) {
                NoteSuccess(files, verdict->warning, verdict->seconds);
                const unsigned steps = LaterSteps();
                Owe(files, steps);
                recorded(record_);
                return {true, Finish(files, steps)};
            }
            // A failed run left no backup: what the utility wrote of its dump
            // is no use to anyone and must not take the place of a good one
            // (or the disk space the next try needs). Its log stays, for the
            // cause. Nothing is compressed or sent.
            RemoveDumpSet(files);
            Owe(files, 0);
            observer_.Detail(kExportFailed);
            const bool timedOut = verdict->cause.starts_with("엑스포트 시간 초과");
            WriteLine(record_.strServiceName + (timedOut ? " " : " 백업 실패: ") + verdict->cause);
            if (CountFailure(files, verdict->cause, verdict->loginRefused)) {
                WriteLine(record_.strServiceName + " " + kExportFailed);
                MailFailure(env_, record_, files, verdict->cause);
            }
            observer_.Stage(kReady);
            return {};
        }
        RemoveDumpSet(files);
        Owe(files, 0);
        error = verdict.error();
    } else {
        error = reserved.error();
    }
    // The error path: before its export was judged, a failed run that
    // counts toward giving up, so a broken item stops being retried every
    // second and its recipients hear of it.
    observer_.Detail(error.Text());
    WriteLine(error.Text());
    RunFiles none;
    none.runStamp = FormatDateTime(start);
    if (CountFailure(none, error.Text(), false))
        MailFailure(env_, record_, reserved ? *reserved : none, error.Text());
    observer_.Stage(kReady);
    return {};
}

unsigned Run::LaterSteps() const
{
    return (CheckRecipients(record_.strMailReceiveList).anyRecipient ? kStepMail : 0u) |
           (settings_.verifyDump ? kStepVerify : 0u) |
           (record_.bDataCompress ? kStepCompress : 0u) |
           (record_.bDataTransfer ? kStepTransfer : 0u);
}

void Run::RecordRecovered(const RunFiles& files, std::int64_t seconds)
{
    NoteSuccess(files, WarningOfLog(files.log), seconds);
    Owe(files, LaterSteps());
}

std::string Run::Verify(const RunFiles& files)
{
    std::vector<std::string> strays;
    const Result<std::string> failed =
        VerifyDump(record_, files, env_.DataFolder(), settings_, observer_, strays);
    ReportStrays(env_, record_, strays);
    const std::string cause = failed ? *failed : failed.error().Text();
    if (cause.empty()) {
        WriteLine(record_.strServiceName + kVerifySucceeded);
        return cause;
    }
    // Reported like a failed export; the dump is kept, compressed and sent
    // all the same.
    WriteLine(record_.strServiceName + kVerifyFailed + cause);
    std::vector<std::string> logs{files.log};
    if (PathExists(files.verifyLog))
        logs.push_back(files.verifyLog);
    MailFailure(env_, record_, files, "덤프 검증 실패: " + cause, logs);
    return "덤프 검증 실패: " + cause;
}

unsigned Run::Finish(const RunFiles& files, unsigned steps)
{
    const unsigned taken = steps;
    unsigned failed = 0;
    std::string causes;
    const auto done = [&](RunStep step, const std::string& cause) {
        steps &= ~static_cast<unsigned>(step);
        Owe(files, steps);
        if (!cause.empty()) {
            failed |= step;
            causes += (causes.empty() ? "" : "; ") + cause;
        }
    };
    // The history tells of this run (its success was noted), also when a
    // later start finishes what a killed run owed.
    ItemHistory& history = record_.history;
    const bool thisRun = history.lastSuccessTime == files.runStamp;
    if ((steps & kStepMail) != 0)
        done(kStepMail, MailSuccess(env_, record_, files, thisRun ? history.lastCause : ""));
    if ((steps & kStepVerify) != 0)
        done(kStepVerify, Verify(files));
    if ((steps & kStepCompress) != 0)
        done(kStepCompress, Compress(env_, record_, files, settings_));
    if ((steps & kStepTransfer) != 0) {
        const Result<std::string> sent = Transfer(env_, record_, files);
        if (!sent) {
            // An error after a good export is said, and not counted: the
            // item is not due again, and its export did succeed.
            observer_.Detail(sent.error().Text());
            WriteLine(sent.error().Text());
        }
        done(kStepTransfer, sent ? *sent : sent.error().Text());
        // Deleted only once the upload is recorded as done: a kill between
        // the two must not leave a start that finds neither the archive nor
        // the step done, and sends the dump and log instead.
        if (sent && sent->empty() && record_.bDataCompress && !RemoveRegularFile(files.archive) &&
            errno != ENOENT) {
            WriteLine(SystemError("Cannot delete " + files.archive, kRunComponent, errno).Text());
        }
    }
    if (thisRun) {
        // A step failed before a kill, and not taken again, keeps its cause.
        const bool earlier = (history.failedSteps & ~taken) != 0;
        history.laterSteps |= taken;
        history.failedSteps = (history.failedSteps & ~taken) | failed;
        if (!earlier)
            history.stepsCause.clear();
        if (!causes.empty())
            history.stepsCause = CutToCharacters(
                history.stepsCause + (history.stepsCause.empty() ? "" : "; ") + causes,
                kCauseCharacters);
    }
    Owe(files, 0);
    observer_.Stage(kReady);
    return failed;
}

} // namespace

RunOutcome RunBackupJob(RunEnvironment& env, const Settings& settings, ScheduleRecord& record,
                        const std::function<void(const ScheduleRecord&)>& recorded)
{
    return Run(env, settings, record).Backup(recorded);
}

namespace {

// Whether every piece of the run's dump holds at least one byte.
bool HoldsBytes(const RunFiles& files)
{
    const std::vector<std::string> pieces = files.DumpPieces();
    return !pieces.empty() && std::all_of(pieces.begin(), pieces.end(), [](const std::string& p) {
        struct stat st
        {};
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    });
}

// Seconds from a run's start to the last change of its log: how long its
// export took, as near as a later start can tell.
std::int64_t ExportSeconds(const RunFiles& files)
{
    struct stat st
    {};
    const std::optional<LocalDateTime> start = ParseDateTime(files.runStamp);
    if (!start || stat(files.log.c_str(), &st) != 0)
        return 0;
    struct tm local
    {};
    localtime_r(&st.st_mtime, &local);
    const LocalDateTime written{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour,        local.tm_min,     local.tm_sec};
    return std::max<std::int64_t>(0, SecondsOf(written) - SecondsOf(*start));
}

// The files of a run that Veltrane.state says did not finish.
RunFiles FilesOf(const PendingRun& pending)
{
    RunFiles files;
    files.runStamp = pending.runStamp;
    files.filePrefix = pending.filePrefix;
    files.SetStamp(pending.fileStamp);
    return files;
}

// A later run of the item was recorded: the program went on past this run
// and saw to it; only the clearing of its entry was not written.
bool LaterRunRecorded(const ScheduleRecord& item, const PendingRun& pending)
{
    return item.strLastBackUpTime > pending.runStamp || item.history.lastRunTime > pending.runStamp;
}

// The entry of `pending`, owing nothing: it goes.
PendingRun Settled(const PendingRun& pending)
{
    PendingRun settled = pending;
    settled.steps = 0;
    return settled;
}

// Whether a pending run's files, as Veltrane.state names them, are where a
// run of its item puts them: in the item's folder as the schedule names it,
// with the item's user and a stamp of 14 digits. The state file lies in a
// folder that others may write, and what it names is deleted, mailed and
// sent; anything else is ignored, said in a line, and dropped from the file.
bool PendingFilesBelong(RunEnvironment& env, const ScheduleTable& table, const PendingRun& pending)
{
    // Without its item nothing of the run is touched (see the callers).
    const std::shared_ptr<ScheduleRecord> found = FindSameItem(table, pending);
    if (found == nullptr)
        return true;
    std::string problem;
    const Result<std::string> folder = ItemFolderOf(*found, env.DataFolder());
    if (!folder)
        problem = folder.error().description;
    else if (pending.filePrefix != *folder + "/" + found->strID + "_" ||
             pending.fileStamp.size() != 14 ||
             !std::all_of(pending.fileStamp.begin(), pending.fileStamp.end(),
                          [](char c) { return c >= '0' && c <= '9'; }))
        problem = "항목의 폴더와 실행의 이름에 맞지 않습니다 (" + pending.filePrefix +
                  pending.fileStamp + ")";
    if (problem.empty())
        return true;
    env.WriteLine(pending.service + " " + kRunStateFileName + "의 이전 실행 기록을 무시합니다 (" +
                  pending.runStamp + " 백업): " + problem);
    env.Owe(Settled(pending));
    return false;
}

} // namespace

void SettleInterruptedExports(RunEnvironment& env, const Settings& settings,
                              const ScheduleTable& table,
                              const std::function<void(const ScheduleRecord&)>& recorded)
{
    for (const PendingRun& pending : env.Pending()) {
        if ((pending.steps & kStepExport) == 0 || !PendingFilesBelong(env, table, pending))
            continue;
        const RunFiles files = FilesOf(pending);
        const std::string& name = pending.service;
        const PendingRun settled = Settled(pending);
        if (LogHoldsExportSuccess(files.log) && HoldsBytes(files)) {
            // The export ended well before the program did: a backup, whose
            // record and later steps the run could not see to.
            const std::shared_ptr<ScheduleRecord> found = FindSameItem(table, pending);
            if (found == nullptr) {
                env.WriteLine(name +
                              " 이전 실행의 엑스포트는 성공했으나 항목이 없어 덤프만 둡니다 (" +
                              files.DumpSetName(false) + ")");
                env.Owe(settled);
                continue;
            }
            if (LaterRunRecorded(*found, pending)) {
                env.Owe(settled);
                continue;
            }
            env.WriteLine(name + " 이전 실행의 엑스포트가 성공해 있습니다 (" + pending.runStamp +
                          " 백업): 성공으로 기록하고 남은 단계를 마칩니다");
            ScheduleRecord record = *found;
            Run(env, settings, record).RecordRecovered(files, ExportSeconds(files));
            recorded(record);
            continue;
        }
        // Abandoned during its export: the dump is partial. The log stays,
        // and retention sees it as a failed run's. Without its item, where
        // the dump should be cannot be told, and nothing is deleted. A Data
        // Pump job may still run in the database, writing its pieces: it is
        // ended first.
        const std::shared_ptr<ScheduleRecord> item = FindSameItem(table, pending);
        if (item != nullptr && IsDataPumpProgram(item->strProgramPath)) {
            const std::string left =
                KillDataPumpJob(*item, ResolveExportProgram(env.DataFolder(), item->strProgramPath),
                                DataPumpJobName(files), env.DataFolder(), kJobKillLimit);
            if (!left.empty())
                env.WriteLine(name + " " + left);
        }
        const std::string dumpName = files.DumpSetName(false);
        if (item != nullptr && RemoveDumpSet(files))
            env.WriteLine(name + " 중단된 백업 정리: 덤프 삭제 (" + dumpName + ")");
        else
            env.WriteLine(name + " 중단된 백업 정리 (" + pending.runStamp + ")");
        env.Owe(settled);
    }
}

void ResumeInterruptedRuns(RunEnvironment& env, const Settings& settings,
                           const ScheduleTable& table,
                           const std::function<void(const ScheduleRecord&)>& finished)
{
    // A run killed while its child read the login left the parameter file.
    if (const Result<std::string> secrets = SecretFolder(env.DataFolder()))
        RemoveSecretFiles(*secrets);
    // A step done now could not be recorded as done: every start would do it
    // again (a mail, an upload each time). Better left undone, and said.
    std::optional<Status> writable;
    for (const PendingRun& pending : env.Pending()) {
        if ((pending.steps & kStepExport) != 0)
            continue; // SettleInterruptedExports' (a later start's, should it have failed)
        if (!PendingFilesBelong(env, table, pending))
            continue;
        if (!writable)
            writable = env.RewriteState();
        if (!writable->ok()) {
            env.WriteLine(pending.service + " 이전 실행의 남은 단계(" + StepWords(pending.steps) +
                          ")를 하지 않습니다 (" + pending.runStamp + " 백업): " +
                          kRunStateFileName + "에 기록할 수 없어 시작할 때마다 되풀이됩니다 (" +
                          writable->error().description + ")");
            continue;
        }
        const RunFiles files = FilesOf(pending);
        const std::string& name = pending.service;
        const std::shared_ptr<ScheduleRecord> found = FindSameItem(table, pending);
        // Nothing is done twice.
        if (found != nullptr && LaterRunRecorded(*found, pending)) {
            env.Owe(Settled(pending));
            continue;
        }
        std::string problem;
        if (found == nullptr)
            problem = "항목이 없습니다";
        else if (files.DumpPieces().empty())
            problem = "덤프가 없습니다 (" + files.dump + ")";
        if (!problem.empty()) {
            env.WriteLine(name + " 이전 실행의 남은 단계를 마치지 못함 (" + pending.runStamp +
                          " 백업): " + problem);
            env.Owe(Settled(pending));
            continue;
        }
        env.WriteLine(name + " 이전 실행의 남은 단계를 마칩니다 (" + pending.runStamp +
                      " 백업: " + StepWords(pending.steps) + ")");
        ScheduleRecord record = *found;
        static_cast<void>(Run(env, settings, record).Finish(files, pending.steps));
        finished(record);
    }
}

void MailOverdue(RunEnvironment& env, const ScheduleRecord& record, const std::string& due)
{
    // Only a run whose export succeeded is a success: a run that gave up
    // moved the latest back time, and is none.
    const std::string last = record.history.lastSuccessTime.empty()
                                 ? std::string("없음")
                                 : record.history.lastSuccessTime;
    const std::string text = "백업 지연: 마지막 성공 " + last + " (예정 " + due + ")";
    env.WriteLine(record.strServiceName + " " + text);
    ResultReport report = ReportFor(env, record, ReportKind::kOverdue);
    report.time = FormatDateTime(env.clock().Now());
    report.overdueSince = due;
    report.lastSuccess = last;
    SendReportMail(env, record,
                   {ReportSubject(record, "지연."),
                    BuildResultReportHtml(report),
                    {},
                    "지연메일전송 성공",
                    "지연메일전송 실패"});
}

} // namespace veltrane
