#include "report/result_mail.h"

#include "platform/codepage.h"
#include "platform/job_error.h"
#include "platform/library_binder.h"
#include "platform/program_folder.h"
#include "platform/yielding_call.h"

#include <utility>

namespace veltrane {
namespace {

using SendMailFn = int(const char*, const char*, const char*, const char*, const char*, const char*,
                       const char*);
using SendMailViaSmtpFn = int(const char*, const char*, const char*, const char*, const char*,
                              const char*, const char*, const char*, const char*, const char*);

using GetLastMailErrorFn = int(char*, int);

constexpr const char* kBodyType = "HTML";
constexpr int kReasonBytes = 1024;

// The library's call that tells the calling thread's last reason; null for
// an older library without it.
GetLastMailErrorFn* ReasonCall(LibraryBinder& library)
{
    try {
        return library.EntryAs<GetLastMailErrorFn>("GetLastMailError");
    } catch (const JobError&) {
        return nullptr;
    }
}

std::string ReasonFrom(GetLastMailErrorFn* lastError)
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
    // The reason is the calling thread's: it is asked for on the thread that
    // made the call.
    using Result = std::pair<int, std::string>;
    try {
        const std::string sender = cp949::FromUtf8(
            mail.sender.empty() ? DefaultSender(mail.smtpUser, mail.smtpServer) : mail.sender);
        const std::string recipients = cp949::FromUtf8(mail.recipients);
        const std::string subject = cp949::FromUtf8(mail.subject);
        const std::string body = cp949::FromUtf8(mail.body);
        const std::string attachments = mail.attachments;
        const std::string logPath = JoinPath(context.programFolder, kMailLogFileName);
        Result result{0, {}};
        GetLastMailErrorFn* const lastError = ReasonCall(context.library);
        if (mail.useSmtpServer) {
            auto* send = context.library.EntryAs<SendMailViaSmtpFn>("SendMailViaSMTP");
            const std::string server = cp949::FromUtf8(mail.smtpServer);
            const std::string user = cp949::FromUtf8(mail.smtpUser);
            const std::string password = cp949::FromUtf8(mail.smtpPassword);
            result = CallWhileYielding(
                [&] {
                    const int sent =
                        send(server.c_str(), user.c_str(), password.c_str(), sender.c_str(),
                             recipients.c_str(), kBodyType, subject.c_str(), body.c_str(),
                             attachments.c_str(), logPath.c_str());
                    return Result{sent, ReasonFrom(lastError)};
                },
                context.yield);
        } else {
            auto* send = context.library.EntryAs<SendMailFn>("SendMail");
            result = CallWhileYielding(
                [&] {
                    const int sent =
                        send(sender.c_str(), recipients.c_str(), kBodyType, subject.c_str(),
                             body.c_str(), attachments.c_str(), logPath.c_str());
                    return Result{sent, ReasonFrom(lastError)};
                },
                context.yield);
        }
        return {result.first != 0, result.second};
    } catch (const JobError& e) {
        context.showMessage(e.description());
        return {false, e.description()};
    } catch (const std::exception& e) {
        context.showMessage(e.what());
        return {false, e.what()};
    }
}

} // namespace veltrane
