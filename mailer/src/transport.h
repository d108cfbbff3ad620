#pragma once

#include "outcome.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace sendwick {

class Transport;

// What StartTls hands back: the transport that carries the rest of the
// session (null when the handshake failed), and on success the protocol and
// cipher agreed on.
struct TlsStart
{
    std::unique_ptr<Transport> transport;
    Outcome outcome;
    std::string protocol;
    std::string cipher;
};

// Carries a session's bytes, below the SMTP dialogue and its reply reader:
// a plain TCP connection, or TLS over one. Every wait is bounded, and a peer
// that has hung up never raises SIGPIPE in the caller.
class Transport
{
public:
    using Deadline = std::chrono::steady_clock::time_point;
    enum class ReadStatus { Data, TimedOut, Closed };

    virtual ~Transport() = default;

    // Writes all of `bytes`. Fails when the connection breaks, the peer
    // takes nothing at all for `stallTimeout`, or `deadline` passes first.
    virtual Outcome Write(std::string_view bytes, std::chrono::milliseconds stallTimeout,
                          Deadline deadline) = 0;

    // Appends to `into` at most `max` bytes, as soon as any have arrived,
    // waiting for them until `deadline`.
    virtual ReadStatus ReadSome(std::string& into, std::size_t max, Deadline deadline) = 0;

    // How many bytes have arrived and wait to be read, as far as can be told
    // without waiting.
    virtual std::size_t Buffered() const = 0;

    // Starts TLS on the connected socket, the handshake ending by `deadline`;
    // the server's certificate must be trusted and name `host` (a host name
    // or an address). This transport is spent either way.
    virtual TlsStart StartTls(const std::string& host, Deadline deadline) = 0;
};

// Lets a caller put its own transport around the session's one (tests inject
// faults this way); it wraps the connected transport and is handed nothing
// else.
using TransportWrapper = std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)>;

} // namespace sendwick
