#include "session.h"

#include "compose.h"
#include "connection.h"
#include "mail_log.h"
#include "mx_lookup.h"

#include <array>

namespace sendwick {

namespace {

enum class Route { Direct, ViaServer };

// The states of one session, in dialogue order. Direct delivery skips Ehlo
// and the Auth states; through a server, Helo is only the fallback for a
// server that refuses EHLO.
enum class State {
    Greeting,
    Ehlo,
    Helo,
    AuthLogin,
    AuthUser,
    AuthPassword,
    MailFrom,
    RcptTo,
    Data,
    Message,
    Quit,
    Done,
    Failed,
};

// What one state sends and logs, and how long it waits for the reply.
struct Step
{
    std::string logBefore;
    std::string command; // empty: only wait (the greeting)
    std::chrono::milliseconds timeout{};
};

// The reply code that moves a state on, and where to.
struct Transition
{
    State from;
    int code;
    State to;
};

constexpr std::array kDirectTransitions{
    Transition{State::Greeting, 220, State::Helo},   Transition{State::Helo, 250, State::MailFrom},
    Transition{State::MailFrom, 250, State::RcptTo}, Transition{State::RcptTo, 250, State::Data},
    Transition{State::Data, 354, State::Message},    Transition{State::Message, 250, State::Quit},
    Transition{State::Quit, 221, State::Done},
};

// AUTH is an ESMTP extension (RFC 4954): servers such as Exim refuse it
// after a plain HELO, so the server route greets with EHLO.
constexpr std::array kServerTransitions{
    Transition{State::Greeting, 220, State::Ehlo},
    Transition{State::Ehlo, 250, State::AuthLogin},
    Transition{State::Helo, 250, State::AuthLogin},
    Transition{State::AuthLogin, 334, State::AuthUser},
    Transition{State::AuthUser, 334, State::AuthPassword},
    Transition{State::AuthPassword, 235, State::MailFrom},
    Transition{State::MailFrom, 250, State::RcptTo},
    Transition{State::RcptTo, 250, State::Data},
    Transition{State::Data, 354, State::Message},
    Transition{State::Message, 250, State::Quit},
    Transition{State::Quit, 221, State::Done},
};

// Skipped tokens count as handled: no "@", or "@" as the first character.
bool IsAcceptedRecipient(const std::string& token)
{
    auto at = token.find('@');
    return at != std::string::npos && at >= 1;
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

// An address travels between "<" and ">" in MAIL FROM and RCPT TO. A blank or
// an angle bracket inside it would close the path early and hand the rest to
// the server as parameters of the command ("dba@example.org> NOTIFY=SUCCESS").
// Blanks around it are sent as written: a recipient listed after "; " starts
// with one, and inside the brackets it cannot end the path.
bool HasInnerBlankOrBracket(std::string_view address)
{
    constexpr std::string_view blanks = " \t";
    const auto first = address.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return false;
    const auto last = address.find_last_not_of(blanks);
    return address.substr(first, last - first + 1).find_first_of(" \t<>") != std::string_view::npos;
}

// For logging a text that must not break the log's lines.
std::string ShowLineBreaks(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

class Session
{
public:
    Session(Route route, const ServerLogin* login, const MailRequest& request,
            const std::string& token, const SessionSettings& settings)
        : route_(route), login_(login), request_(request), token_(token), settings_(settings)
    {}

    bool Run();

private:
    void Log(std::string_view text) const;
    std::string Envelope() const;
    std::optional<std::string> TargetHost() const;
    Step StepFor(State state) const;
    State NextAfter(State state, const Reply& reply) const;

    Route route_;
    const ServerLogin* login_;
    const MailRequest& request_;
    const std::string& token_;
    const SessionSettings& settings_;
    Mailbox sender_;
    Mailbox recipient_;
    std::string greetingDomain_;
    ZonedTime date_;
    Connection connection_;
};

bool Session::Run()
{
    if (!IsAcceptedRecipient(token_))
        return true;
    sender_ = SplitMailbox(request_.from);
    recipient_ = SplitMailbox(token_);
    greetingDomain_ = DomainOf(sender_.address);
    date_ = settings_.clock->Now();

    // A line break in an address would end the SMTP command early and let
    // the rest of the text through as commands of its own.
    if (HasLineBreak(request_.from) || HasLineBreak(token_)) {
        Log("SEND ERROR " + ShowLineBreaks(sender_.address) + " --> " +
            ShowLineBreaks(recipient_.address) + " : line break in address\r\n");
        return false;
    }
    if (HasInnerBlankOrBracket(sender_.address) || HasInnerBlankOrBracket(recipient_.address)) {
        Log("SEND ERROR " + sender_.address + " --> " + recipient_.address +
            " : blank or angle bracket in address\r\n");
        return false;
    }

    Log("SEND " + Envelope());
    std::optional<std::string> host = TargetHost();
    std::string error;
    if (!host || !connection_.Open(*host, settings_.port, settings_.connectTimeout, error)) {
        Log("SEND ERROR " + Envelope());
        return false;
    }

    State state = State::Greeting;
    while (state != State::Done && state != State::Failed) {
        Step step = StepFor(state);
        if (!step.logBefore.empty())
            Log(step.logBefore);
        Reply reply =
            SendCommand(connection_, step.command, step.timeout, settings_.sendStallTimeout);
        Log(reply.LogText());
        state = NextAfter(state, reply);
    }
    // On failure the connection is dropped without QUIT.
    if (state == State::Done)
        Log("SEND OK " + Envelope());
    connection_.Close();
    return state == State::Done;
}

void Session::Log(std::string_view text) const
{
    AppendLog(request_.logPath, text, settings_.clock->Now());
}

std::string Session::Envelope() const
{
    return sender_.address + " --> " + recipient_.address + "\r\n";
}

std::optional<std::string> Session::TargetHost() const
{
    if (route_ == Route::ViaServer)
        return ApplyHostRedirect(login_->server);
    const ExchangerLookup& lookup = settings_.lookupExchanger;
    std::optional<std::string> exchanger = lookup ? lookup(DomainOf(recipient_.address))
                                                  : GetMailExchanger(DomainOf(recipient_.address));
    if (!exchanger)
        return std::nullopt;
    return ApplyHostRedirect(*exchanger);
}

Step Session::StepFor(State state) const
{
    const bool direct = route_ == Route::Direct;
    const auto reply = settings_.replyTimeout;
    switch (state) {
    case State::Greeting:
        return {{}, {}, direct ? settings_.directGreetingTimeout : settings_.serverGreetingTimeout};
    case State::Ehlo:
        return {{}, "EHLO " + greetingDomain_ + "\r\n", reply};
    case State::Helo: {
        std::string helo = "HELO " + greetingDomain_ + " \r\n";
        return {direct ? ">>" + helo : std::string(), helo, reply};
    }
    // The login itself never reaches the log; only the server's replies do.
    case State::AuthLogin:
        return {{}, "AUTH LOGIN\r\n", reply};
    case State::AuthUser:
        return {{}, Base64Encode(login_->user) + "\r\n", reply};
    case State::AuthPassword:
        return {{}, Base64Encode(login_->password) + "\r\n", reply};
    case State::MailFrom:
        return {{}, "MAIL FROM: <" + sender_.address + "> \r\n", reply};
    case State::RcptTo:
        return {{}, "RCPT TO: <" + recipient_.address + "> \r\n", reply};
    case State::Data:
        return {{}, "DATA\r\n", reply};
    case State::Message:
        // Built only now, after the server accepted DATA: the message may
        // carry large attachments.
        return {{},
                BuildMessage({request_.from, token_, request_.bodyType, request_.subject,
                              request_.body, request_.attachments, date_}),
                reply};
    case State::Quit:
        return {direct ? ">>QUIT\r\n" : std::string(), "QUIT\r\n", reply};
    case State::Done:
    case State::Failed:
        break;
    }
    return {};
}

State Session::NextAfter(State state, const Reply& reply) const
{
    // RFC 5321 4.1.1.1: a server that does not know EHLO answers 5xx; then
    // fall back to HELO.
    if (state == State::Ehlo && reply.status == ReplyStatus::Complete && reply.code >= 500 &&
        reply.code <= 599)
        return State::Helo;
    auto find = [&](const auto& table) {
        for (const Transition& t : table) {
            if (t.from == state)
                return reply.Has(t.code) ? t.to : State::Failed;
        }
        return State::Failed;
    };
    return route_ == Route::Direct ? find(kDirectTransitions) : find(kServerTransitions);
}

} // namespace

std::string ApplyHostRedirect(const std::string& host)
{
    return host == RedirectFromHost ? std::string(RedirectToHost) : host;
}

bool SendToRecipient(const MailRequest& request, const std::string& recipientToken,
                     const SessionSettings& settings)
{
    return Session(Route::Direct, nullptr, request, recipientToken, settings).Run();
}

bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings)
{
    return Session(Route::ViaServer, &login, request, recipientToken, settings).Run();
}

int SendToEachRecipient(const std::string& recipients,
                        const std::function<bool(const std::string& token)>& session,
                        const MailClock& clock)
{
    for (const std::string& token : SplitList(recipients, ';')) {
        if (!session(token))
            return 0;
        clock.Pause(std::chrono::milliseconds(500));
    }
    return 1;
}

} // namespace sendwick
