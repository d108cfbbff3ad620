#include "reply.h"

namespace sendwick {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsContinuationLine(std::string_view line)
{
    return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           line[3] == '-';
}

} // namespace

std::size_t CompleteReplyLength(std::string_view buffer)
{
    std::size_t pos = 0;
    for (;;) {
        auto end = buffer.find("\r\n", pos);
        if (end == std::string_view::npos)
            return 0;
        std::string_view line = buffer.substr(pos, end - pos);
        pos = end + 2;
        if (!IsContinuationLine(line))
            return pos;
    }
}

int ReplyCode(std::string_view reply)
{
    if (reply.size() < 3 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2]))
        return -1;
    if (reply.size() > 3 && reply[3] != ' ' && reply[3] != '-' && reply[3] != '\r')
        return -1;
    return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

int CompleteReplyCode(std::string_view reply)
{
    const std::size_t length = CompleteReplyLength(reply);
    if (length == 0)
        return -1;
    int code = -1;
    // Within `length` every line ends with CR LF, and only the last one is
    // not a continuation line.
    for (std::size_t pos = 0; pos < length;) {
        const std::size_t end = reply.find("\r\n", pos);
        const int lineCode = ReplyCode(reply.substr(pos, end - pos));
        if (lineCode < 0 || (pos > 0 && lineCode != code))
            return -1;
        code = lineCode;
        pos = end + 2;
    }
    return code;
}

std::string Reply::LogText() const
{
    if (!text.empty())
        return text;
    // A reply that never arrived reads "TIME OUT" in the log, whether the
    // wait ran out or the peer hung up first (the session only stops waiting
    // sooner). No line end: the next entry continues the line.
    return "TIME OUT";
}

} // namespace sendwick
