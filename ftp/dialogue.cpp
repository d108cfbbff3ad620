// Following the FTP dialogue line by line: which command each final reply
// answers (replies come in order, the greeting first), multi-line replies
// read to their end, and what the replies to STOR, RETR, PORT and EPRT say
// about the data connection and the file.

#include "dialogue.h"

#include "reasons.h"

#include <cctype>
#include <utility>

namespace hoistline {
namespace {

// In "(1234 bytes)" the digits, as the byte count of a transfer.
std::optional<std::int64_t> ByteCountIn(std::string_view line)
{
    auto end = line.find(" bytes");
    if (end == std::string_view::npos)
        return std::nullopt;
    auto start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1])))
        --start;
    if (start == end || start == 0 || line[start - 1] != '(' || end - start > 18)
        return std::nullopt;
    std::int64_t count = 0;
    for (auto i = start; i < end; ++i)
        count = count * 10 + (line[i] - '0');
    return count;
}

} // namespace

void Dialogue::Sent(std::string_view command)
{
    std::string verb(command.substr(0, command.find_first_of(" \r\n")));
    for (auto& c : verb)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (verb == "QUIT")
        quitSent_ = true;
    if (verb == "PORT" || verb == "EPRT")
        waitingForDataSince_ = Clock::now();
    if (verb == "STOR")
        storeSent_ = true;
    if (verb != "QUIT")
        refusal_.reset();
    awaiting_.push_back(std::move(verb));
}

void Dialogue::Received(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                 std::isdigit(static_cast<unsigned char>(line[1])) &&
                 std::isdigit(static_cast<unsigned char>(line[2]));
    if (!coded)
        return; // text inside a multi-line reply, or no FTP reply at all
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    bool last = line.size() == 3 || line[3] == ' ';
    if (multiLineCode_ != 0) {
        // Only "<same code> " ends a multi-line reply.
        if (code != multiLineCode_ || !last)
            return;
        multiLineCode_ = 0;
    } else if (!last) {
        if (line[3] == '-')
            multiLineCode_ = code;
        return;
    }
    if (code < 200) {
        // A preliminary reply: the command goes on.
        if (!awaiting_.empty() && awaiting_.front() == "RETR")
            announcedSize_ = ByteCountIn(line);
        return;
    }
    FinalReply(code, line);
}

void Dialogue::FinalReply(int code, std::string_view line)
{
    if (awaiting_.empty())
        return; // a reply nobody asked for
    lastVerb_ = std::move(awaiting_.front());
    awaiting_.pop_front();
    if (lastVerb_.empty())
        greetingCode_ = code;
    codes_[lastVerb_] = code;
    if (lastVerb_ != "QUIT") {
        if (code >= 400)
            refusal_ = Refusal{lastVerb_, PlainLine(line)};
        else
            refusal_.reset();
    }
    // The transfer is over, with or without a data connection; or the
    // server would not connect back at all.
    if (lastVerb_ == "RETR" || lastVerb_ == "STOR")
        transferReplyCode_ = code;
    if (lastVerb_ == "RETR" || lastVerb_ == "STOR" ||
        ((lastVerb_ == "PORT" || lastVerb_ == "EPRT") && code >= 400))
        waitingForDataSince_.reset();
}

} // namespace hoistline
