#pragma once

// One SMTP session as an explicit state machine: it connects, greets, logs
// in where it goes through a server, hands over one message to one
// recipient and says QUIT, writing every step to the session log.
// session.cpp runs the dialogue; session_connect.cpp finds and reaches the
// hosts and upgrades a connection to TLS.

#include "compose.h"
#include "connection.h"
#include "dialogue.h"
#include "mail_log.h"
#include "server_address.h"
#include "session.h"

#include <string>
#include <vector>

namespace sendwick::smtp {

class Session
{
public:
    Session(Route route, const ServerLogin* login, const MailRequest& request,
            const std::string& token, const SessionSettings& settings, SendReport* report)
        : route_(route), login_(login), request_(request), token_(token), settings_(settings),
          report_(report)
    {}

    bool Run();

private:
    using Clock = std::chrono::steady_clock;

    // Everything from the first log entry to the closing one.
    void Converse();
    // Writes one entry; the log writes out any control byte in it.
    void Log(std::string_view text, EntryEnd end = EntryEnd::Line) const;
    void LogReply(const Reply& reply) const;
    std::string Envelope() const;
    // Ends the session with its closing entry, "SEND ERROR sender -->
    // recipient : reason" (without `logReason` the plain "SEND ERROR sender
    // --> recipient" of a server that cannot be found or reached), and keeps
    // the reason for the caller.
    State FailWith(std::string_view reason, bool logReason = true);
    // The hosts to try and the port and security to use; false when the
    // session has failed already.
    bool FindHosts();
    void Enter(State next);
    Step StepFor(State state);
    State NextAfter(State state, const Reply& reply);
    State Connect();
    bool MoreAddresses() const;
    // Moves on to the next address.
    void NextAddress();
    void Unreachable(const std::string& reason);
    State AfterHello();
    State UpgradeTls();
    void WarnLoginInClear();
    std::string WhyNot(State state, const Reply& reply, std::chrono::milliseconds timeout) const;

    Route route_;
    const ServerLogin* login_;
    const MailRequest& request_;
    const std::string& token_;
    const SessionSettings& settings_;
    SendReport* report_;
    // The closing entry is written (once), and it was "SEND OK".
    bool closed_ = false;
    bool sent_ = false;
    Mailbox sender_;
    Mailbox recipient_;
    std::string greetingDomain_;
    ZonedTime date_;
    // The text after DATA, built before the first connection.
    std::string message_;
    // When the whole session must be over.
    Transport::Deadline deadline_;
    // The port and security, and the host now tried (after the redirect).
    ServerAddress target_;
    // The hosts to try in turn, the next one's index, the addresses of the
    // current one and the index of the one tried.
    std::vector<std::string> hosts_;
    std::size_t nextHost_ = 0;
    std::vector<Endpoint> endpoints_;
    std::size_t endpoint_ = 0;
    // Connections tried so far.
    std::size_t connections_ = 0;
    // Why the last attempt to reach a host failed.
    std::string unreachable_;
    bool tls_ = false;
    // Why a login goes in clear where TLS was not required (the server
    // offered no STARTTLS).
    std::string clearReason_;
    Capabilities offered_;
    State state_ = State::Connect;
    Connection connection_;
};

} // namespace sendwick::smtp
