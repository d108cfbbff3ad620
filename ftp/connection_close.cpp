// How libcurl's sockets are closed (its close-socket callback). A plain FTP
// control connection that libcurl drops without QUIT (after a refusal that
// fails the call) gets one, so the server reads a goodbye rather than a
// broken connection. An upload's TLS data connection is closed only once
// the server has closed its side: closing it early can cost the end of the
// upload. Active mode's listening socket is not closed here at all but kept
// for the peer check (active_data.h).

#include "ftp_call.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hoistline {
namespace {

// Ends a session libcurl is dropping without QUIT (it does so after any
// refusal that fails the call, a refused login or DELE say): sends QUIT and
// waits up to `waitMs` for the answer or the hang-up, so that the server reads
// a goodbye rather than a broken connection.
void SayGoodbye(int fd, long waitMs)
{
    static constexpr char kQuit[] = "QUIT\r\n";
    if (::send(fd, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL) != sizeof kQuit - 1)
        return;
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) == 0)
            return;
        char reply[512];
        ssize_t n = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0 || std::memchr(reply, '\n', static_cast<size_t>(n)) != nullptr)
            return;
    }
}

// Closes an upload's data connection only once the server has closed its
// side, having read everything. Over TLS the server sends on it too: TLS 1.3
// session tickets after the handshake (vsftpd as late as while the upload
// runs), then its close_notify. A socket closed with such bytes unread, or
// receiving them afterwards, is reset by the kernel, and the reset discards
// the part of the upload still queued for the server, which then fails the
// transfer (426). Waits while the server keeps taking queued bytes, giving up
// after `quietMs` without progress, as a stalled transfer would.
void LingerUntilPeerCloses(int fd, long quietMs)
{
    if (::shutdown(fd, SHUT_WR) != 0)
        return;
    auto deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    int queued = -1;
    while (Clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        int ready = ::poll(&readable, 1, 200);
        if (ready < 0 && errno != EINTR)
            return;
        char sink[4096];
        while (ready > 0) {
            ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0)
                return; // the server read all and closed
            if (n < 0 && errno != EINTR)
                break;
        }
        int left = 0;
        if (::ioctl(fd, SIOCOUTQ, &left) == 0 && left != queued) {
            queued = left;
            deadline = Clock::now() + std::chrono::milliseconds(quietMs);
        }
    }
}

} // namespace

int FtpCall::OnCloseSocket(void* self, curl_socket_t fd) noexcept
{
    auto* call = static_cast<FtpCall*>(self);
    int listening = 0;
    socklen_t optionSize = sizeof listening;
    if (call->active_ &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionSize) == 0 &&
        listening != 0) {
        call->activeData_.KeepListener(fd); // for the peer check; closed by Perform at the latest
        return 0;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    int port = -1;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        if (local.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        else if (local.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    }
    const bool control = call->controlPort_ > 0 && port == call->controlPort_;
    // Only a plain control connection can take a QUIT written to its socket
    // directly; inside TLS the bytes would break the record stream.
    if (control && call->scheme_ == Scheme::Ftp && call->dialogue_.InStepWithoutQuit())
        SayGoodbye(fd, call->limits_.replySeconds * 1000);
    const bool tls =
        call->scheme_ == Scheme::FtpExplicitTls || call->scheme_ == Scheme::FtpImplicitTls;
    curl_off_t sent = -1;
    curl_off_t size = -2;
    if (!control && tls && call->dialogue_.Awaits("STOR") && call->handle_ &&
        curl_easy_getinfo(call->handle_.get(), CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK &&
        curl_easy_getinfo(call->handle_.get(), CURLINFO_CONTENT_LENGTH_UPLOAD_T, &size) ==
            CURLE_OK &&
        sent == size)
        LingerUntilPeerCloses(fd, call->limits_.stallSeconds * 1000);
    return ::close(fd);
}

} // namespace hoistline
