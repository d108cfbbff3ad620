#pragma once

#include <string>
#include <utility>

namespace sendwick {

// The one shape in which the library's fallible operations report: a code to
// decide on and the reason in words for the session log. The exported calls
// answer only 1 or 0; the words end up in the log, and GetLastMailError tells
// them to the caller.
struct Outcome
{
    enum class Code {
        Ok,
        BadInput, // a caller's text that cannot be used (a server text without a host)
        Network,  // no connection, or it broke or stalled
        TimedOut, // the peer did not answer in time
        Tls,      // the handshake or the check of the server's certificate failed
        Refused,  // the peer behaved so that the session must not go on
        Log,      // the session log cannot be opened or written
    };

    Code code = Code::Ok;
    std::string detail; // empty when Ok

    static Outcome Success() { return {}; }
    static Outcome Failure(Code code, std::string detail) { return {code, std::move(detail)}; }
    bool ok() const { return code == Code::Ok; }
};

} // namespace sendwick
