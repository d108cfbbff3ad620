// The library's entry points. Everything behind them is C++; nothing of it
// may cross into the caller, so every exception stops here as a 0. What the
// calling thread's last send left to tell waits for GetLastMailError.
#include "mail_clock.h"
#include "route_check.h"
#include "sendwick.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>

namespace {

// This thread's last SendMail or SendMailViaSMTP: why it failed, whether a
// password went in clear and whether its log could not be written; empty
// when none of these.
thread_local std::string lastReport;

// Keeps the call's report for GetLastMailError, as one line of at most a
// few hundred bytes. Whatever happens here, the call's answer stands.
int Finish(int result, sendwick::SendReport& report) noexcept
{
    constexpr std::size_t kMaxReportBytes = 500;
    try {
        if (result == 0 && report.failure.empty())
            report.failure = "the mail was not sent";
        const std::string text = report.Text();
        lastReport.assign(text, 0, std::min(text.size(), kMaxReportBytes));
        for (char& c : lastReport) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = ' ';
        }
    } catch (...) {
        lastReport.clear();
    }
    return result;
}

void Unexpected(sendwick::SendReport& report, const char* what) noexcept
{
    try {
        report.failure = std::string("unexpected failure inside the library: ") + what;
    } catch (...) {
    }
}

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

// Copies `text` into the caller's buffer, cut to fit; its whole length.
int CopyOut(std::string_view text, char* buffer, int bufferSize) noexcept
{
    if (buffer != nullptr && bufferSize > 0) {
        const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(bufferSize) - 1);
        std::memcpy(buffer, text.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(std::min<std::size_t>(text.size(), 1 << 30));
}

// The findings of CheckRoute, one line each, or the reason the check itself
// failed.
int CheckOut(const sendwick::ServerLogin* login, const char* from, const char* recipients,
             char* buffer, int bufferSize) noexcept
{
    std::string text;
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        for (const std::string& line :
             sendwick::CheckRoute(login, Text(from), Text(recipients), settings))
            text.append(text.empty() ? "" : "\n").append(line);
    } catch (const std::exception& e) {
        text = std::string("the check failed inside the library: ") + e.what();
    } catch (...) {
        text = "the check failed inside the library";
    }
    return CopyOut(text, buffer, bufferSize);
}

} // namespace

extern "C" SENDWICK_API int SendMail(const char* from, const char* recipients, const char* bodyType,
                                     const char* subject, const char* body, const char* attachments,
                                     const char* logPath)
{
    sendwick::SendReport report;
    int result = 0;
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        auto request = MakeRequest(from, bodyType, subject, body, attachments, logPath);
        result = sendwick::SendToEachRecipient(Text(recipients), [&](const std::string& token) {
            return sendwick::SendToRecipient(request, token, settings, &report);
        });
    } catch (const std::exception& e) {
        Unexpected(report, e.what());
    } catch (...) {
        Unexpected(report, "unknown exception");
    }
    return Finish(result, report);
}

extern "C" SENDWICK_API int SendMailViaSMTP(const char* server, const char* user,
                                            const char* password, const char* from,
                                            const char* recipients, const char* bodyType,
                                            const char* subject, const char* body,
                                            const char* attachments, const char* logPath)
{
    sendwick::SendReport report;
    int result = 0;
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        sendwick::ServerLogin login{Text(server), Text(user), Text(password)};
        auto request = MakeRequest(from, bodyType, subject, body, attachments, logPath);
        result = sendwick::SendToEachRecipient(Text(recipients), [&](const std::string& token) {
            return sendwick::SendToRecipientViaSMTP(login, request, token, settings, &report);
        });
    } catch (const std::exception& e) {
        Unexpected(report, e.what());
    } catch (...) {
        Unexpected(report, "unknown exception");
    }
    return Finish(result, report);
}

extern "C" SENDWICK_API int GetLastMailError(char* buffer, int bufferSize)
{
    return CopyOut(lastReport, buffer, bufferSize);
}

extern "C" SENDWICK_API int CheckMail(const char* from, const char* recipients, char* buffer,
                                      int bufferSize)
{
    return CheckOut(nullptr, from, recipients, buffer, bufferSize);
}

extern "C" SENDWICK_API int CheckMailViaSMTP(const char* server, const char* from,
                                             const char* recipients, char* buffer, int bufferSize)
{
    try {
        const sendwick::ServerLogin login{Text(server), {}, {}};
        return CheckOut(&login, from, recipients, buffer, bufferSize);
    } catch (...) {
        return CopyOut("the check failed inside the library", buffer, bufferSize);
    }
}
