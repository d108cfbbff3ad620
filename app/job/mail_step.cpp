#include "job/mail_step.h"

#include "job/export_texts.h"
#include "platform/disk_space.h"
#include "platform/file_io.h"
#include "platform/private_files.h"
#include "platform/program_folder.h"
#include "report/result_mail.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr const char* kFailureMailSent = "실패메일전송 성공";
constexpr const char* kFailureMailFailed = "실패메일전송 실패";
constexpr const char* kMailSent = "백업결과 메일전송 성공";
constexpr const char* kMailFailed = "백업결과 메일전송 실패";
// A failure mail's subject ends with what failed: the backup, or a step after
// a good one.
const char* FailureSubjectEnd(ReportKind kind)
{
    switch (kind) {
    case ReportKind::kCompressFailed:
        return "압축 실패.";
    case ReportKind::kUploadFailed:
        return "전송 실패.";
    default:
        return "실패.";
    }
}

// The attachments as the mail library takes them, one ";"-separated text.
// A path that holds a ";" would be split in two: it goes by a link, in this
// user's private folder, whose name has "_" for each ";". A log too large to
// mail goes by a copy of its tail under its own name. What is made goes with
// the object.
class Attachments
{
public:
    Attachments(const std::string& folder, const std::vector<std::string>& paths)
    {
        for (const std::string& path : paths) {
            std::string name = path;
            struct stat st
            {};
            const bool large = stat(path.c_str(), &st) == 0 &&
                               static_cast<std::uintmax_t>(st.st_size) > kLargestAttachment;
            if ((large || path.find(';') != std::string::npos) && !folder.empty())
                name = StandIn(folder, path, large ? static_cast<std::uintmax_t>(st.st_size) : 0);
            if (!joined_.empty())
                joined_ += ';';
            joined_ += name;
        }
    }
    ~Attachments()
    {
        for (const std::string& made : made_) {
            unlink(made.c_str());
            rmdir(FolderOfPath(made).c_str());
        }
    }
    Attachments(const Attachments&) = delete;
    Attachments& operator=(const Attachments&) = delete;

    const std::string& Joined() const { return joined_; }

private:
    // A link to `path` (or, with `size`, a copy of its tail) in a folder of
    // its own; `path` itself when it cannot be made.
    std::string StandIn(const std::string& folder, const std::string& path, std::uintmax_t size)
    {
        std::string base = FileNameOf(path);
        std::replace(base.begin(), base.end(), ';', '_');
        std::string own = JoinPath(folder, "mail-XXXXXX");
        if (mkdtemp(own.data()) == nullptr)
            return path;
        const std::string name = JoinPath(own, base);
        const bool made =
            size == 0 ? symlink(path.c_str(), name.c_str()) == 0 : CopyTail(path, name, size);
        if (!made) {
            unlink(name.c_str());
            rmdir(own.c_str());
            return path;
        }
        made_.push_back(name);
        return name;
    }

    static bool CopyTail(const std::string& path, const std::string& copy, std::uintmax_t size)
    {
        const Result<int> opened = OpenRegularFile(path, O_RDONLY);
        const int in = opened ? *opened : -1;
        const int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        bool ok = in >= 0 && out >= 0;
        if (ok) {
            const std::string note = "... (" + std::to_string(size - kAttachedTailBytes) +
                                     " bytes left out: the log is in the backup folder)\r\n";
            std::string tail(kAttachedTailBytes, '\0');
            const ssize_t got =
                pread(in, tail.data(), tail.size(), static_cast<off_t>(size - kAttachedTailBytes));
            ok = got > 0;
            if (ok) {
                tail.resize(static_cast<std::size_t>(got));
                ok = write(out, note.data(), note.size()) == static_cast<ssize_t>(note.size()) &&
                     write(out, tail.data(), tail.size()) == got;
            }
        }
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        return ok;
    }

    std::string joined_;
    std::vector<std::string> made_;
};

} // namespace

std::string ReportSubject(const ScheduleRecord& record, const std::string& end)
{
    return "[DB Backup : " + record.strID + "@" + record.strServiceName + "]" + end;
}

ResultMail MailRouteOf(const ScheduleRecord& record)
{
    ResultMail mail;
    mail.recipients = record.strMailReceiveList;
    mail.useSmtpServer = record.bUseSmtpServer;
    mail.smtpUser = record.strSmtpUserID;
    mail.smtpPassword = record.strSmtpUserPassword;
    mail.smtpServer = record.strSmtpServer;
    return mail;
}

std::string SendReportMail(RunEnvironment& env, const ScheduleRecord& record,
                           const ReportMail& report)
{
    const RecipientCheck check = CheckRecipients(record.strMailReceiveList);
    if (!check.anyRecipient)
        return {}; // the operator wants no mail
    bool sent = true;
    std::string reason;
    if (check.anyAddress) {
        ResultMail mail = MailRouteOf(record);
        mail.subject = report.subject;
        mail.body = report.body;
        const Result<std::string> folder = SecretFolder(env.DataFolder());
        const Attachments attachments(folder ? *folder : std::string(), report.attachments);
        mail.attachments = attachments.Joined();
        RunObserver& observer = env.Observer();
        MailContext context{env.MailLibrary(), env.DataFolder(),
                            [&observer](const std::string& text) { observer.Message(text, false); },
                            [&observer] { observer.Idle(); }};
        const MailOutcome outcome = SendResultMail(mail, context);
        sent = outcome.sent;
        reason = CutToCharacters(outcome.reason, kCauseCharacters);
    }
    std::string line = record.strServiceName;
    line += sent && check.notAddresses.empty() ? report.sentText : report.failedText;
    std::string notAddresses;
    for (const std::string& token : check.notAddresses)
        notAddresses += (notAddresses.empty() ? "주소가 아닌 수신자: \"" : " \"") + token + "\"";
    if (!notAddresses.empty())
        line += " (" + notAddresses + ")";
    // Why it failed; or, beside a mail that went out, what the operator
    // should still hear of (the login went in clear, the session log could
    // not be written).
    if (!reason.empty())
        line += sent ? " (경고: " + reason + ")" : ": " + reason;
    env.WriteLine(line);
    std::string failure;
    if (!sent)
        failure = "메일전송 실패" + (reason.empty() ? std::string() : ": " + reason);
    if (!notAddresses.empty())
        failure += (failure.empty() ? "" : "; ") + notAddresses;
    return failure;
}

ResultReport ReportFor(RunEnvironment& env, const ScheduleRecord& record, ReportKind kind)
{
    ResultReport report;
    report.kind = kind;
    report.serviceName = record.strServiceName;
    report.userName = record.strID;
    report.description = record.strDescription;
    // Measured now, as the mail goes: what the next run will have to write in.
    if (const Result<std::string> folder = ItemFolderOf(record, env.DataFolder()))
        if (const std::optional<std::uint64_t> bytes = FreeBytesAt(*folder))
            report.freeSpace = SizeText(static_cast<std::int64_t>(*bytes));
    return report;
}

std::string MailSuccess(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                        const std::string& warning)
{
    ResultReport report =
        ReportFor(env, record, warning.empty() ? ReportKind::kSuccess : ReportKind::kWarning);
    report.time = files.runStamp;
    report.dumpPath = files.DumpSetName(true);
    report.warning = warning;
    // The export's size and length, as its result line gives them, when
    // the history tells of this run.
    const ItemHistory& history = record.history;
    if (history.lastSuccessTime == files.runStamp && !files.runStamp.empty()) {
        report.dumpSize = SizeText(history.lastSuccessBytes);
        report.runLength = RunLengthText(history.lastRunSeconds);
    }
    return SendReportMail(env, record,
                          {ReportSubject(record, "완료."),
                           BuildResultReportHtml(report),
                           {files.log},
                           kMailSent,
                           kMailFailed});
}

void MailFailure(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                 const std::string& cause, std::vector<std::string> attachments, ReportKind kind)
{
    // The subject's end and the page's headline name the same failure. The
    // dump is shown when the run left one (a failed export's is deleted;
    // after a failed read-back, compression or upload it stays).
    ResultReport report = ReportFor(env, record, kind);
    report.time = files.runStamp;
    report.cause = cause;
    report.hint = FailureHint(cause);
    // A failed backup tells how long the item has been failing and where the
    // last good backup is; a later step's failure left a good backup.
    if (kind == ReportKind::kFailure) {
        const ItemHistory& history = record.history;
        if (history.failuresInARow > 0)
            report.failuresInARow = std::to_string(history.failuresInARow) + "회";
        report.lastSuccess =
            history.lastSuccessTime.empty() ? std::string("없음") : history.lastSuccessTime;
        if (!history.lastSuccessTime.empty() && !history.lastSuccessDump.empty())
            report.lastSuccess += " (" + history.lastSuccessDump + ")";
    }
    if (!files.dump.empty() && !files.DumpPieces().empty())
        report.dumpPath = files.DumpSetName(true);
    // The log of the last run goes with it when there is one.
    if (attachments.empty() && !files.log.empty() && PathExists(files.log))
        attachments.push_back(files.log);
    SendReportMail(env, record,
                   {ReportSubject(record, FailureSubjectEnd(kind)), BuildResultReportHtml(report),
                    std::move(attachments), kFailureMailSent, kFailureMailFailed});
}

} // namespace veltrane
