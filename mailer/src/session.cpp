#include "session.h"

#include "compose.h"
#include "connection.h"
#include "mail_log.h"
#include "server_address.h"
#include "tcp_transport.h"

#include <algorithm>
#include <array>
#include <sstream>
#include <vector>

namespace sendwick {

namespace {

enum class Route { Direct, ViaServer };

// The states of one session, in dialogue order. Every session starts with
// Connect. Direct delivery goes Greeting, Helo, MailFrom onwards. Through a
// server it greets with Ehlo (Helo only for a server that refuses EHLO) and
// logs in; with STARTTLS it says Ehlo, StartTls, UpgradeTls and Ehlo again
// over TLS, and with TLS from the start UpgradeTls comes before the Greeting.
// A greeting that refuses the session goes back to Connect for the next
// address, and so does a STARTTLS that fails where TLS was not required.
enum class State {
    Connect,
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
    "Connect",
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
    case State::Connect:
        return "connect";
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

// A reason as one short line: control bytes are written out (the log and
// the caller both take it as one line), and a long server text is cut.
std::string PlainLine(std::string_view text)
{
    constexpr std::size_t kMaxReasonBytes = 200;
    return EscapeControls(text.substr(0, kMaxReasonBytes));
}

// "5 min", "3 s", or "3500 ms" for a wait that is no whole number of seconds.
std::string Duration(std::chrono::milliseconds wait)
{
    if (wait.count() % 60000 == 0)
        return std::to_string(wait.count() / 60000) + " min";
    return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                    : std::to_string(wait.count()) + " ms";
}

// The last line of a complete reply, without its line end: it carries the
// code that counts, and mostly the words.
std::string_view LastLine(const Reply& reply)
{
    std::string_view text = reply.text;
    text.remove_suffix(std::min<std::size_t>(2, text.size()));
    const std::size_t lineEnd = text.rfind("\r\n");
    return lineEnd == std::string_view::npos ? text : text.substr(lineEnd + 2);
}

// Why the session cannot go on after `reply` to the step of `state`: the
// server's refusal in its own words, or what became of the wait.
std::string ReplyFailure(State state, const Reply& reply, std::chrono::milliseconds timeout)
{
    const std::string step(WaitedFor(state));
    switch (reply.status) {
    case ReplyStatus::Complete: {
        const std::string_view line = LastLine(reply);
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
    // Moves on to the next address, which gets its own chance at STARTTLS.
    void NextAddress();
    void Unreachable(const std::string& reason);
    State AfterHello();
    State UpgradeTls();
    // Where TLS was not required: the rest goes in clear because of
    // `reason`, on a new connection to the same address unless `sameConnection`.
    State GoOnInClear(std::string reason, bool sameConnection);
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
    // Why a login goes in clear where TLS was not required; once set, the
    // address tried does not get STARTTLS again.
    std::string clearReason_;
    Capabilities offered_;
    State state_ = State::Connect;
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
    deadline_ = Clock::now() + settings_.sessionTimeout;
    // Built before any server is contacted: an attachment that cannot be
    // read fails the session rather than travel empty.
    if (Outcome built = BuildMessage({request_.from, token_, request_.bodyType, request_.subject,
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
        Log("SEND OK " + Envelope());
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
    Log("SEND ERROR " + Envelope() + (logReason ? " : " + line : std::string()));
    closed_ = true;
    if (report_ != nullptr && report_->failure.empty())
        report_->failure = EscapeControls(recipient_.address) + ": " + line;
    return State::Failed;
}

bool Session::FindHosts()
{
    if (route_ == Route::ViaServer) {
        Outcome parsed = ParseServerText(login_->server, settings_.port, target_);
        if (!parsed.ok()) {
            FailWith(parsed.detail);
            return false;
        }
        hosts_ = {target_.host};
        return true;
    }
    const std::string domain = DomainOf(recipient_.address);
    MailHosts found =
        settings_.lookupExchanger ? settings_.lookupExchanger(domain) : LookUpMailHosts(domain);
    if (found.hosts.empty()) {
        const std::string reason =
            found.failure.empty() ? "no mail exchanger found for " + domain : found.failure;
        Log(reason);
        FailWith(reason, false);
        return false;
    }
    target_ = {{}, settings_.port, Security::None};
    hosts_ = std::move(found.hosts);
    return true;
}

// Connects to the address to try: the current host's, else the first of the
// next host. A new connection after a failed TLS upgrade goes to the same
// address again; after a failed attempt, to the next one.
State Session::Connect()
{
    connection_.Close();
    tls_ = false;
    offered_ = {};
    for (;;) {
        if (Clock::now() >= deadline_)
            return FailWith(std::string("no connection within the session's ")
                                .append(Duration(settings_.sessionTimeout)));
        if (endpoint_ >= endpoints_.size()) {
            if (nextHost_ >= hosts_.size())
                return FailWith(unreachable_, false);
            target_.host = ApplyHostRedirect(hosts_[nextHost_++]);
            endpoints_.clear();
            endpoint_ = 0;
            clearReason_.clear();
            Outcome resolved = ResolveHost(target_.host, target_.port, endpoints_);
            if (!resolved.ok())
                Unreachable(resolved.detail);
            else if (endpoints_.empty())
                Unreachable("no address for " + target_.host);
            continue;
        }
        const Endpoint& endpoint = endpoints_[endpoint_];
        const bool again = connections_++ > 0 || !unreachable_.empty();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        Outcome opened = connection_.Open(endpoint, std::min(settings_.connectTimeout, left),
                                          settings_.wrapTransport);
        if (opened.ok()) {
            // Which address took over after another did not.
            if (again)
                Log("connected to " + endpoint.text);
            return target_.security == Security::Implicit ? State::UpgradeTls : State::Greeting;
        }
        Unreachable(opened.detail);
        NextAddress();
    }
}

bool Session::MoreAddresses() const
{
    return endpoint_ + 1 < endpoints_.size() || nextHost_ < hosts_.size();
}

void Session::NextAddress()
{
    ++endpoint_;
    clearReason_.clear();
}

void Session::Unreachable(const std::string& reason)
{
    Log(reason);
    unreachable_ = reason;
}

// The only place the state changes.
void Session::Enter(State next)
{
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
        if (target_.security != Security::None)
            return State::Failed;
        // RFC 3207 4: after a refusal the dialogue may go on in clear; a
        // reply that never came leaves the connection in no known state.
        if (reply.status == ReplyStatus::Complete)
            return GoOnInClear(std::string("STARTTLS refused: ").append(PlainLine(LastLine(reply))),
                               true);
        return GoOnInClear(WhyNot(state, reply, settings_.replyTimeout), false);
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
    // over TLS (RFC 3207) rather than in clear.
    if (!tls_ && clearReason_.empty()) {
        if (offered_.startTls)
            return State::StartTls;
        clearReason_ = "no STARTTLS offered";
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
    std::string failure;
    if (target_.security != Security::Implicit && connection_.HasUnreadBytes()) {
        failure = "bytes in clear after the STARTTLS reply";
    } else {
        TlsStart start = connection_.StartTls(
            target_.host, std::min(Clock::now() + settings_.tlsHandshakeTimeout, deadline_));
        if (start.outcome.ok()) {
            tls_ = true;
            Log("TLS " + start.protocol + " " + start.cipher);
            // What the server offered in clear is forgotten: the dialogue
            // starts again with EHLO, or with the greeting when TLS came first.
            offered_ = {};
            return target_.security == Security::Implicit ? State::Greeting : State::Ehlo;
        }
        failure = start.outcome.detail;
    }
    if (target_.security != Security::None)
        return FailWith(failure);
    Log(failure);
    return GoOnInClear(failure, false);
}

State Session::GoOnInClear(std::string reason, bool sameConnection)
{
    clearReason_ = std::move(reason);
    return sameConnection ? AfterHello() : State::Connect;
}

// Once, right before the password goes out in clear.
void Session::WarnLoginInClear()
{
    const bool v6 = target_.host.find(':') != std::string::npos;
    const std::string server =
        (v6 ? "[" + target_.host + "]" : target_.host) + ":" + std::to_string(target_.port);
    const std::string warning = "password sent in clear to " + server + " (" +
                                (clearReason_.empty() ? "no TLS" : clearReason_) + ")";
    Log("WARNING " + warning);
    if (report_ != nullptr && report_->warning.empty())
        report_->warning = PlainLine(warning);
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

} // namespace

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
    return Session(Route::Direct, nullptr, request, recipientToken, settings, report).Run();
}

bool SendToRecipientViaSMTP(const ServerLogin& login, const MailRequest& request,
                            const std::string& recipientToken, const SessionSettings& settings,
                            SendReport* report)
{
    return Session(Route::ViaServer, &login, request, recipientToken, settings, report).Run();
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
