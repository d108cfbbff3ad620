#include "compose.h"
#include "session_machine.h"

namespace sendwick {
namespace smtp {

bool Session::Run()
{
    if (!IsAcceptedRecipient(token_))
        return true;
    sender_ = SplitMailbox(request_.from);
    recipient_ = SplitMailbox(token_);
    greetingDomain_ = DomainOf(sender_.address);
    date_ = settings_.clock->Now();
    // However the session breaks off, its entries end with the closing one,
    // so the next session's entries never read as part of this one.
    try {
        Converse();
    } catch (const std::exception& e) {
        if (!closed_)
            FailWith(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        if (!closed_)
            FailWith("unexpected failure");
    }
    connection_.Close();
    return sent_;
}

void Session::Converse()
{
    // A line break in an address would end the SMTP command early and let
    // the rest of the text through as commands of its own; CheckMailRoute
    // refuses the same addresses before any run.
    std::string problem = SenderProblem(request_.from, sender_.address);
    if (problem.empty())
        problem = AddressProblem(token_, recipient_.address);
    if (!problem.empty()) {
        FailWith(problem);
        return;
    }

    Log((settings_.loginOnly ? "LOGIN " : "SEND ") + Envelope());
    deadline_ = Clock::now() + settings_.sessionTimeout;
    // Built before any server is contacted: an attachment that cannot be
    // read fails the session rather than travel empty.
    if (settings_.loginOnly) {
        // No message to build: the session stops before MAIL FROM.
    } else if (Outcome built =
                   BuildMessage({request_.from, token_, request_.bodyType, request_.subject,
                                 request_.body, request_.attachments, date_},
                                message_);
               !built.ok()) {
        FailWith(built.detail);
        return;
    }
    if (!FindHosts())
        return;

    // The dialogue starts here; from now on only Enter changes the state.
    state_ = State::Connect;
    while (state_ != State::Done && state_ != State::Failed) {
        if (state_ == State::Connect) {
            Enter(Connect());
            continue;
        }
        if (state_ == State::UpgradeTls) {
            Enter(UpgradeTls());
            continue;
        }
        if (state_ == State::AuthPassword && !tls_)
            WarnLoginInClear();
        Step step = StepFor(state_);
        if (!step.logBefore.empty())
            Log(step.logBefore);
        Reply reply = SendCommand(connection_, step.command, step.timeout,
                                  settings_.sendStallTimeout, deadline_);
        LogReply(reply);
        State next = NextAfter(state_, reply);
        if (next == State::Failed && !closed_)
            FailWith(WhyNot(state_, reply, step.timeout));
        Enter(next);
    }
    // On failure the connection is dropped without QUIT.
    if (state_ == State::Done) {
        Log((settings_.loginOnly ? "LOGIN OK " : "SEND OK ") + Envelope());
        closed_ = sent_ = true;
    }
}

void Session::Log(std::string_view text, EntryEnd end) const
{
    Outcome written = AppendLog(request_.logPath, text, settings_.clock->Now(), end);
    if (!written.ok() && report_ != nullptr && report_->logError.empty())
        report_->logError = written.detail;
}

void Session::LogReply(const Reply& reply) const
{
    std::string_view text = reply.text;
    // The CR LF that ends a whole reply ends its entry; the lines before it
    // stay inside the entry, their line ends written out.
    if (reply.status == ReplyStatus::Complete && text.ends_with("\r\n")) {
        text.remove_suffix(2);
        Log(text);
    } else {
        Log(reply.LogText(), EntryEnd::Open);
    }
}

std::string Session::Envelope() const
{
    return sender_.address + " --> " + recipient_.address;
}

State Session::FailWith(std::string_view reason, bool logReason)
{
    const std::string line = PlainLine(reason);
    Log((settings_.loginOnly ? "LOGIN ERROR " : "SEND ERROR ") + Envelope() +
        (logReason ? " : " + line : std::string()));
    closed_ = true;
    if (report_ != nullptr && report_->failure.empty())
        report_->failure = EscapeControls(recipient_.address) + ": " + line;
    return State::Failed;
}

// The only place the state changes.
void Session::Enter(State next)
{
    // A session that only tries the login says QUIT where the mail would begin.
    if (settings_.loginOnly && next == State::MailFrom)
        next = State::Quit;
    if (settings_.traceState)
        settings_.traceState(std::string(NameOf(state_)) + " -> " + std::string(NameOf(next)));
    state_ = next;
}

Step Session::StepFor(State state)
{
    const bool direct = route_ == Route::Direct;
    const auto reply = settings_.replyTimeout;
    switch (state) {
    case State::Greeting:
        return {{}, {}, settings_.greetingTimeout};
    case State::Ehlo:
        return {{}, "EHLO " + greetingDomain_ + "\r\n", reply};
    case State::Helo: {
        std::string helo = "HELO " + greetingDomain_ + " ";
        return {direct ? ">>" + helo : std::string(), helo + "\r\n", reply};
    }
    case State::StartTls:
        return {{}, "STARTTLS\r\n", reply};
    // The login itself never reaches the log; only the server's replies do.
    case State::AuthLogin:
        return {{}, "AUTH LOGIN\r\n", reply};
    case State::AuthUser:
        return {{}, Base64Encode(login_->user) + "\r\n", reply};
    case State::AuthPassword:
        return {{}, Base64Encode(login_->password) + "\r\n", reply};
    case State::AuthPlain: {
        // RFC 4616: authorization identity (empty), user, password, each
        // after a NUL, sent with the command (RFC 4954 4).
        std::string credentials;
        credentials += '\0';
        credentials += login_->user;
        credentials += '\0';
        credentials += login_->password;
        return {{}, "AUTH PLAIN " + Base64Encode(credentials) + "\r\n", reply};
    }
    case State::MailFrom:
        return {{}, "MAIL FROM: <" + sender_.address + "> \r\n", reply};
    case State::RcptTo:
        return {{}, "RCPT TO: <" + recipient_.address + "> \r\n", reply};
    case State::Data:
        return {{}, "DATA\r\n", settings_.dataTimeout};
    case State::Message:
        // Sent once: a message with large attachments is not copied.
        return {{}, std::move(message_), settings_.endOfDataTimeout};
    case State::Quit:
        return {direct ? ">>QUIT" : std::string(), "QUIT\r\n", reply};
    case State::Connect:
    case State::UpgradeTls:
    case State::Done:
    case State::Failed:
        break;
    }
    return {};
}

State Session::NextAfter(State state, const Reply& reply)
{
    const bool direct = route_ == Route::Direct;
    auto expect = [&](int code, State next) { return reply.Has(code) ? next : State::Failed; };
    switch (state) {
    case State::Greeting:
        if (reply.Has(220))
            return direct ? State::Helo : State::Ehlo;
        // RFC 5321 5.1: a server that refuses the session (or never greets)
        // is passed over like one that cannot be reached.
        if (!MoreAddresses())
            return State::Failed;
        NextAddress();
        return State::Connect;
    case State::Ehlo:
        if (reply.Has(250)) {
            offered_ = ReadCapabilities(reply.text);
            return AfterHello();
        }
        // RFC 5321 4.1.1.1: a server that does not know EHLO answers 5xx;
        // then fall back to HELO.
        if (reply.status == ReplyStatus::Complete && reply.code >= 500 && reply.code <= 599)
            return State::Helo;
        return State::Failed;
    case State::Helo:
        if (!reply.Has(250))
            return State::Failed;
        offered_ = {};
        return direct ? State::MailFrom : AfterHello();
    case State::StartTls:
        if (reply.Has(220))
            return State::UpgradeTls;
        // RFC 3207 4 lets a client go on in clear after a refusal, but a
        // refusal is what anyone on the path can send: once STARTTLS was
        // offered, the login never goes in clear.
        if (reply.status == ReplyStatus::Complete)
            return FailWith(std::string("STARTTLS refused: ").append(PlainLine(LastLine(reply))));
        return State::Failed;
    case State::AuthLogin:
        return expect(334, State::AuthUser);
    case State::AuthUser:
        return expect(334, State::AuthPassword);
    case State::AuthPassword:
    case State::AuthPlain:
        return expect(235, State::MailFrom);
    case State::MailFrom:
        return expect(250, State::RcptTo);
    case State::RcptTo:
        return expect(250, State::Data);
    case State::Data:
        return expect(354, State::Message);
    case State::Message:
        return expect(250, State::Quit);
    case State::Quit:
        return expect(221, State::Done);
    case State::Connect:
    case State::UpgradeTls:
    case State::Done:
    case State::Failed:
        break;
    }
    return State::Failed;
}

// Through a server, after the server's 250 to EHLO or HELO.
State Session::AfterHello()
{
    if (!tls_ && target_.security == Security::StartTls) {
        if (!offered_.startTls)
            return FailWith("server offers no STARTTLS");
        return State::StartTls;
    }
    // Where TLS is not required, a server that offers STARTTLS gets the login
    // over TLS (RFC 3207) or none at all; only one that offers none gets it
    // in clear, as it always has.
    if (!tls_) {
        if (offered_.startTls)
            return State::StartTls;
        clearReason_ = "no STARTTLS offered";
    }
    // In clear the login stays AUTH LOGIN whatever the server offers.
    if (tls_ && offered_.authPlain && !offered_.authLogin)
        return State::AuthPlain;
    return State::AuthLogin;
}

// ReplyFailure, or the end of the session's time when that cut the wait.
std::string Session::WhyNot(State state, const Reply& reply,
                            std::chrono::milliseconds timeout) const
{
    if (reply.status == ReplyStatus::TimedOut && Clock::now() >= deadline_)
        return std::string("session took longer than ")
            .append(Duration(settings_.sessionTimeout))
            .append(" (")
            .append(WaitedFor(state))
            .append(")");
    return ReplyFailure(state, reply, timeout);
}

} // namespace smtp

std::string ApplyHostRedirect(const std::string& host)
{
    return host == RedirectFromHost ? std::string(RedirectToHost) : host;
}

std::string SendReport::Text() const
{
    std::string text;
    for (const std::string* part : {&failure, &warning, &logError}) {
        if (part->empty())
            continue;
        if (!text.empty())
            text.append("; ");
        text.append(*part);
    }
    return text;
}

bool SendToRecipient(const MailRequest& request, const std::string& recipientToken,
                     const SessionSettings& settings, SendReport* report)
{
    return smtp::Session(smtp::Route::Direct, nullptr, request, recipientToken, settings, report)
        .Run();
}

bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings,
                            SendReport* report)
{
    return smtp::Session(smtp::Route::ViaServer, &login, request, recipientToken, settings, report)
        .Run();
}

int SendToEachRecipient(const std::string& recipients,
                        const std::function<bool(const std::string& token)>& session)
{
    for (const std::string& token : SplitList(recipients, ';')) {
        if (!session(token))
            return 0;
    }
    return 1;
}

} // namespace sendwick
