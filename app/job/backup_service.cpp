#include "job/backup_service.h"

#include "job/command_line.h"
#include "job/export_texts.h"
#include "job/retention.h"
#include "platform/codepage.h"
#include "platform/file_io.h"
#include "platform/job_error.h"
#include "platform/program_folder.h"
#include "platform/yielding_call.h"
#include "report/result_history.h"
#include "report/result_mail.h"
#include "report/result_report.h"
#include "schedule/due_rules.h"
#include "store/number_text.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr const char* kComponent = "RunBackupJob";
constexpr const char* kExportFailed = "엑스포트중 에러가 발행하여 중단되었습니다.";
constexpr const char* kMailSent = "백업결과 메일전송 성공";
constexpr const char* kMailFailed = "백업결과 메일전송 실패";
constexpr const char* kTransferSucceeded = "Data FTP 전송 성공";
constexpr const char* kTransferFailed = "Data FTP 전송 실패";
constexpr const char* kReady = "Ready.";
constexpr const char* kExportFailedLine = " 백업 실패: ";
constexpr const char* kCompressFailedLine = " 압축 실패: ";
constexpr const char* kFailureMailSent = "실패메일전송 성공";
constexpr const char* kFailureMailFailed = "실패메일전송 실패";
constexpr const char* kVerifySucceeded = " 덤프 검증 성공";
constexpr const char* kVerifyFailed = " 덤프 검증 실패: ";
constexpr const char* kOverdueMailSent = "지연메일전송 성공";
constexpr const char* kOverdueMailFailed = "지연메일전송 실패";

// The texts of the import utility that mean it read the dump through.
constexpr const char* kImportSuccessTexts[] = {"Import terminated successfully", " 정상적으로 종료",
                                               "성공적으로 끝났습"};

// "240", "0.05": a setting's minutes as the operator wrote them.
std::string MinutesText(double minutes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", minutes);
    return text;
}

// Whether `output` holds one of the import utility's texts of success.
bool HoldsImportSuccess(std::string_view output)
{
    for (const std::string_view text : kImportSuccessTexts)
        if (memmem(output.data(), output.size(), text.data(), text.size()) != nullptr)
            return true;
    return false;
}

// Appends `text` to the file in code page 949, followed by CR LF; 0 or the
// errno. The output of an export runs to megabytes: it is converted and
// written a slice at a time (cut between characters), not copied whole twice,
// and `yield` is called between slices so the window stays alive meanwhile.
int AppendInCodePage(const std::string& path, std::string_view text,
                     const std::function<void()>& yield)
{
    constexpr std::size_t kSlice = std::size_t{1} << 20;
    while (!text.empty()) {
        std::size_t n = std::min(text.size(), kSlice);
        while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0u) == 0x80u)
            --n;
        if (n == 0)
            n = std::min(text.size(), kSlice);
        if (int err = AppendToFile(path, cp949::FromUtf8(text.substr(0, n))); err != 0)
            return err;
        text.remove_prefix(n);
        yield();
    }
    return AppendToFile(path, "\r\n");
}

std::string FolderOfPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Error codes of the run's own checks (JobError::code()).
constexpr int kTypeMismatch = 13;
constexpr int kOverflow = 6;
constexpr int kInvalidArgument = 5;

constexpr double kHighestPort = 65535;

using PutLocalFileFn = int(const char*, const char*, const char*, const char*, int, int,
                           const char*);
using GetLastFtpErrorFn = int(char*, int);

std::string TrimBlanks(std::string_view text)
{
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    std::size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

bool Exists(const std::string& path)
{
    struct stat st
    {};
    return lstat(path.c_str(), &st) == 0;
}

// "1.2 MiB", "512 KiB", "100 바이트": a dump's size in a result line.
std::string SizeText(std::int64_t bytes)
{
    char text[32];
    if (bytes >= (std::int64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    else if (bytes >= (1 << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else if (bytes >= (1 << 10))
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / (1 << 10));
    else
        std::snprintf(text, sizeof text, "%lld 바이트", static_cast<long long>(bytes));
    return text;
}

// "1시간 2분 3초", "4분 0초", "12초": how long an export took.
std::string DurationText(std::int64_t seconds)
{
    seconds = std::max<std::int64_t>(seconds, 0);
    std::string text;
    if (seconds >= 3600)
        text += std::to_string(seconds / 3600) + "시간 ";
    if (seconds >= 60)
        text += std::to_string(seconds / 60 % 60) + "분 ";
    return text + std::to_string(seconds % 60) + "초";
}

// A service or user name is one level of a path (the item folder, the file
// prefix): "../x" would send the dump outside the backup folder and let the
// retention delete what matches there.
void CheckPathComponent(const char* what, const std::string& name)
{
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    const char* problem = name.find('/') != std::string::npos    ? "\"/\""
                          : name.find('\\') != std::string::npos ? "\"\\\""
                          : control                              ? "a control character"
                          : name == "." || name == ".."          ? "\".\" or \"..\""
                                                                 : nullptr;
    if (problem != nullptr)
        throw JobError(std::string("The ") + what + " name \"" + name +
                           "\" cannot name a folder: it holds " + problem,
                       kComponent, kInvalidArgument);
}

std::string FileNameOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The attachments as the mail library takes them, one ";"-separated text.
// A path that holds a ";" would be split in two: it goes by a link, in this
// user's private folder, whose name has "_" for each ";". The links go with
// the object.
class AttachmentLinks
{
public:
    AttachmentLinks(const std::string& folder, const std::vector<std::string>& paths)
    {
        for (const std::string& path : paths) {
            std::string name = path;
            if (path.find(';') != std::string::npos && !folder.empty()) {
                std::string base = FileNameOf(path);
                std::replace(base.begin(), base.end(), ';', '_');
                std::string linkFolder = JoinPath(folder, "mail-XXXXXX");
                if (mkdtemp(linkFolder.data()) != nullptr) {
                    name = JoinPath(linkFolder, base);
                    if (symlink(path.c_str(), name.c_str()) == 0)
                        made_.push_back(name);
                    else
                        rmdir(linkFolder.c_str());
                }
            }
            if (!joined_.empty())
                joined_ += ';';
            joined_ += name;
        }
    }
    ~AttachmentLinks()
    {
        for (const std::string& link : made_) {
            unlink(link.c_str());
            rmdir(FolderOfPath(link).c_str());
        }
    }
    AttachmentLinks(const AttachmentLinks&) = delete;
    AttachmentLinks& operator=(const AttachmentLinks&) = delete;

    const std::string& Joined() const { return joined_; }

private:
    std::string joined_;
    std::vector<std::string> made_;
};

} // namespace

// The file names of one run.
struct BackupService::Paths
{
    std::string runStamp; // "yyyy-MM-dd hh:mm:ss"
    std::string itemFolder;
    std::string filePrefix;
    std::string dump;
    std::string log;
    std::string archive;
    std::string verifyLog;
    std::string fileStamp; // "yyyyMMddhhmmss"

    void SetStamp(const std::string& stamp)
    {
        fileStamp = stamp;
        dump = filePrefix + stamp + ".DMP";
        log = filePrefix + stamp + ".LOG";
        archive = filePrefix + stamp + ".rar";
        verifyLog = filePrefix + stamp + ".VERIFY.LOG";
    }
};

std::string BuildExportCommandLine(const ScheduleRecord& r, const std::string& programPath,
                                   const std::string& dumpPath, const std::string& parameterFile)
{
    std::string line = QuoteArgument(programPath);
    line += ' ';
    line += parameterFile.empty() ? LoginText(r, true) : "PARFILE=" + QuoteArgument(parameterFile);
    line += " File=" + QuoteArgument(dumpPath);
    if (!TrimBlanks(r.strTables).empty())
        line += " Tables=(" + r.strTables + ") ";
    if (!TrimBlanks(r.strExecutionOption).empty())
        line += " " + r.strExecutionOption;
    return line;
}

std::string LoginText(const ScheduleRecord& r, bool displayed)
{
    return r.strID + "/" + (displayed ? std::string("****") : r.strPWD) + "@" + r.strServiceName;
}

std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::string& dump, const std::string& log)
{
    // "--" ends the switches: a file name that starts with "-" is a file.
    return QuoteArgument(archiverPath) + " A -ep -- " + QuoteArgument(archive) + " " +
           QuoteArgument(dump) + " " + QuoteArgument(log);
}

std::string ResolveExportProgram(const std::string& programFolder, const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    if (path.find('/') != std::string::npos)
        return JoinPath(programFolder, path);
    // A bare name is looked for in the program folder first, then on the
    // search path, as a program started from its own folder finds it.
    const std::string beside = JoinPath(programFolder, path);
    struct stat st
    {};
    if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(beside.c_str(), X_OK) == 0)
        return beside;
    return path;
}

FtpEndpoint ParseFtpServer(const std::string& ftpServer)
{
    FtpEndpoint endpoint;
    // A scheme ("sftp://", "ftps://" ...) belongs to the host text; the port
    // follows the host after it.
    const std::size_t schemeEnd = ftpServer.find("://");
    const bool scheme =
        schemeEnd != std::string::npos && schemeEnd > 0 && ftpServer.find(':') == schemeEnd;
    const std::size_t hostStart = scheme ? schemeEnd + 3 : 0;
    // A bracketed IPv6 address ("[::1]") keeps its colons.
    std::size_t hostEnd = hostStart;
    if (hostStart < ftpServer.size() && ftpServer[hostStart] == '[')
        if (const std::size_t close = ftpServer.find(']', hostStart); close != std::string::npos)
            hostEnd = close;
    std::size_t colon = ftpServer.find(':', hostEnd);
    endpoint.host = ftpServer.substr(0, colon);
    if (endpoint.host.size() == hostStart)
        throw JobError("The FTP server \"" + ftpServer + "\" names no host", kComponent,
                       kInvalidArgument);
    int port = 0;
    if (colon != std::string::npos) {
        std::size_t next = ftpServer.find(':', colon + 1);
        const std::string text = ftpServer.substr(colon + 1, next - colon - 1);
        // Converted to the nearest whole number: blanks around it, a sign, a
        // fraction and an exponent are all taken; anything else is no number.
        const std::optional<double> value = WholeDecimalNumber(text);
        if (!value)
            throw JobError("The FTP port \"" + text + "\" is not a number", kComponent,
                           kTypeMismatch);
        const double rounded = std::nearbyint(*value);
        // Every TCP port is accepted, the ones above 32767 included.
        if (!(rounded >= std::numeric_limits<std::int16_t>::min() && rounded <= kHighestPort))
            throw JobError("The FTP port \"" + text + "\" is out of range", kComponent, kOverflow);
        port = static_cast<int>(rounded);
    }
    // Without a port a plain server is reached on 21; a scheme's own default
    // (990 for ftps, 22 for sftp ...) is the library's to choose.
    endpoint.port = port >= 1 ? port : scheme ? 0 : 21;
    return endpoint;
}

BackupService::BackupService(BackupHost& host, const Clock& clock, std::string dataFolder,
                             std::string libraryFolder)
    : host_(host), clock_(clock), programFolder_(std::move(dataFolder)),
      history_(JoinPath(programFolder_, kHistoryFileName)),
      mailLibrary_(kMailLibraryFile, libraryFolder.empty() ? programFolder_ : libraryFolder),
      ftpLibrary_(kFtpLibraryFile, libraryFolder.empty() ? programFolder_ : libraryFolder)
{
    KeepFilesFromOthers();
}

BackupService::~BackupService() = default;

std::string BackupService::SchedulePath() const
{
    return JoinPath(programFolder_, kScheduleFileName);
}

namespace {

// What identifies one version of a file on disk: a copy put in its place, or
// an edit, changes it.
std::array<long long, 5> FileIdentity(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return {0, 0, 0, 0, 0};
    return {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
            static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
            static_cast<long long>(st.st_mtim.tv_nsec)};
}

} // namespace

bool BackupService::LoadSchedule(std::string& error)
{
    ScheduleTable loaded;
    if (!veltrane::LoadSchedule(SchedulePath(), loaded, error))
        return false;
    // What is known of the items' runs outlives a reload: the histories the
    // table in memory holds (or, at the start, those kept in Veltrane.state).
    if (stateLoaded_)
        State().items = ItemStatesOf(table_);
    ApplyItemStates(State().items, loaded);
    table_ = std::move(loaded);
    knownFile_ = FileIdentity(SchedulePath());
    return true;
}

bool BackupService::SaveSchedule(std::string& error)
{
    if (!veltrane::SaveSchedule(SchedulePath(), table_, error))
        return false;
    knownFile_ = FileIdentity(SchedulePath());
    return true;
}

bool BackupService::SaveScheduleOrReport()
{
    std::string error;
    if (SaveSchedule(error))
        return true;
    WriteLine("Schedule.dat 저장 실패: " + error);
    return false;
}

void BackupService::ReceiveOutputs(std::string& CommandOutputs)
{
    host_.Yield();
    strCmdOutput += CommandOutputs;
    host_.SetStatusText(2, CommandOutputs);
}

void BackupService::WaitingForOutputs(bool& /*bAbort*/)
{
    host_.Yield();
}

void BackupService::WriteLine(const std::string& text)
{
    const std::string line = StampedLine(clock_.Now(), text);
    host_.AppendResultLine(line);
    if (std::string error = history_.Append(line); !error.empty() && !historyFailed_) {
        // Said once: the list still shows every line.
        historyFailed_ = true;
        host_.AppendResultLine(
            StampedLine(clock_.Now(), std::string(kHistoryFileName) + " 기록 실패: " + error));
    }
}

void BackupService::ShowCritical(const std::string& text)
{
    runnerFailure_ = text;
    host_.ShowCritical(text);
}

bool BackupService::RunBackupJob(ScheduleRecord& record)
{
    const LocalDateTime start = clock_.Now();
    Paths paths;
    paths.runStamp = FormatDateTime(start);
    pExeCmd = std::make_unique<CExeCmd>(static_cast<MessageSink&>(*this),
                                        static_cast<ExeCmdListener*>(this));
    strCmdOutput.clear();
    failureCause_.clear();
    Outcome outcome = Outcome::NotJudged;
    bool exported = false; // the export was started: its files are this run's
    try {
        ReserveFiles(record, start, paths);
        Owe(record, paths, kStepExport);
        exported = true;
        outcome = ExportAndJudge(record, paths);
        if (outcome == Outcome::Succeeded) {
            const unsigned steps =
                (CheckRecipients(record.strMailReceiveList).anyRecipient ? kStepMail : 0u) |
                (settings_.verifyDump ? kStepVerify : 0u) |
                (record.bDataCompress ? kStepCompress : 0u) |
                (record.bDataTransfer ? kStepTransfer : 0u);
            Owe(record, paths, steps);
            RecordSuccess(record, paths);
            FinishRun(record, paths, steps);
            host_.SetStatusText(1, kReady);
            pExeCmd.reset();
            return false;
        }
    } catch (const JobError& e) {
        host_.SetStatusText(2, e.StatusText());
    } catch (const std::exception& e) {
        host_.SetStatusText(2, JobError(e.what(), kComponent, 0).StatusText());
    }
    // A failed run left no backup: what the utility wrote of its dump is no
    // use to anyone and must not take the place of a good one (or the disk
    // space the next try needs). Its log stays, for the cause.
    if (exported && outcome != Outcome::Succeeded)
        unlink(paths.dump.c_str());
    // A step that failed was reported: it is not owed any more.
    if (!paths.fileStamp.empty())
        Owe(record, paths, 0);
    if (outcome == Outcome::Failed) {
        // Nothing to compress or send: the run has no backup.
        host_.SetStatusText(1, kReady);
        pExeCmd.reset();
        return false;
    }
    const std::string reason = host_.StatusText(2);
    WriteLine(reason);
    // A run that broke off before its export succeeded is a failed run: it
    // counts toward giving up, so a broken item stops being retried every
    // second and its recipients hear of it.
    if (outcome == Outcome::NotJudged && CountFailure(record, paths, reason))
        outcome = Outcome::GaveUp;
    if (outcome == Outcome::GaveUp)
        MailFailure(record, paths, failureCause_.empty() ? reason : failureCause_);
    host_.SetStatusText(1, kReady);
    pExeCmd.reset();
    return false;
}

void BackupService::ReserveFiles(const ScheduleRecord& record, const LocalDateTime& start,
                                 Paths& paths)
{
    // A relative folder is taken from the program folder, wherever the
    // program was started from.
    paths.itemFolder = record.strBackUpFolder + record.strServiceName;
    if (!paths.itemFolder.starts_with('/'))
        paths.itemFolder = JoinPath(programFolder_, paths.itemFolder);
    CheckPathComponent("service", record.strServiceName);
    CheckPathComponent("user", record.strID);
    if (!Exists(paths.itemFolder)) {
        if (mkdir(paths.itemFolder.c_str(), 0770) != 0)
            throw SystemJobError("Cannot create the folder " + paths.itemFolder, kComponent, errno);
        // Open to the group whatever the umask: the service and the
        // operators of its group write into the folders either one made
        // (a set-group bit inherited from the backup folder stays).
        struct stat st
        {};
        if (stat(paths.itemFolder.c_str(), &st) == 0)
            chmod(paths.itemFolder.c_str(), (st.st_mode & S_ISGID) | 0770);
    }
    paths.filePrefix = paths.itemFolder + "/" + record.strID + "_";
    // Two items of the same folder, service and user started within one
    // second would write the same files: one dump would be lost and both
    // runs would report it. A stamp is taken only when none of its files
    // exist, and its log is created at once, so no later run can take it.
    constexpr int kStampsTried = 3600;
    for (int ahead = 0; ahead < kStampsTried; ++ahead) {
        paths.SetStamp(FormatFileStamp(AddSeconds(start, ahead)));
        if (Exists(paths.dump) || Exists(paths.archive) || Exists(paths.verifyLog))
            continue;
        const int fd = open(paths.log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        if (fd >= 0) {
            close(fd);
            return;
        }
        if (errno != EEXIST)
            throw SystemJobError("Cannot write the log " + paths.log, kComponent, errno);
    }
    throw JobError("No free file name for a backup in " + paths.itemFolder, kComponent, EEXIST);
}

void BackupService::PurgeAndReport(const ScheduleRecord& record, const Paths& paths)
{
    const PurgeReport report =
        PurgeOldBackups(paths.filePrefix, record.nReservedFiles, clock_.Now(), paths.fileStamp);
    // The export runs all the same: a file that cannot be deleted costs disk
    // space, not a backup.
    for (const std::string& problem : report.problems)
        WriteLine(record.strServiceName + " 오래된 백업 삭제 실패: " + problem);
    if (!report.futureStamped.empty())
        WriteLine(record.strServiceName + " 미래 시각의 백업 파일 " +
                  std::to_string(report.futureStamped.size()) + "개 (" +
                  report.futureStamped.front() + " 등): 가장 오래된 것으로 봅니다");
}

bool BackupService::CountFailure(ScheduleRecord& record, const Paths& paths,
                                 const std::string& cause)
{
    ItemHistory& history = record.history;
    history.lastRunTime = paths.runStamp;
    history.lastRunSucceeded = false;
    history.lastCause = CutToCharacters(cause, kCauseCharacters);
    ++history.failuresInARow;
    SaveState();
    ++record.nExportFailCount;
    if (record.nExportFailCount <= kMaxExportFailures)
        return false;
    record.nExportFailCount = 0;
    record.strLastBackUpTime = paths.runStamp;
    record.bRunNow = false;
    return true;
}

BackupService::Outcome BackupService::ExportAndJudge(ScheduleRecord& record, const Paths& paths)
{
    const std::string program = ResolveExportProgram(programFolder_, record.strProgramPath);
    // The login goes to the utility in a parameter file only this user can
    // read, for the life of the child: a command line is every account's to
    // read in the process list.
    const SecretFile login = LoginFile(record);
    const std::string command = BuildExportCommandLine(record, program, paths.dump, login.Path());
    host_.SetStatusText(2, BuildExportCommandLine(record, program, paths.dump));
    PurgeAndReport(record, paths);
    host_.Yield();

    host_.Progress("[" + record.strServiceName + "] 엑스포트 시작 (" + record.strID + ")");
    const LocalDateTime exportStart = clock_.Now();
    const std::string& output = RunCommand(command);
    const std::int64_t exportSeconds = SecondsOf(clock_.Now()) - SecondsOf(exportStart);
    host_.SetStatusText(1, "[" + record.strServiceName + "] BackUp...");
    // A log that cannot be written (a full disk) fails the run, whose log
    // must tell the good runs from the failed ones; the utility's own word
    // still reaches the line.
    const int logError = AppendInCodePage(paths.log, output, [this] { host_.Yield(); });
    const std::string logProblem =
        logError == 0 ? std::string()
                      : "로그를 쓸 수 없습니다: " + paths.log + ": " + std::strerror(logError);
    ReportStrays(record);

    // An export stopped at its time limit failed, whatever it printed.
    const bool succeeded = !pExeCmd->TimedOut() && HoldsExportSuccess(strCmdOutput);
    if (succeeded && logError == 0) {
        NoteSuccess(record, paths, FirstWarning(strCmdOutput), exportSeconds);
        return Outcome::Succeeded;
    }
    host_.SetStatusText(2, kExportFailed);
    if (pExeCmd->TimedOut()) {
        failureCause_ =
            "엑스포트 시간 초과 (" + MinutesText(settings_.exportTimeoutMinutes) + "분)";
        if (!logProblem.empty())
            failureCause_ += " (" + logProblem + ")";
        WriteLine(record.strServiceName + " " + failureCause_);
    } else {
        failureCause_ = succeeded ? logProblem : FailureOf(program, "EXP-");
        if (!succeeded && !logProblem.empty())
            failureCause_ += " (" + logProblem + ")";
        WriteLine(record.strServiceName + kExportFailedLine + failureCause_);
    }
    return CountFailure(record, paths, failureCause_) ? Outcome::GaveUp : Outcome::Failed;
}

void BackupService::NoteSuccess(ScheduleRecord& record, const Paths& paths,
                                const std::string& warning, std::int64_t exportSeconds)
{
    struct stat st
    {};
    const std::int64_t bytes = stat(paths.dump.c_str(), &st) == 0 ? st.st_size : 0;
    record.nExportFailCount = 0;
    ItemHistory& history = record.history;
    history.lastRunTime = paths.runStamp;
    history.lastRunSucceeded = true;
    history.lastCause = warning;
    history.failuresInARow = 0;
    history.lastSuccessTime = paths.runStamp;
    history.lastSuccessDump = FileNameOf(paths.dump);
    history.lastSuccessBytes = bytes;
    history.overdueAlertedFor.clear();
    // Every good run leaves its line, also without mail or upload; a warning
    // (a table that does not exist) is named, as the dump lacks what it
    // warns of.
    std::string line = record.strServiceName + " 백업 성공: " + history.lastSuccessDump + " (" +
                       SizeText(bytes) + ", " + DurationText(exportSeconds) + ")";
    if (!warning.empty())
        line += " (경고: " + warning + ")";
    WriteLine(line);
}

bool BackupService::MailReport(const ScheduleRecord& record, const std::string& subject,
                               const std::string& body, const std::vector<std::string>& attachments,
                               const char* sentText, const char* failedText)
{
    const RecipientCheck check = CheckRecipients(record.strMailReceiveList);
    if (!check.anyRecipient)
        return false; // the operator wants no mail
    bool sent = true;
    std::string reason;
    if (check.anyAddress) {
        ResultMail mail;
        mail.recipients = record.strMailReceiveList;
        mail.subject = subject;
        mail.body = body;
        // The library takes the attachments as one ";"-separated text: a path
        // that holds a ";" goes by a link without one.
        std::string error;
        const AttachmentLinks links(SecretFolder(programFolder_, error), attachments);
        mail.attachments = links.Joined();
        mail.useSmtpServer = record.bUseSmtpServer;
        mail.smtpUser = record.strSmtpUserID;
        mail.smtpPassword = record.strSmtpUserPassword;
        mail.smtpServer = record.strSmtpServer;
        MailContext context{mailLibrary_, programFolder_,
                            [this](const std::string& text) { host_.ShowMessage(text); },
                            [this] { host_.Yield(); }};
        const MailOutcome outcome = SendResultMail(mail, context);
        sent = outcome.sent;
        reason = CutToCharacters(outcome.reason, kCauseCharacters);
    }
    std::string line = record.strServiceName;
    line += sent && check.notAddresses.empty() ? sentText : failedText;
    if (!check.notAddresses.empty()) {
        line += " (주소가 아닌 수신자:";
        for (const std::string& token : check.notAddresses)
            line += " \"" + token + "\"";
        line += ")";
    }
    // Why it failed; or, beside a mail that went out, what went wrong (the
    // session log could not be written).
    if (!reason.empty())
        line += ": " + reason;
    WriteLine(line);
    return sent;
}

void BackupService::RecordSuccess(ScheduleRecord& record, const Paths& paths)
{
    record.strLastBackUpTime = paths.runStamp;
    if (keepOutsideChanges_ && FileIdentity(SchedulePath()) != knownFile_)
        AdoptChangedSchedule(record);
    else
        SaveScheduleOrReport();
}

void BackupService::AdoptChangedSchedule(const ScheduleRecord& record)
{
    // The operator's copy wins, and the run's result goes into it: the item
    // would otherwise run again, its success forgotten.
    ScheduleTable onDisk;
    std::string error;
    if (!veltrane::LoadSchedule(SchedulePath(), onDisk, error)) {
        WriteLine(std::string(kScheduleFileName) + " 저장 안 함: " + error);
        return;
    }
    ApplyItemStates(ItemStatesOf(table_), onDisk);
    auto same = std::find_if(onDisk.begin(), onDisk.end(), [&](const auto& r) {
        return r->nNo == record.nNo &&
               IsSameItem(*r, record.strServiceName, record.strID, record.strBackUpFolder);
    });
    if (same == onDisk.end())
        same = std::find_if(onDisk.begin(), onDisk.end(), [&](const auto& r) {
            return IsSameItem(*r, record.strServiceName, record.strID, record.strBackUpFolder);
        });
    table_ = std::move(onDisk);
    knownFile_ = FileIdentity(SchedulePath());
    if (same == table_.end()) {
        WriteLine(std::string(kScheduleFileName) +
                  " 다시 읽음: 실행 중에 바뀐 파일에 이 항목이 없습니다 (" + record.strServiceName +
                  ")");
        return;
    }
    (*same)->strLastBackUpTime = record.strLastBackUpTime;
    WriteLine(std::string(kScheduleFileName) + " 다시 읽음: 실행 중에 바뀐 파일에 결과를 씁니다");
    SaveScheduleOrReport();
}

void BackupService::MailSuccess(const ScheduleRecord& record, const Paths& paths)
{
    // The warning of this run, when the history still tells of it.
    const ItemHistory& history = record.history;
    const std::string warning =
        history.lastSuccessTime == paths.runStamp ? history.lastCause : std::string();
    MailReport(record, "[DB Backup : " + record.strID + "@" + record.strServiceName + "]완료.",
               BuildResultReportHtml(record.strServiceName, record.strID, paths.runStamp,
                                     paths.dump, host_.FreeDiskSpaceText(), record.strDescription,
                                     warning),
               {paths.log}, kMailSent, kMailFailed);
}

void BackupService::FinishRun(const ScheduleRecord& record, const Paths& paths, unsigned steps)
{
    const auto done = [&](RunStep step) {
        steps &= ~static_cast<unsigned>(step);
        Owe(record, paths, steps);
    };
    if ((steps & kStepMail) != 0) {
        MailSuccess(record, paths);
        done(kStepMail);
    }
    host_.Yield();
    if ((steps & kStepVerify) != 0) {
        VerifyDump(record, paths);
        done(kStepVerify);
    }
    if ((steps & kStepCompress) != 0) {
        Compress(record, paths);
        done(kStepCompress);
    }
    host_.Yield();
    if ((steps & kStepTransfer) != 0) {
        Transfer(record, paths);
        done(kStepTransfer);
    }
    host_.Yield();
}

SecretFile BackupService::LoginFile(const ScheduleRecord& record)
{
    std::string error;
    const std::string folder = SecretFolder(programFolder_, error);
    SecretFile file(folder, "USERID=" + LoginText(record, false) + "\n");
    if (file.Path().empty())
        throw JobError("Cannot write the parameter file of the login: " +
                           (folder.empty() ? error : file.Error()),
                       kComponent, kInvalidArgument);
    return file;
}

RunState& BackupService::State()
{
    if (!stateLoaded_) {
        stateLoaded_ = true;
        std::string error;
        if (!LoadRunState(JoinPath(programFolder_, kRunStateFileName), state_, error))
            WriteLine(std::string(kRunStateFileName) + " 읽기 실패: " + error);
    }
    return state_;
}

void BackupService::SaveState()
{
    State().items = ItemStatesOf(table_);
    std::string error;
    if (SaveRunState(JoinPath(programFolder_, kRunStateFileName), state_, error)) {
        stateFailed_ = false;
    } else if (!stateFailed_) {
        // Said once per spell: runs go on without it, but a kill would leave
        // their steps unfinished.
        stateFailed_ = true;
        WriteLine(std::string(kRunStateFileName) + " 기록 실패: " + error);
    }
}

void BackupService::Owe(const ScheduleRecord& record, const Paths& paths, unsigned steps)
{
    std::vector<PendingRun>& pending = State().pending;
    const auto same = [&](const PendingRun& run) {
        return run.filePrefix == paths.filePrefix && run.fileStamp == paths.fileStamp;
    };
    const auto it = std::find_if(pending.begin(), pending.end(), same);
    if (steps == 0) {
        if (it == pending.end())
            return;
        pending.erase(it);
    } else {
        PendingRun run{
            record.nNo,     record.strServiceName, record.strID,    record.strBackUpFolder,
            paths.runStamp, paths.filePrefix,      paths.fileStamp, steps};
        if (it == pending.end())
            pending.push_back(std::move(run));
        else if (*it == run)
            return;
        else
            *it = std::move(run);
    }
    SaveState();
}

void BackupService::ReportStrays(const ScheduleRecord& record)
{
    const std::vector<std::string>& strays = pExeCmd->StrayProcesses();
    if (strays.empty())
        return;
    std::string names;
    for (const std::string& stray : strays)
        names += (names.empty() ? "" : ", ") + stray;
    WriteLine(record.strServiceName + " 남은 하위 프로세스 종료: " + names);
}

void BackupService::ResumeInterruptedRuns()
{
    // A run killed while its child read the login left the parameter file.
    std::string error;
    RemoveSecretFiles(SecretFolder(programFolder_, error));
    const std::vector<PendingRun> pending = State().pending;
    for (const PendingRun& run : pending) {
        Paths paths;
        paths.runStamp = run.runStamp;
        paths.filePrefix = run.filePrefix;
        paths.SetStamp(run.fileStamp);
        const std::string name = run.service;
        if ((run.steps & kStepExport) != 0) {
            // Abandoned during its export: the dump is partial. The log
            // stays, and retention sees it as a failed run's.
            if (unlink(paths.dump.c_str()) == 0)
                WriteLine(name + " 중단된 백업 정리: 덤프 삭제 (" + FileNameOf(paths.dump) + ")");
            else
                WriteLine(name + " 중단된 백업 정리 (" + run.runStamp + ")");
            State().pending.erase(std::find(State().pending.begin(), State().pending.end(), run));
            SaveState();
            continue;
        }
        auto found = std::find_if(table_.begin(), table_.end(), [&](const auto& r) {
            return r->nNo == run.itemNo && IsSameItem(*r, run.service, run.user, run.backUpFolder);
        });
        if (found == table_.end())
            found = std::find_if(table_.begin(), table_.end(), [&](const auto& r) {
                return IsSameItem(*r, run.service, run.user, run.backUpFolder);
            });
        std::string problem;
        if (found == table_.end())
            problem = "항목이 없습니다";
        else if (!Exists(paths.dump))
            problem = "덤프가 없습니다 (" + paths.dump + ")";
        if (!problem.empty()) {
            WriteLine(name + " 이전 실행의 남은 단계를 마치지 못함 (" + run.runStamp +
                      " 백업): " + problem);
            State().pending.erase(std::find(State().pending.begin(), State().pending.end(), run));
            SaveState();
            continue;
        }
        std::string steps;
        for (const auto& [step, text] : {std::pair{kStepMail, "메일"},
                                         {kStepVerify, "검증"},
                                         {kStepCompress, "압축"},
                                         {kStepTransfer, "전송"}})
            if ((run.steps & step) != 0)
                steps += (steps.empty() ? "" : ", ") + std::string(text);
        WriteLine(name + " 이전 실행의 남은 단계를 마칩니다 (" + run.runStamp + " 백업: " + steps +
                  ")");
        std::shared_ptr<ScheduleRecord> record = *found;
        pExeCmd = std::make_unique<CExeCmd>(static_cast<MessageSink&>(*this),
                                            static_cast<ExeCmdListener*>(this));
        try {
            FinishRun(*record, paths, run.steps);
        } catch (const JobError& e) {
            WriteLine(e.StatusText());
            Owe(*record, paths, 0);
        } catch (const std::exception& e) {
            WriteLine(JobError(e.what(), kComponent, 0).StatusText());
            Owe(*record, paths, 0);
        }
        pExeCmd.reset();
        host_.SetStatusText(1, kReady);
    }
}

void BackupService::MailFailure(const ScheduleRecord& record, const Paths& paths,
                                const std::string& cause, std::vector<std::string> attachments,
                                const std::string& subjectEnd)
{
    // The report of a success, with the cause where the dump would be; the
    // log of the last run goes with it when there is one.
    if (attachments.empty() && !paths.log.empty() && Exists(paths.log))
        attachments.push_back(paths.log);
    MailReport(record,
               "[DB Backup : " + record.strID + "@" + record.strServiceName + "]" + subjectEnd,
               BuildResultReportHtml(record.strServiceName, record.strID, paths.runStamp, cause,
                                     host_.FreeDiskSpaceText(), record.strDescription),
               attachments, kFailureMailSent, kFailureMailFailed);
}

bool BackupService::Compress(const ScheduleRecord& record, const Paths& paths)
{
    host_.SetStatusText(1, "Data Compressing...");
    const std::string archiver = JoinPath(programFolder_, kArchiverFile);
    // An archive left by a run that was stopped while compressing is partial;
    // the archiver would add to it.
    unlink(paths.archive.c_str());
    RunCommand(BuildArchiverCommandLine(archiver, paths.archive, paths.dump, paths.log));
    ReportStrays(record);
    const std::optional<int> exitCode = pExeCmd->ExitCode();
    std::string line;
    if (pExeCmd->TimedOut())
        line = " 압축 시간 초과 (" + MinutesText(settings_.exportTimeoutMinutes) + "분)";
    else if (!runnerFailure_.empty())
        line = kCompressFailedLine + runnerFailure_ + " (" + archiver + ")";
    else if (exitCode != 0)
        // A non-zero exit (a write error, a full disk) leaves a partial
        // archive that must not pass for a backup.
        line = kCompressFailedLine + FailureCause(strCmdOutput, {}) + " (종료 코드 " +
               (exitCode ? std::to_string(*exitCode) : std::string("없음")) + ")";
    else if (!Exists(paths.archive))
        line = std::string(kCompressFailedLine) + "압축 파일이 없습니다 (" + paths.archive + ")";
    if (line.empty())
        return true;
    unlink(paths.archive.c_str());
    const std::string cause = line.substr(1); // without its leading blank
    if (record.bDataTransfer)
        line += ": 덤프와 로그를 그대로 전송합니다";
    WriteLine(record.strServiceName + line);
    MailFailure(record, paths, cause, {paths.log}, "압축 실패.");
    return false;
}

const std::string& BackupService::RunCommand(const std::string& command)
{
    pExeCmd->CommandLine(command);
    pExeCmd->TimeLimit(
        std::chrono::milliseconds(std::llround(settings_.exportTimeoutMinutes * 60 * 1000)));
    strCmdOutput.clear();
    runnerFailure_.clear();
    return pExeCmd->ExecuteCommand();
}

std::string BackupService::FailureOf(const std::string& program, std::string_view prefix) const
{
    return !runnerFailure_.empty() ? runnerFailure_ + " (" + program + ")"
                                   : FailureCause(strCmdOutput, prefix);
}

void BackupService::VerifyDump(const ScheduleRecord& record, const Paths& paths)
{
    const std::string exporter = ResolveExportProgram(programFolder_, record.strProgramPath);
    const std::string importer =
        settings_.importUtility.empty()
            ? FolderOfPath(exporter) + "imp"
            : ResolveExportProgram(programFolder_, settings_.importUtility);
    host_.SetStatusText(1, "Dump Verifying...");
    auto commandLine = [&](const std::string& login) {
        return QuoteArgument(importer) + " " + login + " File=" + QuoteArgument(paths.dump) +
               " Full=y Show=y Log=" + QuoteArgument(paths.verifyLog);
    };
    host_.SetStatusText(2, commandLine(LoginText(record, true)));
    host_.Yield();
    const SecretFile login = LoginFile(record);
    RunCommand(commandLine("PARFILE=" + QuoteArgument(login.Path())));
    ReportStrays(record);
    if (!pExeCmd->TimedOut() && HoldsImportSuccess(strCmdOutput)) {
        WriteLine(record.strServiceName + kVerifySucceeded);
        return;
    }
    // Reported like a failed export; the dump is kept, compressed and sent
    // all the same.
    const std::string cause =
        pExeCmd->TimedOut()
            ? "검증 시간 초과 (" + MinutesText(settings_.exportTimeoutMinutes) + "분)"
            : FailureOf(importer, "IMP-");
    WriteLine(record.strServiceName + kVerifyFailed + cause);
    std::vector<std::string> logs{paths.log};
    if (Exists(paths.verifyLog))
        logs.push_back(paths.verifyLog);
    MailFailure(record, paths, "덤프 검증 실패: " + cause, logs);
}

void BackupService::AlertOverdue(ScheduleRecord& record, const LocalDateTime& due)
{
    // Once per due time: kept in Veltrane.state, so neither a restart nor a
    // reload alerts it again.
    record.history.overdueAlertedFor = FormatDateTime(due);
    SaveState();
    // Only a run whose export succeeded is a success: a run that gave up
    // moved the latest back time, and is none.
    const std::string last = record.history.lastSuccessTime.empty()
                                 ? std::string("없음")
                                 : record.history.lastSuccessTime;
    const std::string text =
        "백업 지연: 마지막 성공 " + last + " (예정 " + record.history.overdueAlertedFor + ")";
    WriteLine(record.strServiceName + " " + text);
    MailReport(record, "[DB Backup : " + record.strID + "@" + record.strServiceName + "]지연.",
               BuildResultReportHtml(record.strServiceName, record.strID,
                                     FormatDateTime(clock_.Now()), text, host_.FreeDiskSpaceText(),
                                     record.strDescription),
               {}, kOverdueMailSent, kOverdueMailFailed);
}

bool BackupService::Upload(const std::string& host, int port, const ScheduleRecord& record,
                           const std::string& localPath, std::string& reason)
{
    auto* put = ftpLibrary_.EntryAs<PutLocalFileFn>("PutLocalFileViaFTP");
    // The library's reason is the calling thread's: asked for on the thread
    // that made the call. An older library cannot say.
    GetLastFtpErrorFn* lastError = nullptr;
    try {
        lastError = ftpLibrary_.EntryAs<GetLastFtpErrorFn>("GetLastFTPError");
    } catch (const JobError&) {
    }
    const std::string remote = cp949::FromUtf8(record.strFtpLocation + "/" + FileNameOf(localPath));
    const std::string hostText = cp949::FromUtf8(host);
    const std::string user = cp949::FromUtf8(record.strFtpUserID);
    const std::string password = cp949::FromUtf8(record.strFtpUserPassword);
    const auto [stored, why] = CallWhileYielding(
        [&] {
            const int result = put(hostText.c_str(), remote.c_str(), user.c_str(), password.c_str(),
                                   port, 0, localPath.c_str());
            char text[1024] = {};
            if (result == 0 && lastError != nullptr)
                lastError(text, sizeof text);
            return std::pair<bool, std::string>{result != 0, text};
        },
        [this] { host_.Yield(); });
    if (!stored && reason.empty())
        reason = CutToCharacters(cp949::ToUtf8(why), kCauseCharacters);
    return stored;
}

void BackupService::Transfer(const ScheduleRecord& record, const Paths& paths)
{
    host_.SetStatusText(1, "Transfer Start.");
    const FtpEndpoint endpoint = ParseFtpServer(record.strFtpServer);
    // The archive when it was made; without it (compression failed, or is
    // off) the dump and the log themselves.
    const bool archived = record.bDataCompress && Exists(paths.archive);
    bool allStored = true;
    std::string reason; // of the first upload that failed
    if (archived) {
        allStored = Upload(endpoint.host, endpoint.port, record, paths.archive, reason);
    } else {
        const bool dumpStored = Upload(endpoint.host, endpoint.port, record, paths.dump, reason);
        const bool logStored = Upload(endpoint.host, endpoint.port, record, paths.log, reason);
        allStored = dumpStored && logStored;
    }
    const std::string instead = record.bDataCompress && !archived ? " (압축 대신 덤프와 로그)" : "";
    if (allStored) {
        host_.SetStatusText(1, "Transfer Complete.");
        WriteLine(record.strServiceName + kTransferSucceeded + instead);
    } else {
        // The off-site copy is what a lost machine leaves: its failure is
        // told to the recipients too, with the reason.
        host_.SetStatusText(1, "Transfer Fail.");
        const std::string because = reason.empty() ? std::string() : ": " + reason;
        WriteLine(record.strServiceName + kTransferFailed + instead + because);
        MailFailure(record, paths, std::string(kTransferFailed) + because, {paths.log},
                    "전송 실패.");
    }
    // The archive was made only to be sent. One that did not reach the
    // server stays, the only compressed copy there is.
    if (archived && allStored && unlink(paths.archive.c_str()) != 0 && errno != ENOENT)
        throw SystemJobError("Cannot delete " + paths.archive, kComponent, errno);
}

} // namespace veltrane
