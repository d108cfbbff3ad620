#pragma once

#include "transport.h"

namespace sendwick {

// Waits until `fd` is ready for `events` (poll flags) or `deadline` passes;
// false on time-out or error.
bool WaitForSocket(int fd, short events, Transport::Deadline deadline);

// A plain TCP connection. The socket is non-blocking so that every wait is
// bounded: connecting, a peer that stops taking data, and a peer that stops
// answering cannot freeze the caller's thread.
class TcpTransport final : public Transport
{
public:
    // Connects to port `port` of `host` (a dotted address or a name resolved
    // by the system resolver, within its own time-outs), trying each address
    // in turn; the connection attempts together take at most `timeout`.
    // Null with the reason in `outcome` when no attempt succeeded.
    static std::unique_ptr<TcpTransport>
    Connect(const std::string& host, int port, std::chrono::milliseconds timeout, Outcome& outcome);

    explicit TcpTransport(int fd) : fd_(fd) {}
    ~TcpTransport() override;
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    // Sends in consecutive pieces of at most 1024 bytes, each sent whole.
    Outcome Write(std::string_view bytes, std::chrono::milliseconds stallTimeout) override;
    ReadStatus ReadSome(std::string& into, std::size_t max, Deadline deadline) override;
    // The bytes waiting in the socket's receive queue.
    std::size_t Buffered() const override;
    // Hands the socket to an OpenSSL client (tls_transport.h).
    TlsStart StartTls(const std::string& host, Deadline deadline) override;

private:
    int fd_ = -1;
};

} // namespace sendwick
