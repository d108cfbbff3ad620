#pragma once

#include "reply.h"

#include <chrono>
#include <string>
#include <string_view>

namespace sendwick {

// One TCP connection of one session. The socket is non-blocking so that
// every wait is bounded: connecting, a peer that stops taking data, and a
// peer that stops answering cannot freeze the caller's thread.
class Connection
{
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects to port `port` of `host` (a dotted address or a name resolved
    // by the system resolver, within its own time-outs), trying each address
    // in turn; the connection attempts together take at most `timeout`.
    [[nodiscard]] bool Open(const std::string& host, int port, std::chrono::milliseconds timeout,
                            std::string& error);

    // Sends `bytes` in consecutive pieces of at most 1024 bytes, each sent
    // whole. Fails when the connection breaks or the peer takes nothing for
    // `stallTimeout`. A closed peer never raises SIGPIPE in the caller.
    bool Send(std::string_view bytes, std::chrono::milliseconds stallTimeout);

    // Reads one whole reply in reads of at most 32 bytes, waiting at most
    // `timeout` from now. Bytes after the reply are kept for the next call.
    Reply ReadReply(std::chrono::milliseconds timeout);

    void Close();

private:
    int fd_ = -1;
    std::string pending_;
};

// Sends `command` (nothing when empty) and waits for the whole reply, the
// time-out counted from the moment the command has gone out. A failed send
// is not judged here: it shows up as a reply that does not come.
Reply SendCommand(Connection& connection, std::string_view command,
                  std::chrono::milliseconds timeout, std::chrono::milliseconds sendStallTimeout);

} // namespace sendwick
