#include "cli/check_command.h"

#include "hoistline.h"
#include "job/archive_step.h"
#include "job/data_pump.h"
#include "job/export_step.h"
#include "job/mail_step.h"
#include "job/run_environment.h"
#include "job/run_files.h"
#include "job/upload_step.h"
#include "platform/codepage.h"
#include "platform/library_binder.h"
#include "platform/private_files.h"
#include "platform/program_folder.h"
#include "report/result_mail.h"
#include "report/result_report.h"
#include "schedule/schedule_fault.h"
#include "sendwick.h"
#include "service/metrics_file.h"
#include "store/schedule_file.h"
#include "store/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

// Why `path` is no file this user may run; empty when it is one.
std::string FileProblem(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "파일이 아닙니다";
    if (access(path.c_str(), X_OK) != 0)
        return std::strerror(errno);
    return {};
}

// Why this user cannot start `program` as the runner starts it (a name
// without "/" is looked for on the search path); empty when it can.
std::string StartProblem(const std::string& program)
{
    if (program.empty())
        return "지정되지 않았습니다";
    if (program.find('/') != std::string::npos)
        return FileProblem(program);
    const char* path = std::getenv("PATH");
    const std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
    for (std::size_t at = 0; at <= folders.size();) {
        std::size_t end = folders.find(':', at);
        if (end == std::string_view::npos)
            end = folders.size();
        const std::string_view folder = folders.substr(at, end - at);
        if (FileProblem(JoinPath(folder.empty() ? "." : folder, program)).empty())
            return {};
        at = end + 1;
    }
    return "검색 경로에 없습니다 (PATH=" + std::string(folders) + ")";
}

// Why this user cannot make files in `folder`; empty when it can.
std::string FolderProblem(const std::string& folder)
{
    struct stat st
    {};
    if (stat(folder.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "폴더가 아닙니다";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return {};
}

class FolderCheck
{
public:
    FolderCheck(std::string dataFolder, const std::string& libraryFolder)
        : dataFolder_(std::move(dataFolder)),
          mailLibrary_(kMailLibraryFile, libraryFolder.empty() ? dataFolder_ : libraryFolder),
          ftpLibrary_(kFtpLibraryFile, libraryFolder.empty() ? dataFolder_ : libraryFolder)
    {}

    void Item(const ScheduleRecord& record, const Settings& settings);
    // What only trying finds: the servers' answers and the files' folders.
    void Connect(const ScheduleRecord& record);
    void TryFiles(const Settings& settings, bool secretFolderUsable);
    void Add(std::string finding) { findings_.push_back(std::move(finding)); }
    std::vector<std::string>& Findings() { return findings_; }

private:
    void Found(const ScheduleRecord& record, const std::string& text)
    {
        Add("항목 " + std::to_string(record.nNo) + " (" + record.strServiceName + ", " +
            record.strID + "): " + text);
    }
    void Program(const ScheduleRecord& record, const char* what, const std::string& program);
    void DataPump(const ScheduleRecord& record, const std::string& itemFolder);
    void Mail(const ScheduleRecord& record);
    void Ftp(const ScheduleRecord& record);
    // Why `host` cannot be found by name; empty when it can. Each name is
    // asked once, however many items name it.
    const std::string& Resolve(const std::string& host);

    void MailLogin(const ScheduleRecord& record);
    void FtpLogin(const ScheduleRecord& record);

    std::string dataFolder_;
    LibraryBinder mailLibrary_;
    LibraryBinder ftpLibrary_;
    std::vector<std::string> findings_;
    std::map<std::string, std::string> resolved_;
};

const std::string& FolderCheck::Resolve(const std::string& host)
{
    const auto known = resolved_.find(host);
    if (known != resolved_.end())
        return known->second;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::string problem;
    if (error == EAI_SYSTEM)
        problem = std::strerror(errno);
    else if (error != 0)
        problem = gai_strerror(error);
    if (found != nullptr)
        freeaddrinfo(found);
    return resolved_[host] = problem;
}

void FolderCheck::Program(const ScheduleRecord& record, const char* what,
                          const std::string& program)
{
    if (const std::string problem = StartProblem(program); !problem.empty())
        Found(record, std::string(what) + " 실행할 수 없습니다: " + program + " (" + problem + ")");
}

// What a Data Pump item needs besides the export utility: the import client
// (the read-back), a folder the database's account writes into through the
// group as well as this program, and no keyword of the original export.
void FolderCheck::DataPump(const ScheduleRecord& record, const std::string& itemFolder)
{
    Program(record, "Data Pump 임포트 유틸리티를",
            DataPumpImportBeside(ResolveExportProgram(dataFolder_, record.strProgramPath)));
    struct stat st
    {};
    if (stat(itemFolder.c_str(), &st) == 0 &&
        (st.st_mode & (S_IWGRP | S_IXGRP)) != (S_IWGRP | S_IXGRP))
        Found(record, "데이터베이스 계정이 항목 폴더에 쓸 수 없습니다: " + itemFolder +
                          " (그룹 쓰기 권한이 없습니다; 디렉터리 객체 " +
                          DirectoryObjectOf(record.strExecutionOption) + "의 폴더입니다)");
    if (const std::optional<std::string> own = ReservedKeywordIn(record.strExecutionOption))
        Found(record, "Export Option의 " + *own +
                          "은(는) Veltrane이 정하는 매개변수입니다: 이 항목은 실패합니다");
    if (const std::optional<std::string> legacy = LegacyKeywordIn(record.strExecutionOption))
        Found(record, "Export Option의 " + *legacy +
                          "은(는) 원래 엑스포트의 키워드입니다: Data Pump 항목에서는 실패합니다");
}

void FolderCheck::Mail(const ScheduleRecord& record)
{
    const RecipientCheck recipients = CheckRecipients(record.strMailReceiveList);
    if (!recipients.anyRecipient)
        return; // nothing is mailed
    for (const std::string& token : recipients.notAddresses)
        Found(record, "메일 주소가 아닌 수신자: \"" + token + "\"");
    // The rest is the mail library's own judgement, as each run's sessions
    // make it: the sender, the recipients and where their mail would go.
    for (const std::string& finding : CheckResultMail(MailRouteOf(record), mailLibrary_))
        Found(record, "메일을 보낼 수 없습니다: " + finding);
}

void FolderCheck::Ftp(const ScheduleRecord& record)
{
    const Result<FtpEndpoint> endpoint = ParseFtpServer(record.strFtpServer);
    if (!endpoint) {
        Found(record, "FTP 서버를 읽을 수 없습니다: " + endpoint.error().description);
        return;
    }
    // The host without its scheme ("sftp://") and brackets ("[::1]").
    std::string host = endpoint->host;
    if (const std::size_t scheme = host.find("://"); scheme != std::string::npos)
        host.erase(0, scheme + 3);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (const std::string& problem = Resolve(host); !problem.empty())
        Found(record, "FTP 서버를 찾을 수 없습니다: " + host + " (" + problem + ")");
}

void FolderCheck::Item(const ScheduleRecord& record, const Settings& settings)
{
    if (const std::optional<ScheduleFault> fault = ScheduleFaultOf(record))
        Found(record, "일정대로 실행되지 않습니다: " + fault->text);
    Program(record, "엑스포트 유틸리티를",
            ResolveExportProgram(dataFolder_, record.strProgramPath));
    if (const std::string problem = TablesProblem(record.strTables); !problem.empty())
        Found(record, problem);
    if (settings.verifyDump)
        Program(record, "임포트 유틸리티를 (VerifyDump)",
                ResolveImportProgram(dataFolder_, record, settings));
    // The run makes the item folder inside the backup folder, not the
    // backup folder itself.
    if (const Result<std::string> folder = ItemFolderOf(record, dataFolder_); !folder) {
        Found(record, folder.error().description);
    } else if (PathExists(*folder)) {
        if (const std::string problem = FolderProblem(*folder); !problem.empty())
            Found(record, "백업 폴더에 쓸 수 없습니다: " + *folder + " (" + problem + ")");
    } else if (const std::string problem = FolderProblem(FolderOfPath(*folder)); !problem.empty()) {
        Found(record, "백업 폴더를 만들 수 없습니다: " + *folder + " (" + FolderOfPath(*folder) +
                          ": " + problem + ")");
    }
    if (IsDataPumpProgram(record.strProgramPath)) {
        const Result<std::string> folder = ItemFolderOf(record, dataFolder_);
        DataPump(record, folder ? *folder : std::string());
    }
    if (record.bDataCompress)
        Program(record, "압축 프로그램을", JoinPath(dataFolder_, kArchiverFile));
    Mail(record);
    if (record.bDataTransfer)
        Ftp(record);
}

// Why no file can be made in `folder` by making one and removing it; empty
// when it could.
std::string MakeFileProblem(const std::string& folder)
{
    std::string probe = JoinPath(folder, ".veltrane-check-XXXXXX");
    const int fd = mkstemp(probe.data());
    if (fd < 0)
        return std::strerror(errno);
    close(fd);
    unlink(probe.c_str());
    return {};
}

void FolderCheck::MailLogin(const ScheduleRecord& record)
{
    const Result<CheckMailLoginProc> login =
        mailLibrary_.EntryAs<CheckMailLoginProc>("CheckMailLogin");
    if (!login) {
        Found(record, "메일 서버에 로그인해 볼 수 없습니다: " + login.error().description);
        return;
    }
    const ResultMail mail = MailRouteOf(record);
    const std::string server = cp949::FromUtf8(mail.smtpServer);
    const std::string user = cp949::FromUtf8(mail.smtpUser);
    const std::string password = cp949::FromUtf8(mail.smtpPassword);
    const std::string sender = cp949::FromUtf8(DefaultSender(mail.smtpUser, mail.smtpServer));
    const std::string log = JoinPath(dataFolder_, kMailLogFileName);
    char reason[1024] = {};
    if ((*login)(server.c_str(), user.c_str(), password.c_str(), sender.c_str(), log.c_str(),
                 reason, sizeof reason) > 0)
        Found(record, "메일 서버 " + mail.smtpServer + ": " + cp949::ToUtf8(reason));
}

void FolderCheck::FtpLogin(const ScheduleRecord& record)
{
    const Result<FtpEndpoint> endpoint = ParseFtpServer(record.strFtpServer);
    if (!endpoint)
        return; // found by the static check
    const Result<CheckRemoteFolderViaFTPProc> check =
        ftpLibrary_.EntryAs<CheckRemoteFolderViaFTPProc>("CheckRemoteFolderViaFTP");
    const Result<GetLastFTPErrorProc> lastError =
        ftpLibrary_.EntryAs<GetLastFTPErrorProc>("GetLastFTPError");
    if (!check || !lastError) {
        Found(record, "FTP 서버에 로그인해 볼 수 없습니다: " +
                          (!check ? check.error() : lastError.error()).description);
        return;
    }
    const std::string host = cp949::FromUtf8(endpoint->host);
    // Where the upload puts its files: "<location>/<file>", the root for none.
    const std::string folder =
        cp949::FromUtf8(record.strFtpLocation.empty() ? "/" : record.strFtpLocation);
    const std::string user = cp949::FromUtf8(record.strFtpUserID);
    const std::string password = cp949::FromUtf8(record.strFtpUserPassword);
    if ((*check)(host.c_str(), folder.c_str(), user.c_str(), password.c_str(), endpoint->port, 0) ==
        0) {
        char reason[1024] = {};
        (*lastError)(reason, sizeof reason);
        Found(record, "FTP 서버 " + record.strFtpServer + " (폴더 \"" + record.strFtpLocation +
                          "\"): " + cp949::ToUtf8(reason));
    }
}

void FolderCheck::Connect(const ScheduleRecord& record)
{
    if (record.bUseSmtpServer && CheckRecipients(record.strMailReceiveList).anyAddress)
        MailLogin(record);
    if (record.bDataTransfer)
        FtpLogin(record);
}

void FolderCheck::TryFiles(const Settings& settings, bool secretFolderUsable)
{
    const Result<std::string> secrets =
        secretFolderUsable ? SecretFolder(dataFolder_) : Result<std::string>(std::string());
    if (!secrets)
        Add("비밀 파일 폴더: " + secrets.error().description);
    else if (const std::string problem = secrets->empty() ? "" : MakeFileProblem(*secrets);
             !problem.empty())
        Add("비밀 파일 폴더에 쓸 수 없습니다: " + *secrets + " (" + problem + ")");
    const std::string metrics = MetricsPath(settings, dataFolder_);
    if (const std::string problem = MakeFileProblem(FolderOfPath(metrics)); !problem.empty())
        Add("메트릭 파일을 쓸 수 없습니다: " + metrics + " (" + FolderOfPath(metrics) + ": " +
            problem + ")");
}

} // namespace

std::vector<std::string> CheckFolder(const std::string& dataFolder,
                                     const std::string& libraryFolder, bool connect)
{
    FolderCheck check(dataFolder, libraryFolder);
    Settings settings;
    std::vector<std::string> problems;
    ReadSettings(JoinPath(dataFolder, kSettingsFileName), settings, problems);
    for (const std::string& problem : problems)
        check.Add(std::string(kSettingsFileName) + ": " + problem);
    // The login reaches the export utility through a file in the private
    // folder: a run fails without one that can be made and written.
    const Status secrets = CheckSecretFolder(dataFolder);
    if (!secrets)
        check.Add("비밀 파일 폴더: " + secrets.error().description);
    if (connect)
        check.TryFiles(settings, secrets.ok());
    if (const Status metrics = CheckMetricsPath(MetricsPath(settings, dataFolder), dataFolder);
        !metrics)
        check.Add(std::string(kSettingsFileName) + ": MetricsFile: " + metrics.error().description);
    const std::string schedulePath = JoinPath(dataFolder, kScheduleFileName);
    if (!PathExists(schedulePath)) {
        check.Add(schedulePath + " 파일이 없습니다");
        return std::move(check.Findings());
    }
    const Result<ScheduleTable> table = ReadSchedule(schedulePath);
    if (!table) {
        check.Add(std::string(kScheduleFileName) + ": " + table.error().description);
        return std::move(check.Findings());
    }
    for (const auto& record : *table)
        if (record->bEnabled) {
            check.Item(*record, settings);
            if (connect)
                check.Connect(*record);
        }
    return std::move(check.Findings());
}

int CheckCommand(const std::string& dataFolder, const std::string& libraryFolder, bool connect)
{
    const std::vector<std::string> findings = CheckFolder(dataFolder, libraryFolder, connect);
    for (const std::string& finding : findings)
        std::printf("%s\n", finding.c_str());
    if (findings.empty())
        std::printf("문제 없음\n");
    else
        std::printf("문제 %zu건\n", findings.size());
    return findings.empty() ? 0 : 1;
}

int TestMailCommand(const std::string& dataFolder, const std::string& libraryFolder, int item)
{
    const auto refuse = [item](const std::string& text, int status) {
        std::fprintf(stderr, "Veltrane: 항목 %d 시험 메일: %s\n", item, text.c_str());
        return status;
    };
    const Result<ScheduleTable> table = ReadSchedule(JoinPath(dataFolder, kScheduleFileName));
    if (!table)
        return refuse(table.error().description, 2);
    const auto found = std::find_if(table->begin(), table->end(),
                                    [item](const auto& record) { return record->nNo == item; });
    if (found == table->end())
        return refuse("Schedule.dat에 없습니다", 2);
    const ScheduleRecord& record = **found;
    if (!CheckRecipients(record.strMailReceiveList).anyAddress)
        return refuse("수신자 메일 주소가 없습니다", 1);
    ResultMail mail = MailRouteOf(record);
    mail.subject = "[Veltrane] 시험 메일: " + record.strServiceName + " (" + record.strID + ")";
    mail.body = "<p>Veltrane 항목 " + std::to_string(item) + " (" +
                EscapeHtml(record.strServiceName) + ", " + EscapeHtml(record.strID) +
                ")의 결과 메일이 이 경로로 갑니다. 이 메일에는 답하지 않아도 됩니다.</p>";
    LibraryBinder library(kMailLibraryFile, libraryFolder.empty() ? dataFolder : libraryFolder);
    const MailContext context{
        library, dataFolder,
        [](const std::string& text) { std::fprintf(stderr, "Veltrane: %s\n", text.c_str()); },
        [] {}};
    const MailOutcome outcome = SendResultMail(mail, context);
    if (!outcome.sent)
        return refuse("보내지 못했습니다: " + outcome.reason, 1);
    std::printf("항목 %d 시험 메일을 보냈습니다: %s%s\n", item, record.strMailReceiveList.c_str(),
                outcome.reason.empty() ? "" : (" (" + outcome.reason + ")").c_str());
    return 0;
}

} // namespace veltrane
