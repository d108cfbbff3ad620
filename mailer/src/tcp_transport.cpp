#include "tcp_transport.h"

#include "tls_transport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace sendwick {

namespace {

using Clock = std::chrono::steady_clock;

// The most one send() is offered: the socket takes what fits and the rest
// waits for room. Large, so that a message of megabytes costs a few hundred
// calls rather than one per kilobyte.
constexpr std::size_t kSendPiece = 64 * 1024;

int MillisecondsLeft(Transport::Deadline deadline)
{
    // Rounded up: a wait cut short by the rounding would end a time-out early.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// "127.0.0.1:25", "[::1]:25", or "mx.example.org[127.0.0.1]:25" for a name.
std::string EndpointText(const std::string& host, const addrinfo& ai, int port)
{
    char number[NI_MAXHOST] = "?";
    getnameinfo(ai.ai_addr, ai.ai_addrlen, number, sizeof number, nullptr, 0, NI_NUMERICHOST);
    const std::string address = number;
    const std::string suffix = std::string(":").append(std::to_string(port));
    if (host == address)
        return ai.ai_family == AF_INET6 ? "[" + address + "]" + suffix : address + suffix;
    return host + "[" + address + "]" + suffix;
}

} // namespace

bool WaitForSocket(int fd, short events, Transport::Deadline deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, MillisecondsLeft(deadline));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

Outcome ResolveHost(const std::string& host, int port, std::vector<Endpoint>& endpoints)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0)
        return Outcome::Failure(Outcome::Code::Network,
                                "cannot resolve " + host + ": " + gai_strerror(rc));
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Endpoint endpoint;
        endpoint.host = host;
        endpoint.family = ai->ai_family;
        endpoint.type = ai->ai_socktype;
        endpoint.protocol = ai->ai_protocol;
        std::memcpy(&endpoint.address, ai->ai_addr, ai->ai_addrlen);
        endpoint.length = ai->ai_addrlen;
        endpoint.text = EndpointText(host, *ai, port);
        endpoints.push_back(std::move(endpoint));
    }
    freeaddrinfo(list);
    return Outcome::Success();
}

std::unique_ptr<TcpTransport>
TcpTransport::Connect(const Endpoint& endpoint, std::chrono::milliseconds timeout, Outcome& outcome)
{
    const auto deadline = Clock::now() + timeout;
    auto failed = [&](std::string error) {
        // "connection refused (127.0.0.1:25)"
        if (!error.empty())
            error[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(error[0])));
        outcome = Outcome::Failure(Outcome::Code::Network, error + " (" + endpoint.text + ")");
        return nullptr;
    };
    const int fd =
        socket(endpoint.family, endpoint.type | SOCK_NONBLOCK | SOCK_CLOEXEC, endpoint.protocol);
    if (fd < 0)
        return failed(std::strerror(errno));
    auto transport = std::make_unique<TcpTransport>(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) != 0) {
        if (errno != EINPROGRESS)
            return failed(std::strerror(errno));
        if (!WaitForSocket(fd, POLLOUT, deadline))
            return failed("connection timed out");
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
            return failed(std::strerror(soError != 0 ? soError : errno));
    }
    outcome = Outcome::Success();
    return transport;
}

TcpTransport::~TcpTransport()
{
    if (fd_ >= 0)
        close(fd_);
}

Outcome TcpTransport::Write(std::string_view bytes, std::chrono::milliseconds stallTimeout,
                            Deadline deadline)
{
    if (fd_ < 0)
        return Outcome::Failure(Outcome::Code::Network, "not connected");
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t piece = std::min(kSendPiece, bytes.size() - done);
        std::size_t pieceDone = 0;
        while (pieceDone < piece) {
            // MSG_NOSIGNAL: a peer that hung up yields EPIPE here instead of
            // a SIGPIPE that would end the calling program.
            ssize_t n = send(fd_, bytes.data() + done + pieceDone, piece - pieceDone, MSG_NOSIGNAL);
            if (n > 0) {
                pieceDone += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (WaitForSocket(fd_, POLLOUT, std::min(Clock::now() + stallTimeout, deadline)))
                    continue;
                return Outcome::Failure(Outcome::Code::TimedOut, "the peer takes no data");
            }
            return Outcome::Failure(Outcome::Code::Network,
                                    n < 0 ? std::strerror(errno) : "connection closed");
        }
        done += piece;
    }
    return Outcome::Success();
}

Transport::ReadStatus TcpTransport::ReadSome(std::string& into, std::size_t max, Deadline deadline)
{
    char buffer[1024];
    max = std::min(max, sizeof buffer);
    for (;;) {
        if (fd_ < 0)
            return ReadStatus::Closed;
        ssize_t n = recv(fd_, buffer, max, 0);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            return ReadStatus::Data;
        }
        if (n == 0)
            return ReadStatus::Closed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return ReadStatus::Closed;
        if (!WaitForSocket(fd_, POLLIN, deadline))
            return ReadStatus::TimedOut;
    }
}

std::size_t TcpTransport::Buffered() const
{
    int count = 0;
    if (fd_ < 0 || ioctl(fd_, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::size_t>(count);
}

TlsStart TcpTransport::StartTls(const std::string& host, Deadline deadline)
{
    return StartClientTls(std::exchange(fd_, -1), host, deadline);
}

} // namespace sendwick
