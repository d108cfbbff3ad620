#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Recognising SMTP replies in the bytes read so far (RFC 5321 4.2.1).
namespace sendwick {

// A reply longer than this is not a reply but a misbehaving peer.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// Length of the complete reply at the start of `buffer`, or 0 while it is
// still incomplete. A multi-line reply ends with its first line whose code
// is not followed by "-"; every line ends with CR LF.
std::size_t CompleteReplyLength(std::string_view buffer);

// The three-digit code that opens a reply line, or -1 when it does not open
// with three digits followed by a blank, a hyphen or the line end.
int ReplyCode(std::string_view reply);

// The code of the complete reply at the start of `reply`: the code of its
// last line, provided every line opens with that same code; -1 otherwise, or
// while the reply is incomplete. Every line of a multi-line reply carries one
// code (RFC 5321 4.2.1), so "250-ok" followed by "550 no such user" is no
// acceptance, and a later line is never taken on trust from the first.
int CompleteReplyCode(std::string_view reply);

// How the wait for a reply ended.
enum class ReplyStatus {
    Complete,
    TimedOut, // the time-out passed before the reply was complete
    Closed,   // the peer closed or reset the connection first
    TooLong,  // the peer kept sending without ever completing a reply
};

struct Reply
{
    ReplyStatus status = ReplyStatus::TimedOut;
    std::string text; // as received; partial unless Complete
    int code = -1;    // only for Complete: CompleteReplyCode of the text

    bool Has(int expected) const { return status == ReplyStatus::Complete && code == expected; }
    // The text the session log shows for this reply: what arrived, or
    // "TIME OUT" when nothing did.
    std::string LogText() const;
};

} // namespace sendwick
