#include "dialogue.h"

#include "mail_log.h"

#include <algorithm>
#include <array>
#include <sstream>
#include <vector>

namespace sendwick::smtp {
namespace {

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

} // namespace

std::string_view NameOf(State state)
{
    return kStateNames[static_cast<std::size_t>(state)];
}

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

bool IsAcceptedRecipient(const std::string& token)
{
    auto at = token.find('@');
    return at != std::string::npos && at >= 1;
}

bool HasInnerBlankOrBracket(std::string_view address)
{
    constexpr std::string_view blanks = " \t";
    const auto first = address.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return false;
    const auto last = address.find_last_not_of(blanks);
    return address.substr(first, last - first + 1).find_first_of(" \t<>") != std::string_view::npos;
}

std::string AddressProblem(std::string_view mailbox, std::string_view address)
{
    if (mailbox.find_first_of("\r\n") != std::string_view::npos)
        return "line break in address";
    const bool control = std::any_of(mailbox.begin(), mailbox.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
    if (control)
        return "control byte in address";
    if (HasInnerBlankOrBracket(address))
        return "blank or angle bracket in address";
    if (address.find(',') != std::string_view::npos)
        return "comma in address (separate addresses with \";\")";
    return {};
}

std::string SenderProblem(std::string_view mailbox, std::string_view address)
{
    if (std::string problem = AddressProblem(mailbox, address); !problem.empty())
        return problem;
    constexpr std::string_view blanks = " \t";
    const auto first = address.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return "no sender address";
    address = address.substr(first, address.find_last_not_of(blanks) - first + 1);
    const std::size_t at = address.find('@');
    if (at != std::string_view::npos && (at == 0 || at + 1 == address.size()))
        return "sender address \"" + std::string(address) + "\" lacks a user or a domain";
    return {};
}

std::string PlainLine(std::string_view text)
{
    constexpr std::size_t kMaxReasonBytes = 200;
    return EscapeControls(text.substr(0, kMaxReasonBytes));
}

std::string Duration(std::chrono::milliseconds wait)
{
    if (wait.count() % 60000 == 0)
        return std::to_string(wait.count() / 60000) + " min";
    return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                    : std::to_string(wait.count()) + " ms";
}

std::string_view LastLine(const Reply& reply)
{
    std::string_view text = reply.text;
    text.remove_suffix(std::min<std::size_t>(2, text.size()));
    const std::size_t lineEnd = text.rfind("\r\n");
    return lineEnd == std::string_view::npos ? text : text.substr(lineEnd + 2);
}

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

} // namespace sendwick::smtp
