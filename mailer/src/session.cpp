#include "session.h"

#include "compose.h"
#include "connection.h"
#include "mail_log.h"
#include "mx_lookup.h"
#include "server_address.h"

#include <algorithm>
#include <array>
#include <sstream>
#include <vector>

namespace sendwick {

namespace {

enum class Route { Direct, ViaServer };

// The states of one session, in dialogue order. Direct delivery goes
// Greeting, Helo, MailFrom onwards. Through a server it greets with Ehlo
// (Helo only for a server that refuses EHLO) and logs in; with STARTTLS it
// says Ehlo, StartTls, UpgradeTls and Ehlo again over TLS, and with TLS from
// the start UpgradeTls comes before the Greeting.
enum class State {
    Greeting,
    Ehlo,
    Helo,
    StartTls,
    UpgradeTls,
    AuthLogin,
    AuthUser,
    AuthPassword,
    AuthPlain,
    MailFrom,
    RcptTo,
    Data,
    Message,
    Quit,
    Done,
    Failed,
};

constexpr auto kStateNames = std::to_array<std::string_view>({
    "Greeting",
    "Ehlo",
    "Helo",
    "StartTls",
    "UpgradeTls",
    "AuthLogin",
    "AuthUser",
    "AuthPassword",
    "AuthPlain",
    "MailFrom",
    "RcptTo",
    "Data",
    "Message",
    "Quit",
    "Done",
    "Failed",
});
static_assert(kStateNames.size() == static_cast<std::size_t>(State::Failed) + 1,
              "one name for every state");

std::string_view NameOf(State state)
{
    return kStateNames[static_cast<std::size_t>(state)];
}

// What a state's step waits for, as a reason names it: "(RCPT TO)".
std::string_view WaitedFor(State state)
{
    switch (state) {
    case State::Greeting:
        return "greeting";
    case State::Ehlo:
        return "EHLO";
    case State::Helo:
        return "HELO";
    case State::StartTls:
        return "STARTTLS";
    case State::UpgradeTls:
        return "TLS handshake";
    case State::AuthLogin:
        return "AUTH LOGIN";
    case State::AuthUser:
        return "AUTH LOGIN user name";
    case State::AuthPassword:
        return "AUTH LOGIN password";
    case State::AuthPlain:
        return "AUTH PLAIN";
    case State::MailFrom:
        return "MAIL FROM";
    case State::RcptTo:
        return "RCPT TO";
    case State::Data:
        return "DATA";
    case State::Message:
        return "message";
    case State::Quit:
        return "QUIT";
    case State::Done:
    case State::Failed:
        break;
    }
    return NameOf(state);
}

// What one state sends and logs, and how long it waits for the reply.
struct Step
{
    std::string logBefore;
    std::string command; // empty: only wait (the greeting)
    std::chrono::milliseconds timeout{};
};

// What a server offers in its EHLO reply (RFC 5321 4.1.1.1), as far as the
// session cares.
struct Capabilities
{
    bool startTls = false;
    bool authLogin = false;
    bool authPlain = false;
};

// ASCII only: the program's locale must not change what a keyword reads.
std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// Every line after the first names one extension and its parameters. Old
// servers still write "AUTH=LOGIN" beside or instead of "AUTH LOGIN".
Capabilities ReadCapabilities(std::string_view reply)
{
    Capabilities offered;
    std::size_t pos = reply.find("\r\n");
    while (pos != std::string_view::npos && pos + 2 < reply.size()) {
        const std::size_t start = pos + 2;
        pos = reply.find("\r\n", start);
        std::string_view line = reply.substr(
            start, pos == std::string_view::npos ? std::string_view::npos : pos - start);
        if (line.size() < 4)
            continue;
        std::istringstream words(Upper(line.substr(4)));
        std::string keyword;
        words >> keyword;
        if (keyword == "STARTTLS")
            offered.startTls = true;
        std::vector<std::string> mechanisms;
        if (keyword.rfind("AUTH=", 0) == 0)
            mechanisms.push_back(keyword.substr(5));
        if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0) {
            for (std::string m; words >> m;)
                mechanisms.push_back(m);
        }
        for (const std::string& m : mechanisms) {
            offered.authLogin = offered.authLogin || m == "LOGIN";
            offered.authPlain = offered.authPlain || m == "PLAIN";
        }
    }
    return offered;
}

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

// A reason as one short line: control bytes become blanks (the log and the
// caller both take it as one line), and a long server text is cut.
std::string PlainLine(std::string_view text)
{
    constexpr std::size_t kMaxReasonBytes = 200;
    std::string line(text.substr(0, kMaxReasonBytes));
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return line;
}

// "3 s", or "3500 ms" for a wait that is no whole number of seconds.
std::string Duration(std::chrono::milliseconds wait)
{
    return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                    : std::to_string(wait.count()) + " ms";
}

// Why the session cannot go on after `reply` to the step of `state`: the
// server's refusal in its own words, or what became of the wait.
std::string ReplyFailure(State state, const Reply& reply, std::chrono::milliseconds timeout)
{
    const std::string step(WaitedFor(state));
    switch (reply.status) {
    case ReplyStatus::Complete: {
        // The last line carries the code that counts, and mostly the words.
        std::string_view text = reply.text;
        text.remove_suffix(std::min<std::size_t>(2, text.size()));
        const std::size_t lineEnd = text.rfind("\r\n");
        const std::string_view line =
            lineEnd == std::string_view::npos ? text : text.substr(lineEnd + 2);
        if (ReplyCode(line) >= 400)
            return PlainLine(line);
        return "unexpected reply to " + step + ": " + PlainLine(line);
    }
    case ReplyStatus::TimedOut:
        return (reply.text.empty() ? "no reply within " : "incomplete reply within ") +
               Duration(timeout) + " (" + step + ")";
    case ReplyStatus::Closed:
        return "connection closed (" + step + ")";
    case ReplyStatus::TooLong:
        return "reply longer than " + std::to_string(kMaxReplyBytes) + " bytes (" + step + ")";
    }
    return "no usable reply (" + step + ")";
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
            const std::string& token, const SessionSettings& settings, SendReport* report)
        : route_(route), login_(login), request_(request), token_(token), settings_(settings),
          report_(report)
    {}

    bool Run();

private:
    // Everything from the first log entry to the closing one.
    void Converse();
    void Log(std::string_view text) const;
    std::string Envelope() const;
    // Ends the session with its closing entry, "SEND ERROR sender -->
    // recipient : reason" (without `logReason` the plain "SEND ERROR sender
    // --> recipient" of a server that cannot be found or reached), and keeps
    // the reason for the caller.
    State FailWith(std::string_view reason, bool logReason = true);
    std::optional<ServerAddress> Target(std::string& reason) const;
    void Enter(State next);
    Step StepFor(State state) const;
    State NextAfter(State state, const Reply& reply);
    State AfterHello();
    State UpgradeTls();

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
    ServerAddress target_;
    bool tls_ = false;
    Capabilities offered_;
    State state_ = State::Greeting;
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
    // the rest of the text through as commands of its own.
    if (HasLineBreak(request_.from) || HasLineBreak(token_)) {
        FailWith("line break in address");
        return;
    }
    if (HasInnerBlankOrBracket(sender_.address) || HasInnerBlankOrBracket(recipient_.address)) {
        FailWith("blank or angle bracket in address");
        return;
    }

    Log("SEND " + Envelope());
    std::string reason;
    std::optional<ServerAddress> target = Target(reason);
    if (!target) {
        if (reason.empty())
            FailWith("no mail exchanger found for " + DomainOf(recipient_.address), false);
        else
            FailWith(reason);
        return;
    }
    target_ = std::move(*target);
    Outcome opened = connection_.Open(target_.host, target_.port, settings_.connectTimeout,
                                      settings_.wrapTransport);
    if (!opened.ok()) {
        FailWith(opened.detail, false);
        return;
    }

    // The dialogue starts here; from now on only Enter changes the state.
    state_ = target_.security == Security::Implicit ? State::UpgradeTls : State::Greeting;
    while (state_ != State::Done && state_ != State::Failed) {
        if (state_ == State::UpgradeTls) {
            Enter(UpgradeTls());
            continue;
        }
        Step step = StepFor(state_);
        if (!step.logBefore.empty())
            Log(step.logBefore);
        Reply reply =
            SendCommand(connection_, step.command, step.timeout, settings_.sendStallTimeout);
        Log(reply.LogText());
        State next = NextAfter(state_, reply);
        if (next == State::Failed && !closed_)
            FailWith(ReplyFailure(state_, reply, step.timeout));
        Enter(next);
    }
    // On failure the connection is dropped without QUIT.
    if (state_ == State::Done) {
        Log("SEND OK " + Envelope());
        closed_ = sent_ = true;
    }
}

void Session::Log(std::string_view text) const
{
    Outcome written = AppendLog(request_.logPath, text, settings_.clock->Now());
    if (!written.ok() && report_ != nullptr && report_->logError.empty())
        report_->logError = written.detail;
}

std::string Session::Envelope() const
{
    return sender_.address + " --> " + recipient_.address + "\r\n";
}

State Session::FailWith(std::string_view reason, bool logReason)
{
    const std::string line = PlainLine(reason);
    const std::string recipient = ShowLineBreaks(recipient_.address);
    Log("SEND ERROR " + ShowLineBreaks(sender_.address) + " --> " + recipient +
        (logReason ? " : " + line : std::string()) + "\r\n");
    closed_ = true;
    if (report_ != nullptr && report_->failure.empty())
        report_->failure = recipient + ": " + line;
    return State::Failed;
}

// An empty reason: the exchanger of the recipient's domain cannot be found.
std::optional<ServerAddress> Session::Target(std::string& reason) const
{
    if (route_ == Route::ViaServer) {
        ServerAddress address;
        Outcome parsed = ParseServerText(login_->server, settings_.port, address);
        if (!parsed.ok()) {
            reason = parsed.detail;
            return std::nullopt;
        }
        address.host = ApplyHostRedirect(address.host);
        return address;
    }
    const ExchangerLookup& lookup = settings_.lookupExchanger;
    std::optional<std::string> exchanger = lookup ? lookup(DomainOf(recipient_.address))
                                                  : GetMailExchanger(DomainOf(recipient_.address));
    if (!exchanger)
        return std::nullopt;
    return ServerAddress{ApplyHostRedirect(*exchanger), settings_.port, Security::None};
}

// The only place the state changes.
void Session::Enter(State next)
{
    if (settings_.traceState)
        settings_.traceState(std::string(NameOf(state_)) + " -> " + std::string(NameOf(next)));
    state_ = next;
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
        return expect(220, direct ? State::Helo : State::Ehlo);
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
        return expect(220, State::UpgradeTls);
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
    if (target_.security == Security::StartTls && !tls_) {
        if (!offered_.startTls)
            return FailWith("server offers no STARTTLS");
        return State::StartTls;
    }
    // In clear the login stays AUTH LOGIN whatever the server offers.
    if (tls_ && offered_.authPlain && !offered_.authLogin)
        return State::AuthPlain;
    return State::AuthLogin;
}

State Session::UpgradeTls()
{
    // RFC 3207 4.2: nothing the server sent in clear may count once TLS is
    // on. Bytes that came after its reply to STARTTLS could be an attacker's
    // answers to the commands still to come.
    if (target_.security == Security::StartTls && connection_.HasUnreadBytes())
        return FailWith("bytes in clear after the STARTTLS reply");
    TlsStart start = connection_.StartTls(target_.host, std::chrono::steady_clock::now() +
                                                            settings_.tlsHandshakeTimeout);
    if (!start.outcome.ok())
        return FailWith(start.outcome.detail);
    tls_ = true;
    Log("TLS " + start.protocol + " " + start.cipher + "\r\n");
    // What the server offered in clear is forgotten: the dialogue starts
    // again with EHLO, or with the greeting when TLS came first.
    offered_ = {};
    return target_.security == Security::Implicit ? State::Greeting : State::Ehlo;
}

} // namespace

std::string ApplyHostRedirect(const std::string& host)
{
    return host == RedirectFromHost ? std::string(RedirectToHost) : host;
}

std::string SendReport::Text() const
{
    if (failure.empty() || logError.empty())
        return failure + logError;
    return failure + "; " + logError;
}

bool SendToRecipient(const MailRequest& request, const std::string& recipientToken,
                     const SessionSettings& settings, SendReport* report)
{
    return Session(Route::Direct, nullptr, request, recipientToken, settings, report).Run();
}

bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings,
                            SendReport* report)
{
    return Session(Route::ViaServer, &login, request, recipientToken, settings, report).Run();
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
