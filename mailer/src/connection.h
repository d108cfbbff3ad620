#pragma once

#include "reply.h"
#include "tcp_transport.h"
#include "transport.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace sendwick {

// One connection of one session: its transport (plain TCP, or TLS once
// started) and the reply reader above it, which keeps the bytes that came
// after a reply for the next one.
class Connection
{
public:
    // Connects over TCP (TcpTransport::Connect) and, when `wrap` is given,
    // puts the caller's transport around it.
    [[nodiscard]] Outcome Open(const Endpoint& endpoint, std::chrono::milliseconds timeout,
                               const TransportWrapper& wrap = {});

    // Sends `bytes` whole. A connection that broke, a peer that takes
    // nothing for `stallTimeout`, or `deadline` passing fails it.
    bool Send(std::string_view bytes, std::chrono::milliseconds stallTimeout,
              Transport::Deadline deadline);

    // Reads one whole reply in reads of at most 32 bytes, waiting until
    // `deadline` at most. Bytes after the reply are kept for the next call.
    Reply ReadReply(Transport::Deadline deadline);

    // Whether bytes beyond the last reply have arrived: read already, or
    // waiting in the transport.
    bool HasUnreadBytes() const;

    // Starts TLS on the connection (Transport::StartTls). When it fails the
    // connection is closed.
    TlsStart StartTls(const std::string& host, Transport::Deadline deadline);

    void Close();

private:
    std::unique_ptr<Transport> transport_;
    std::string pending_;
};

// Sends `command` (nothing when empty) and waits for the whole reply, the
// time-out counted from the moment the command has gone out; nothing waits
// past `limit`. A failed send is not judged here: it shows up as a reply that
// does not come.
Reply SendCommand(Connection& connection, std::string_view command,
                  std::chrono::milliseconds timeout, std::chrono::milliseconds sendStallTimeout,
                  Transport::Deadline limit);

} // namespace sendwick
