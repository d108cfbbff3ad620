#pragma once

#include "mail_clock.h"
#include "mx_lookup.h"
#include "transport.h"

#include <chrono>
#include <functional>
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

// The hosts that take the mail for a domain, in the order to try them.
using ExchangerLookup = std::function<MailHosts(const std::string& domain)>;

// The library has one fixed host redirect: a session whose target host is
// exactly (case-sensitively) RedirectFromHost goes to RedirectToHost.
inline constexpr const char* RedirectFromHost = "mx.example.net";
inline constexpr const char* RedirectToHost = "relay.example.net";
std::string ApplyHostRedirect(const std::string& host);

// How sessions reach and wait for their peers. The defaults are the
// library's; tests point `port` and `lookupExchanger` at their own servers
// and shorten the waits.
//
// The waits are those RFC 5321 4.5.3.2 asks a client for, which real servers
// are built to meet: a greeting delayed against spam bots (postscreen waits
// 6 s, others longer), a recipient check that asks another server, a content
// check after the message. Only the whole session is bounded more tightly,
// so that no peer, however slowly it answers or takes the message, holds a
// run for longer than `sessionTimeout` per recipient.
struct SessionSettings
{
    const MailClock* clock = nullptr; // required
    // The exchanger's port, and a named server's when its text gives none.
    int port = 25;
    ExchangerLookup lookupExchanger; // empty: the system resolver
    // Each address that is tried.
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds greetingTimeout{std::chrono::minutes(5)}; // 4.5.3.2.1
    // MAIL and RCPT (4.5.3.2.2, 4.5.3.2.3), and every other command.
    std::chrono::milliseconds replyTimeout{std::chrono::minutes(5)};
    std::chrono::milliseconds dataTimeout{std::chrono::minutes(2)};       // 4.5.3.2.4
    std::chrono::milliseconds endOfDataTimeout{std::chrono::minutes(10)}; // 4.5.3.2.6
    // The whole TLS handshake, like the wait for a server's greeting.
    std::chrono::milliseconds tlsHandshakeTimeout{std::chrono::minutes(5)};
    // How long a peer may take no data at all while a command or the message
    // is being sent (4.5.3.2.5).
    std::chrono::milliseconds sendStallTimeout{std::chrono::minutes(3)};
    // Everything from looking up the server to the reply to QUIT.
    std::chrono::milliseconds sessionTimeout{std::chrono::minutes(15)};
    // Put around every session's transport once connected (tests inject
    // faults with it); empty: none.
    TransportWrapper wrapTransport;
    // Told every change of a session's state ("Greeting -> Ehlo"); empty:
    // nobody is.
    std::function<void(std::string_view)>
        traceState; // The session ends after the greeting and the login, with QUIT: it
    // tries the route (connection, STARTTLS, credentials) and sends no mail.
    // Its closing entry is "LOGIN OK sender --> recipient".
    bool loginOnly = false;
};

// What the sessions of one call leave for the caller beyond 1 or 0 (behind
// GetLastMailError). Each part is kept the first time it occurs.
struct SendReport
{
    // "recipient: reason" of the session that failed.
    std::string failure;
    // That a password went to the server in clear, even while mail went out:
    // "password sent in clear to host:25 (no STARTTLS offered)".
    std::string warning;
    // Why the session log could not be written, even while mail went out.
    std::string logError;

    // The parts there are, in that order, joined by "; "; empty when none.
    std::string Text() const;
};

// Every session ends its log entries with exactly one closing entry, however
// it ends: "SEND OK sender --> recipient", or "SEND ERROR sender -->
// recipient : reason" ("SEND ERROR sender --> recipient" alone when the
// server cannot be found or reached, after an entry for each host or address
// that failed). `report`, when given, gains the reason of a failure, a
// password sent in clear, and a log that cannot be written.

// Delivers to the mail exchangers of the recipient's domain (behind
// SendMail): each address of each exchanger in order of preference, or the
// domain's own addresses without MX records, until one greets with 220.
bool SendToRecipient(const MailRequest& request, const std::string& recipientToken,
                     const SessionSettings& settings, SendReport* report = nullptr);

// Delivers through the named server after logging in (behind SendMailViaSMTP):
// AUTH LOGIN, or over TLS AUTH PLAIN when the server offers PLAIN but not
// LOGIN. Where TLS is required (port 587, 465, a scheme) the session fails,
// with the reason in the log, when the server offers no STARTTLS, sends bytes
// in clear after its STARTTLS reply, or its certificate is not trusted for
// the host. On any other port the session takes STARTTLS when the server
// offers it, with the same checks, and fails the same way when they fail;
// only when the server offers no STARTTLS does the login go in clear, as it
// always has, with a warning in the log and the report.
bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings,
                            SendReport* report = nullptr);

// Runs `session` for every ";"-separated recipient token in order, one after
// the other with no pause: each session has ended its dialogue with QUIT
// before the next connects. Returns 0 at the first failure (the rest are not
// tried), 1 when all succeeded or the list holds no token.
int SendToEachRecipient(const std::string& recipients,
                        const std::function<bool(const std::string& token)>& session);

} // namespace sendwick
