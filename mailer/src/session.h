#pragma once

#include "mail_clock.h"
#include "transport.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// One SMTP session per recipient, and the loop over the recipient list.
namespace sendwick {

// The arguments of an exported call that every recipient's session shares.
struct MailRequest
{
    std::string from; // sender mailbox text
    std::string bodyType;
    std::string subject;
    std::string body;
    std::string attachments; // paths separated by ";"
    std::string logPath;     // empty: no log
};

// The server and login of SendMailViaSMTP.
struct ServerLogin
{
    std::string server; // server text: see ParseServerText (server_address.h)
    std::string user;
    std::string password;
};

using ExchangerLookup = std::function<std::optional<std::string>(const std::string& domain)>;

// The library has one fixed host redirect: a session whose target host is
// exactly (case-sensitively) RedirectFromHost goes to RedirectToHost.
inline constexpr const char* RedirectFromHost = "mx.example.net";
inline constexpr const char* RedirectToHost = "relay.example.net";
std::string ApplyHostRedirect(const std::string& host);

// How sessions reach and wait for their peers. The defaults are the
// library's; tests point `port` and `lookupExchanger` at their own servers.
struct SessionSettings
{
    const MailClock* clock = nullptr; // required
    // The exchanger's port, and a named server's when its text gives none.
    int port = 25;
    ExchangerLookup lookupExchanger; // empty: the system resolver
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds directGreetingTimeout{4000};
    std::chrono::milliseconds serverGreetingTimeout{3000};
    std::chrono::milliseconds replyTimeout{2000};
    // The whole TLS handshake, like the wait for a server's greeting.
    std::chrono::milliseconds tlsHandshakeTimeout{3000};
    // How long a peer may take no data at all while a command is being sent.
    std::chrono::milliseconds sendStallTimeout{30000};
    // Put around every session's transport once connected (tests inject
    // faults with it); empty: none.
    TransportWrapper wrapTransport;
    // Told every change of a session's state ("Greeting -> Ehlo"); empty:
    // nobody is.
    std::function<void(std::string_view)> traceState;
};

// What the sessions of one call leave for the caller beyond 1 or 0 (behind
// GetLastMailError). Each part is kept the first time it occurs.
struct SendReport
{
    // "recipient: reason" of the session that failed.
    std::string failure;
    // Why the session log could not be written, even while mail went out.
    std::string logError;

    // Both parts, joined by "; " when there are two; empty when neither.
    std::string Text() const;
};

// Every session ends its log entries with exactly one closing entry, however
// it ends: "SEND OK sender --> recipient", or "SEND ERROR sender -->
// recipient : reason" ("SEND ERROR sender --> recipient" alone when the
// server cannot be found or reached). `report`, when given, gains the
// reason of a failure and of a log that cannot be written.

// Delivers to the mail exchanger of the recipient's domain (behind SendMail).
bool SendToRecipient(const MailRequest& request, const std::string& recipientToken,
                     const SessionSettings& settings, SendReport* report = nullptr);

// Delivers through the named server after logging in (behind SendMailViaSMTP):
// AUTH LOGIN, or over TLS AUTH PLAIN when the server offers PLAIN but not
// LOGIN. Over TLS the session fails, with the reason in the log, when the
// server offers no STARTTLS, sends bytes in clear after its STARTTLS reply, or
// its certificate is not trusted for the host.
bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings,
                            SendReport* report = nullptr);

// Runs `session` for every ";"-separated recipient token in order, pausing
// 500 ms after each success. Returns 0 at the first failure (the rest are not
// tried), 1 when all succeeded or the list holds no token.
int SendToEachRecipient(const std::string& recipients,
                        const std::function<bool(const std::string& token)>& session,
                        const MailClock& clock);

} // namespace sendwick
