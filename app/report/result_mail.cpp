#include "report/result_mail.h"

#include "platform/codepage.h"
#include "platform/library_binder.h"
#include "platform/program_folder.h"
#include "platform/yielding_call.h"
#include "sendwick.h"

#include <algorithm>
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

// The sender as the library gets it: the mail's own, else the default.
std::string SenderOf(const ResultMail& mail)
{
    return cp949::FromUtf8(mail.sender.empty() ? DefaultSender(mail.smtpUser, mail.smtpServer)
                                               : mail.sender);
}

} // namespace

std::vector<std::string> CheckResultMail(const ResultMail& mail, LibraryBinder& library)
{
    const std::string sender = SenderOf(mail);
    const std::string recipients = cp949::FromUtf8(mail.recipients);
    const std::string server = cp949::FromUtf8(mail.smtpServer);
    // Called twice at most: once more when the findings did not fit.
    const auto ask = [&](auto call) -> std::vector<std::string> {
        std::string text(1024, '\0');
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int length = call(text.data(), static_cast<int>(text.size()));
            if (length < static_cast<int>(text.size())) {
                text.resize(static_cast<std::size_t>(std::max(length, 0)));
                break;
            }
            text.assign(static_cast<std::size_t>(length) + 1, '\0');
        }
        std::vector<std::string> findings;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            findings.push_back(cp949::ToUtf8(text.substr(at, end - at)));
            at = end + 1;
        }
        return findings;
    };
    if (mail.useSmtpServer) {
        const Result<CheckMailViaSMTPProc> check =
            library.EntryAs<CheckMailViaSMTPProc>("CheckMailViaSMTP");
        if (!check)
            return {check.error().description};
        return ask([&](char* buffer, int size) {
            return (*check)(server.c_str(), sender.c_str(), recipients.c_str(), buffer, size);
        });
    }
    const Result<CheckMailProc> check = library.EntryAs<CheckMailProc>("CheckMail");
    if (!check)
        return {check.error().description};
    return ask([&](char* buffer, int size) {
        return (*check)(sender.c_str(), recipients.c_str(), buffer, size);
    });
}

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
    const std::string sender = SenderOf(mail);
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
