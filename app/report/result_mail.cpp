#include "report/result_mail.h"

#include "platform/codepage.h"
#include "platform/library_binder.h"
#include "platform/program_folder.h"
#include "platform/yielding_call.h"
#include "sendwick.h"

#include <utility>

namespace veltrane {
namespace {

constexpr const char* kBodyType = "HTML";
constexpr int kReasonBytes = 1024;

// The library's call that tells the calling thread's last reason; null for
// an older library without it.
GetLastMailErrorProc ReasonCall(LibraryBinder& library)
{
    const Result<GetLastMailErrorProc> call =
        library.EntryAs<GetLastMailErrorProc>("GetLastMailError");
    return call ? *call : nullptr;
}

std::string ReasonFrom(GetLastMailErrorProc lastError)
{
    char reason[kReasonBytes] = {};
    if (lastError == nullptr || lastError(reason, sizeof reason) <= 0)
        return {};
    return cp949::ToUtf8(reason);
}

} // namespace

RecipientCheck CheckRecipients(const std::string& recipients)
{
    RecipientCheck check;
    std::size_t start = 0;
    while (start <= recipients.size()) {
        std::size_t end = recipients.find(';', start);
        if (end == std::string::npos)
            end = recipients.size();
        const std::string token = recipients.substr(start, end - start);
        if (token.find_first_not_of(" \t") != std::string::npos) {
            check.anyRecipient = true;
            const std::size_t at = token.find('@');
            if (at != std::string::npos && at >= 1)
                check.anyAddress = true;
            else
                check.notAddresses.push_back(token);
        }
        start = end + 1;
    }
    return check;
}

std::string DefaultSender(const std::string& smtpUser, const std::string& smtpServer)
{
    // The server's host name only: a scheme ("smtps://") or a port (":587")
    // of the server text is no part of a mail address.
    std::string_view host = smtpServer;
    if (const std::size_t scheme = host.find("://"); scheme != std::string_view::npos)
        host.remove_prefix(scheme + 3);
    host = host.substr(0, host.find(':'));
    std::string sender = "Veltrane <";
    sender.append(smtpUser).append("@").append(host).append(">");
    return sender;
}

MailOutcome SendResultMail(const ResultMail& mail, const MailContext& context)
{
    const std::string sender = cp949::FromUtf8(
        mail.sender.empty() ? DefaultSender(mail.smtpUser, mail.smtpServer) : mail.sender);
    const std::string recipients = cp949::FromUtf8(mail.recipients);
    const std::string subject = cp949::FromUtf8(mail.subject);
    const std::string body = cp949::FromUtf8(mail.body);
    const std::string& attachments = mail.attachments;
    const std::string logPath = JoinPath(context.programFolder, kMailLogFileName);
    // A library or entry point that cannot be found is the operator's to
    // hear of, and a mail not sent.
    const auto missing = [&context](const Error& error) {
        context.showMessage(error.description);
        return MailOutcome{false, error.description};
    };
    // The reason is the calling thread's: it is asked for on the thread that
    // made the call.
    const GetLastMailErrorProc lastError = ReasonCall(context.library);
    if (mail.useSmtpServer) {
        const Result<SendMailViaSMTPProc> send =
            context.library.EntryAs<SendMailViaSMTPProc>("SendMailViaSMTP");
        if (!send)
            return missing(send.error());
        const std::string server = cp949::FromUtf8(mail.smtpServer);
        const std::string user = cp949::FromUtf8(mail.smtpUser);
        const std::string password = cp949::FromUtf8(mail.smtpPassword);
        return CallWhileYielding(
            [&] {
                const int sent =
                    (*send)(server.c_str(), user.c_str(), password.c_str(), sender.c_str(),
                            recipients.c_str(), kBodyType, subject.c_str(), body.c_str(),
                            attachments.c_str(), logPath.c_str());
                return MailOutcome{sent != 0, ReasonFrom(lastError)};
            },
            context.yield);
    }
    const Result<SendMailProc> send = context.library.EntryAs<SendMailProc>("SendMail");
    if (!send)
        return missing(send.error());
    return CallWhileYielding(
        [&] {
            const int sent = (*send)(sender.c_str(), recipients.c_str(), kBodyType, subject.c_str(),
                                     body.c_str(), attachments.c_str(), logPath.c_str());
            return MailOutcome{sent != 0, ReasonFrom(lastError)};
        },
        context.yield);
}

} // namespace veltrane
