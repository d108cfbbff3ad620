#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sendwick {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kSendPiece = 1024;
constexpr std::size_t kReadPiece = 32;

int MillisecondsLeft(Clock::time_point deadline)
{
    // Rounded up: a wait cut short by the rounding would end a time-out early.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline)
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

int ConnectOne(const addrinfo& ai, Clock::time_point deadline, std::string& error)
{
    int fd = socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (connect(fd, ai.ai_addr, ai.ai_addrlen) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    if (!WaitFor(fd, POLLOUT, deadline)) {
        error = "connection timed out";
        close(fd);
        return -1;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
        error = std::strerror(soError != 0 ? soError : errno);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Connection::~Connection()
{
    Close();
}

void Connection::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool Connection::Open(const std::string& host, int port, std::chrono::milliseconds timeout,
                      std::string& error)
{
    Close();
    auto deadline = Clock::now() + timeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        error = host + ": " + gai_strerror(rc);
        return false;
    }
    error = host + ": no address";
    for (addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
        if (Clock::now() >= deadline) {
            error = host + ": connection timed out";
            break;
        }
        std::string reason;
        fd_ = ConnectOne(*ai, deadline, reason);
        if (fd_ < 0)
            error = host + ": " + reason;
    }
    freeaddrinfo(list);
    return fd_ >= 0;
}

bool Connection::Send(std::string_view bytes, std::chrono::milliseconds stallTimeout)
{
    if (fd_ < 0)
        return false;
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
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                WaitFor(fd_, POLLOUT, Clock::now() + stallTimeout))
                continue;
            return false;
        }
        done += piece;
    }
    return true;
}

Reply Connection::ReadReply(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    Reply reply;
    for (;;) {
        if (std::size_t length = CompleteReplyLength(pending_); length > 0) {
            reply.status = ReplyStatus::Complete;
            reply.text = pending_.substr(0, length);
            reply.code = CompleteReplyCode(reply.text);
            pending_.erase(0, length);
            return reply;
        }
        if (pending_.size() > kMaxReplyBytes) {
            reply.status = ReplyStatus::TooLong;
            break;
        }
        if (fd_ < 0) {
            reply.status = ReplyStatus::Closed;
            break;
        }
        if (!WaitFor(fd_, POLLIN, deadline)) {
            reply.status = ReplyStatus::TimedOut;
            break;
        }
        char buffer[kReadPiece];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            reply.status = ReplyStatus::Closed;
            break;
        }
    }
    reply.text = std::move(pending_);
    pending_.clear();
    return reply;
}

Reply SendCommand(Connection& connection, std::string_view command,
                  std::chrono::milliseconds timeout, std::chrono::milliseconds sendStallTimeout)
{
    if (!command.empty())
        connection.Send(command, sendStallTimeout);
    return connection.ReadReply(timeout);
}

} // namespace sendwick
