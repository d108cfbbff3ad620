#include "job/backup_service.h"

#include "job/command_line.h"
#include "job/retention.h"
#include "platform/codepage.h"
#include "platform/file_io.h"
#include "platform/job_error.h"
#include "platform/program_folder.h"
#include "platform/yielding_call.h"
#include "report/result_history.h"
#include "report/result_mail.h"
#include "report/result_report.h"
#include "store/number_text.h"
#include "store/schedule_file.h"

#include <cerrno>
#include <cmath>
#include <limits>
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
constexpr const char* kNoOutput = "출력 없음";

// Error codes of the run's own checks (JobError::code()).
constexpr int kTypeMismatch = 13;
constexpr int kOverflow = 6;
constexpr int kInvalidArgument = 5;

constexpr double kHighestPort = 65535;

using PutLocalFileFn = int(const char*, const char*, const char*, const char*, int, int,
                           const char*);

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

// The last line of the output that holds more than blanks: where the export
// utility says why it stopped.
std::string LastOutputLine(std::string_view output)
{
    while (!output.empty()) {
        std::size_t end = output.find_last_not_of(" \t\r\n");
        if (end == std::string_view::npos)
            break;
        output = output.substr(0, end + 1);
        std::size_t begin = output.find_last_of("\r\n");
        std::string_view line = output.substr(begin == std::string_view::npos ? 0 : begin + 1);
        std::size_t first = line.find_first_not_of(" \t");
        return std::string(line.substr(first));
    }
    return kNoOutput;
}

std::string FileNameOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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
};

std::string BuildExportCommandLine(const ScheduleRecord& r, const std::string& programPath,
                                   const std::string& dumpPath, bool displayed)
{
    std::string line = QuoteArgument(programPath) + " " + r.strID + "/" +
                       (displayed ? std::string("****") : r.strPWD) + "@" + r.strServiceName +
                       " File=" + QuoteArgument(dumpPath);
    if (!TrimBlanks(r.strTables).empty())
        line += " Tables=(" + r.strTables + ") ";
    if (!TrimBlanks(r.strExecutionOption).empty())
        line += " " + r.strExecutionOption;
    return line;
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
    std::size_t colon = ftpServer.find(':', hostStart);
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
{}

BackupService::~BackupService() = default;

std::string BackupService::SchedulePath() const
{
    return JoinPath(programFolder_, kScheduleFileName);
}

void BackupService::LoadSchedule()
{
    veltrane::LoadSchedule(SchedulePath(), table_);
}

bool BackupService::SaveSchedule(std::string& error)
{
    return veltrane::SaveSchedule(SchedulePath(), table_, error);
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

std::string BackupService::StampedLine(const std::string& text) const
{
    std::string line = "[";
    line.append(FormatDateTime(clock_.Now())).append("] ").append(text);
    return line;
}

void BackupService::WriteLine(const std::string& text)
{
    const std::string line = StampedLine(text);
    host_.AppendResultLine(line);
    if (std::string error = history_.Append(line); !error.empty() && !historyFailed_) {
        // Said once: the list still shows every line.
        historyFailed_ = true;
        host_.AppendResultLine(StampedLine(std::string(kHistoryFileName) + " 기록 실패: " + error));
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
    try {
        // A relative folder is taken from the program folder, wherever the
        // program was started from.
        paths.itemFolder = record.strBackUpFolder + record.strServiceName;
        if (!paths.itemFolder.starts_with('/'))
            paths.itemFolder = JoinPath(programFolder_, paths.itemFolder);
        if (!Exists(paths.itemFolder) && mkdir(paths.itemFolder.c_str(), 0755) != 0)
            throw SystemJobError("Cannot create the folder " + paths.itemFolder, kComponent, errno);
        paths.filePrefix = paths.itemFolder + "/" + record.strID + "_";
        const std::string fileStamp = FormatFileStamp(start);
        paths.dump = paths.filePrefix + fileStamp + ".DMP";
        paths.log = paths.filePrefix + fileStamp + ".LOG";
        paths.archive = paths.filePrefix + fileStamp + ".rar";

        outcome = ExportAndJudge(record, paths);
        if (outcome != Outcome::GaveUp) {
            host_.Yield();
            if (record.bDataCompress)
                Compress(record, paths);
            pExeCmd.reset();
            host_.Yield();
            if (record.bDataTransfer)
                Transfer(record, paths);
            host_.Yield();
            host_.SetStatusText(1, kReady);
            return false;
        }
    } catch (const JobError& e) {
        host_.SetStatusText(2, e.StatusText());
    } catch (const std::exception& e) {
        host_.SetStatusText(2, JobError(e.what(), kComponent, 0).StatusText());
    }
    const std::string reason = host_.StatusText(2);
    WriteLine(reason);
    // A run that broke off before its export succeeded is a failed run: it
    // counts toward giving up, so a broken item stops being retried every
    // second and its recipients hear of it.
    if (outcome == Outcome::NotJudged && CountFailure(record, paths))
        outcome = Outcome::GaveUp;
    if (outcome == Outcome::GaveUp)
        MailFailure(record, paths, failureCause_.empty() ? reason : failureCause_);
    host_.SetStatusText(1, kReady);
    pExeCmd.reset();
    return false;
}

bool BackupService::CountFailure(ScheduleRecord& record, const Paths& paths)
{
    record.bRanSinceStart = true;
    ++record.nFailuresInARow;
    ++nExportFailCount;
    if (nExportFailCount <= kMaxExportFailures)
        return false;
    nExportFailCount = 0;
    record.strLastBackUpTime = paths.runStamp;
    record.bRunNow = false;
    return true;
}

BackupService::Outcome BackupService::ExportAndJudge(ScheduleRecord& record, const Paths& paths)
{
    const std::string program = ResolveExportProgram(programFolder_, record.strProgramPath);
    const std::string command = BuildExportCommandLine(record, program, paths.dump);
    host_.SetStatusText(2, BuildExportCommandLine(record, program, paths.dump, true));
    PurgeOldBackups(paths.filePrefix, record.nReservedFiles);
    host_.Yield();

    pExeCmd->CommandLine(command);
    strCmdOutput.clear();
    runnerFailure_.clear();
    const std::string output = pExeCmd->ExecuteCommand();
    host_.SetStatusText(1, "[" + record.strServiceName + "] BackUp...");
    if (int err = AppendToFile(paths.log, cp949::FromUtf8(output) + "\r\n"); err != 0)
        throw SystemJobError("Cannot write the log " + paths.log, kComponent, err);

    bool succeeded = false;
    for (const char* text : kExportSuccessTexts)
        succeeded = succeeded || strCmdOutput.find(text) != std::string::npos;

    if (succeeded) {
        record.bRanSinceStart = true;
        record.nFailuresInARow = 0;
        ReportSuccess(record, paths);
        return Outcome::Succeeded;
    }
    host_.SetStatusText(2, kExportFailed);
    failureCause_ = !runnerFailure_.empty() ? runnerFailure_ + " (" + program + ")"
                                            : LastOutputLine(strCmdOutput);
    WriteLine(record.strServiceName + kExportFailedLine + failureCause_);
    return CountFailure(record, paths) ? Outcome::GaveUp : Outcome::Failed;
}

bool BackupService::MailReport(const ScheduleRecord& record, const std::string& subject,
                               const std::string& body, const std::string& attachment,
                               const char* sentText, const char* failedText)
{
    const RecipientCheck check = CheckRecipients(record.strMailReceiveList);
    if (!check.anyRecipient)
        return false; // the operator wants no mail
    bool sent = true;
    if (check.anyAddress) {
        ResultMail mail;
        mail.recipients = record.strMailReceiveList;
        mail.subject = subject;
        mail.body = body;
        mail.attachments = attachment;
        mail.useSmtpServer = record.bUseSmtpServer;
        mail.smtpUser = record.strSmtpUserID;
        mail.smtpPassword = record.strSmtpUserPassword;
        mail.smtpServer = record.strSmtpServer;
        MailContext context{mailLibrary_, programFolder_,
                            [this](const std::string& text) { host_.ShowMessage(text); },
                            [this] { host_.Yield(); }};
        sent = SendResultMail(mail, context);
    }
    std::string line = record.strServiceName;
    line += sent && check.notAddresses.empty() ? sentText : failedText;
    if (!check.notAddresses.empty()) {
        line += " (주소가 아닌 수신자:";
        for (const std::string& token : check.notAddresses)
            line += " \"" + token + "\"";
        line += ")";
    }
    WriteLine(line);
    return sent;
}

void BackupService::ReportSuccess(ScheduleRecord& record, const Paths& paths)
{
    record.strLastBackUpTime = paths.runStamp;
    SaveScheduleOrReport();
    MailReport(record, "[DB Backup : " + record.strID + "@" + record.strServiceName + "]완료.",
               BuildResultReportHtml(record.strServiceName, record.strID, paths.runStamp,
                                     paths.dump, host_.FreeDiskSpaceText(), record.strDescription),
               paths.log, kMailSent, kMailFailed);
}

void BackupService::MailFailure(const ScheduleRecord& record, const Paths& paths,
                                const std::string& cause)
{
    // The report of a success, with the cause where the dump would be; the
    // log of the last run goes with it when there is one.
    MailReport(record, "[DB Backup : " + record.strID + "@" + record.strServiceName + "]실패.",
               BuildResultReportHtml(record.strServiceName, record.strID, paths.runStamp,
                                     EscapeHtml(cause), host_.FreeDiskSpaceText(),
                                     record.strDescription),
               !paths.log.empty() && Exists(paths.log) ? paths.log : std::string(),
               kFailureMailSent, kFailureMailFailed);
}

void BackupService::Compress(const ScheduleRecord& record, const Paths& paths)
{
    host_.SetStatusText(1, "Data Compressing...");
    const std::string archiver = JoinPath(programFolder_, kArchiverFile);
    pExeCmd->CommandLine(BuildArchiverCommandLine(archiver, paths.archive, paths.dump, paths.log));
    strCmdOutput.clear();
    runnerFailure_.clear();
    pExeCmd->ExecuteCommand();
    if (!runnerFailure_.empty())
        WriteLine(record.strServiceName + kCompressFailedLine + runnerFailure_ + " (" + archiver +
                  ")");
}

int BackupService::Upload(const std::string& host, int port, const ScheduleRecord& record,
                          const std::string& localPath)
{
    auto* put = ftpLibrary_.EntryAs<PutLocalFileFn>("PutLocalFileViaFTP");
    const std::string remote = cp949::FromUtf8(record.strFtpLocation + "/" + FileNameOf(localPath));
    const std::string hostText = cp949::FromUtf8(host);
    const std::string user = cp949::FromUtf8(record.strFtpUserID);
    const std::string password = cp949::FromUtf8(record.strFtpUserPassword);
    return CallWhileYielding(
        [&] {
            return put(hostText.c_str(), remote.c_str(), user.c_str(), password.c_str(), port, 0,
                       localPath.c_str());
        },
        [this] { host_.Yield(); });
}

void BackupService::Transfer(const ScheduleRecord& record, const Paths& paths)
{
    host_.SetStatusText(1, "Transfer Start.");
    const FtpEndpoint endpoint = ParseFtpServer(record.strFtpServer);
    bool allStored = true;
    if (record.bDataCompress) {
        allStored = Upload(endpoint.host, endpoint.port, record, paths.archive) != 0;
    } else {
        const bool dumpStored = Upload(endpoint.host, endpoint.port, record, paths.dump) != 0;
        const bool logStored = Upload(endpoint.host, endpoint.port, record, paths.log) != 0;
        allStored = dumpStored && logStored;
    }
    if (allStored) {
        host_.SetStatusText(1, "Transfer Complete.");
        WriteLine(record.strServiceName + kTransferSucceeded);
    } else {
        host_.SetStatusText(1, "Transfer Fail.");
        WriteLine(record.strServiceName + kTransferFailed);
    }
    // The archive was made only to be sent; a missing one (the archiver
    // failed) is already reported by the failed transfer.
    if (record.bDataCompress && unlink(paths.archive.c_str()) != 0 && errno != ENOENT)
        throw SystemJobError("Cannot delete " + paths.archive, kComponent, errno);
}

} // namespace veltrane
