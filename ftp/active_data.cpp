// Active mode's peer check: a data connection is taken only from the
// control connection's peer (see active_data.h), and the server's wait for
// one is bounded from the moment it was asked to connect.

#include "active_data.h"

#include "reasons.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hoistline {
namespace {

// The address a socket's peer has, as text, IPv4 also when mapped into IPv6.
std::string PeerAddress(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    char text[INET6_ADDRSTRLEN] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return {};
    if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address))
            ::inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &address, text, sizeof text);
    }
    return text;
}

} // namespace

void ActiveDataGuard::KeepListener(int fd)
{
    ReleaseListener();
    listener_ = fd;
}

void ActiveDataGuard::ReleaseListener()
{
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

bool ActiveDataGuard::AcceptFromServer(int fd, std::optional<Clock::time_point> since, long limitMs)
{
    std::string peer = PeerAddress(fd);
    if (throughProxy_ || serverAddress_.empty() ||
        strcasecmp(peer.c_str(), serverAddress_.c_str()) == 0) {
        ReleaseListener();
        return true;
    }
    std::string refused = peer;
    auto deadline = since.value_or(Clock::now()) + std::chrono::milliseconds(limitMs);
    while (listener_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd waiting{listener_, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        int next = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (next < 0)
            continue;
        peer = PeerAddress(next);
        if (strcasecmp(peer.c_str(), serverAddress_.c_str()) == 0) {
            // Closes the refused connection, whose descriptor libcurl holds.
            bool taken = ::dup3(next, fd, O_CLOEXEC) == fd;
            ::close(next);
            ReleaseListener();
            return taken;
        }
        ::close(next);
    }
    ReleaseListener();
    verdict_ = "refused a data connection from " + refused + ", which is not the server (" +
               serverAddress_ + "); the server did not open one within " + Duration(limitMs);
    expired_ = true;
    return false;
}

bool ActiveDataGuard::WaitExpired(std::optional<Clock::time_point> since, long limitMs)
{
    if (!since || Clock::now() - *since < std::chrono::milliseconds(limitMs))
        return false;
    verdict_ =
        "the server did not open the data connection within " + std::to_string(limitMs) + " ms";
    expired_ = true;
    return true;
}

} // namespace hoistline
