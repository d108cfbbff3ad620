#pragma once

// What the SMTP dialogue of one session is made of: its states and their
// names, what each state sends and waits for, what a server offers in its
// EHLO reply, and how a failed wait or a refusal is told.

#include "reply.h"

#include <chrono>
#include <string>
#include <string_view>

namespace sendwick::smtp {

enum class Route { Direct, ViaServer };

// The states of one session, in dialogue order. Every session starts with
// Connect. Direct delivery goes Greeting, Helo, MailFrom onwards. Through a
// server it greets with Ehlo (Helo only for a server that refuses EHLO) and
// logs in; with STARTTLS it says Ehlo, StartTls, UpgradeTls and Ehlo again
// over TLS, and with TLS from the start UpgradeTls comes before the Greeting.
// A greeting that refuses the session goes back to Connect for the next
// address; a STARTTLS that fails ends the session.
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

std::string_view NameOf(State state);
// What a state's step waits for, as a reason names it: "(RCPT TO)".
std::string_view WaitedFor(State state);

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

// Every line after the first names one extension and its parameters. Old
// servers still write "AUTH=LOGIN" beside or instead of "AUTH LOGIN".
Capabilities ReadCapabilities(std::string_view reply);

// Skipped tokens count as handled: no "@", or "@" as the first character.
bool IsAcceptedRecipient(const std::string& token);
// An address travels between "<" and ">" in MAIL FROM and RCPT TO. A blank or
// an angle bracket inside it would close the path early and hand the rest to
// the server as parameters of the command ("dba@example.org> NOTIFY=SUCCESS").
// Blanks around it are sent as written: a recipient listed after "; " starts
// with one, and inside the brackets it cannot end the path.
bool HasInnerBlankOrBracket(std::string_view address);
// Why a mailbox text (`mailbox`, its address part `address`) cannot go into
// MAIL FROM or RCPT TO and the FROM or TO header; empty when it can. Besides a
// line break and what HasInnerBlankOrBracket finds: any other control byte,
// which a server or a mail reader may take for a line end or drop, and a
// comma, which makes one token two addresses ("a@x,b@x") that no server takes
// as one path.
std::string AddressProblem(std::string_view mailbox, std::string_view address);
// AddressProblem, and for the sender also an address with nothing on one
// side of its "@" ("Veltrane <@>" from an empty user and server), which
// gives an empty HELO domain and a path no server takes.
std::string SenderProblem(std::string_view mailbox, std::string_view address);
// A reason as one short line: control bytes are written out (the log and
// the caller both take it as one line), and a long server text is cut.
std::string PlainLine(std::string_view text);
// "5 min", "3 s", or "3500 ms" for a wait that is no whole number of seconds.
std::string Duration(std::chrono::milliseconds wait);
// The last line of a complete reply, without its line end: it carries the
// code that counts, and mostly the words.
std::string_view LastLine(const Reply& reply);
// Why the session cannot go on after `reply` to the step of `state`: the
// server's refusal in its own words, or what became of the wait.
std::string ReplyFailure(State state, const Reply& reply, std::chrono::milliseconds timeout);

} // namespace sendwick::smtp
