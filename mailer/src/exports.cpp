// The library's two entry points. Everything behind them is C++; nothing of
// it may cross into the caller, so every exception stops here as a 0.
#include "mail_clock.h"
#include "sendwick.h"
#include "session.h"

namespace {

std::string Text(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

sendwick::MailRequest MakeRequest(const char* from, const char* bodyType, const char* subject,
                                  const char* body, const char* attachments, const char* logPath)
{
    return {Text(from), Text(bodyType),    Text(subject),
            Text(body), Text(attachments), Text(logPath)};
}

} // namespace

extern "C" SENDWICK_API int SendMail(const char* from, const char* recipients, const char* bodyType,
                                     const char* subject, const char* body, const char* attachments,
                                     const char* logPath)
{
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        auto request = MakeRequest(from, bodyType, subject, body, attachments, logPath);
        return sendwick::SendToEachRecipient(
            Text(recipients),
            [&](const std::string& token) {
                return sendwick::SendToRecipient(request, token, settings);
            },
            clock);
    } catch (...) {
        return 0;
    }
}

extern "C" SENDWICK_API int SendMailViaSMTP(const char* server, const char* user,
                                            const char* password, const char* from,
                                            const char* recipients, const char* bodyType,
                                            const char* subject, const char* body,
                                            const char* attachments, const char* logPath)
{
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        sendwick::ServerLogin login{Text(server), Text(user), Text(password)};
        auto request = MakeRequest(from, bodyType, subject, body, attachments, logPath);
        return sendwick::SendToEachRecipient(
            Text(recipients),
            [&](const std::string& token) {
                return sendwick::SendToRecipientViaSMTP(login, request, token, settings);
            },
            clock);
    } catch (...) {
        return 0;
    }
}
