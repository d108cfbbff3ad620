// CheckMailLogin: a session that goes as far as the login and no further,
// for trying an item's mail route before the night it is needed.
#include "mail_clock.h"
#include "sendwick.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <exception>

extern "C" SENDWICK_API int CheckMailLogin(const char* server, const char* user,
                                           const char* password, const char* from,
                                           const char* logPath, char* buffer, int bufferSize)
{
    const auto text = [](const char* t) { return t != nullptr ? std::string(t) : std::string(); };
    std::string reason;
    try {
        sendwick::SystemMailClock clock;
        sendwick::SessionSettings settings;
        settings.clock = &clock;
        settings.loginOnly = true;
        const sendwick::ServerLogin login{text(server), text(user), text(password)};
        const sendwick::MailRequest request{text(from), "TEXT", {}, {}, {}, text(logPath)};
        // The session's envelope names the sender on both sides: no one is
        // mailed, and the address is checked as the sender's is.
        std::string sender = request.from;
        if (const std::size_t open = sender.rfind('<'); open != std::string::npos)
            sender = sender.substr(open + 1, sender.find('>', open) - open - 1);
        sendwick::SendReport report;
        if (!sendwick::SendToRecipientViaSMTP(login, request, sender, settings, &report))
            reason = report.failure.empty() ? "the login was not tried" : report.failure;
        else if (!report.warning.empty())
            reason = report.warning;
    } catch (const std::exception& e) {
        reason = std::string("the check failed inside the library: ") + e.what();
    } catch (...) {
        reason = "the check failed inside the library";
    }
    if (buffer != nullptr && bufferSize > 0) {
        const std::size_t copied =
            std::min(reason.size(), static_cast<std::size_t>(bufferSize) - 1);
        std::memcpy(buffer, reason.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(std::min<std::size_t>(reason.size(), 1 << 30));
}
