#pragma once

#include "transport.h"

#include <string>
#include <sys/socket.h>
#include <vector>

namespace sendwick {

// Waits until `fd` is ready for `events` (poll flags) or `deadline` passes;
// false on time-out or error.
bool WaitForSocket(int fd, short events, Transport::Deadline deadline);

// One address of a host, to connect to on its own.
struct Endpoint
{
    std::string host; // as it was looked up: a name or an address
    int family = 0;
    int type = 0;
    int protocol = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text; // "127.0.0.1:25", "[::1]:25", "mx.example.org[127.0.0.1]:25"
};

// Every address of `host` (a name, found by the system resolver within its
// own time-outs, or a dotted or IPv6 address) on port `port`, in the
// resolver's order. Fails with "cannot resolve <host>: <reason>".
Outcome ResolveHost(const std::string& host, int port, std::vector<Endpoint>& endpoints);

// A plain TCP connection. The socket is non-blocking so that every wait is
// bounded: connecting, a peer that stops taking data, and a peer that stops
// answering cannot freeze the caller's thread.
class TcpTransport final : public Transport
{
public:
    // Connects to `endpoint` within `timeout`. Null with the reason in
    // `outcome` ("connection refused (127.0.0.1:25)") when that fails.
    static std::unique_ptr<TcpTransport>
    Connect(const Endpoint& endpoint, std::chrono::milliseconds timeout, Outcome& outcome);

    explicit TcpTransport(int fd) : fd_(fd) {}
    ~TcpTransport() override;
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    // Sends in consecutive pieces of at most 1024 bytes, each sent whole.
    Outcome Write(std::string_view bytes, std::chrono::milliseconds stallTimeout,
                  Deadline deadline) override;
    ReadStatus ReadSome(std::string& into, std::size_t max, Deadline deadline) override;
    // The bytes waiting in the socket's receive queue.
    std::size_t Buffered() const override;
    // Hands the socket to an OpenSSL client (tls_transport.h).
    TlsStart StartTls(const std::string& host, Deadline deadline) override;

private:
    int fd_ = -1;
};

} // namespace sendwick
