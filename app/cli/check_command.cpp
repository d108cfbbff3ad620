#include "cli/check_command.h"

#include "job/archive_step.h"
#include "job/data_pump.h"
#include "job/export_step.h"
#include "job/run_environment.h"
#include "job/run_files.h"
#include "job/upload_step.h"
#include "platform/program_folder.h"
#include "report/result_mail.h"
#include "schedule/schedule_fault.h"
#include "store/schedule_file.h"
#include "store/settings_file.h"

#include <arpa/nameser.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netdb.h>
#include <optional>
#include <resolv.h>
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

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
           });
}

// The host of a mail server text, read as the mail library reads it: "host",
// "host:port", "smtp+starttls://host[:port]" or "smtps://host[:port]", an
// IPv6 address in brackets before a port; the port a whole number from 1 to
// 65535. nullopt for a text the library refuses.
std::optional<std::string> MailServerHost(std::string_view text)
{
    bool scheme = false;
    for (const std::string_view prefix : {"smtp+starttls://", "smtps://"})
        if (StartsWithNoCase(text, prefix)) {
            text.remove_prefix(prefix.size());
            if (text.ends_with('/'))
                text.remove_suffix(1);
            scheme = true;
        }
    if (!scheme && text.find("://") != std::string_view::npos)
        return std::nullopt;
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || (close + 1 < text.size() && text[close + 1] != ':'))
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = close + 1 < text.size() ? text.substr(close + 2) : std::string_view("25");
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == text.npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (!port.empty()) {
        const bool digits = port.size() <= 5 && port.find_first_not_of("0123456789") == port.npos;
        const int number = digits ? std::atoi(std::string(port).c_str()) : 0;
        if (number < 1 || number > 65535)
            return std::nullopt;
    }
    if (host.empty())
        return std::nullopt;
    return std::string(host);
}

class FolderCheck
{
public:
    explicit FolderCheck(std::string dataFolder) : dataFolder_(std::move(dataFolder)) {}

    void Item(const ScheduleRecord& record, const Settings& settings);
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
    // The same for a recipient's domain: its mail exchangers, else the
    // domain itself, as direct delivery looks for them.
    const std::string& ResolveMailDomain(const std::string& domain);

    std::string dataFolder_;
    std::vector<std::string> findings_;
    std::map<std::string, std::string> resolved_;
    std::map<std::string, std::string> domains_;
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

const std::string& FolderCheck::ResolveMailDomain(const std::string& domain)
{
    const auto known = domains_.find(domain);
    if (known != domains_.end())
        return known->second;
    unsigned char answer[NS_PACKETSZ * 4];
    const int length = res_query(domain.c_str(), ns_c_in, ns_t_mx, answer, sizeof answer);
    ns_msg message;
    if (length > 0 && ns_initparse(answer, length, &message) == 0 &&
        ns_msg_count(message, ns_s_an) > 0)
        return domains_[domain] = std::string();
    return domains_[domain] = Resolve(domain);
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
    if (record.bUseSmtpServer) {
        const std::optional<std::string> host = MailServerHost(record.strSmtpServer);
        if (!host)
            Found(record, "메일 서버를 읽을 수 없습니다: \"" + record.strSmtpServer + "\"");
        else if (const std::string& problem = Resolve(*host); !problem.empty())
            Found(record, "메일 서버를 찾을 수 없습니다: " + *host + " (" + problem + ")");
        return;
    }
    // Straight to each recipient's mail exchanger.
    std::string_view list = record.strMailReceiveList;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(';'), list.size());
        std::string_view token = list.substr(0, end);
        list.remove_prefix(std::min(end + 1, list.size()));
        const std::size_t at = token.rfind('@');
        if (at == std::string_view::npos || at == 0)
            continue;
        std::string_view domain = token.substr(at + 1);
        while (!domain.empty() &&
               (domain.back() == ' ' || domain.back() == '\t' || domain.back() == '>'))
            domain.remove_suffix(1);
        if (domain.empty())
            continue;
        if (const std::string& problem = ResolveMailDomain(std::string(domain)); !problem.empty())
            Found(record, "수신자의 메일 서버를 찾을 수 없습니다: " + std::string(domain) + " (" +
                              problem + ")");
    }
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

} // namespace

std::vector<std::string> CheckFolder(const std::string& dataFolder)
{
    FolderCheck check(dataFolder);
    Settings settings;
    std::vector<std::string> problems;
    ReadSettings(JoinPath(dataFolder, kSettingsFileName), settings, problems);
    for (const std::string& problem : problems)
        check.Add(std::string(kSettingsFileName) + ": " + problem);
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
        if (record->bEnabled)
            check.Item(*record, settings);
    return std::move(check.Findings());
}

int CheckCommand(const std::string& dataFolder)
{
    const std::vector<std::string> findings = CheckFolder(dataFolder);
    for (const std::string& finding : findings)
        std::printf("%s\n", finding.c_str());
    if (findings.empty())
        std::printf("문제 없음\n");
    else
        std::printf("문제 %zu건\n", findings.size());
    return findings.empty() ? 0 : 1;
}

} // namespace veltrane
