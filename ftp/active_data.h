#pragma once

// Active mode's data connection, taken from the server only. In active mode
// the server connects back to a port this machine listens on; anyone who can
// reach that port could connect before the server and take the upload, or
// feed a download. Only the control connection's peer may: a connection from
// elsewhere is closed unread and the server's waited for, within the
// data-connection limit. libcurl closes its listening socket as soon as it
// has accepted one connection, so the close-socket callback hands that socket
// over here (KeepListener) for the wait.

#include "dialogue.h"

#include <optional>
#include <string>
#include <utility>

namespace hoistline {

class ActiveDataGuard
{
public:
    ActiveDataGuard() = default;
    ~ActiveDataGuard() { ReleaseListener(); }
    ActiveDataGuard(const ActiveDataGuard&) = delete;
    ActiveDataGuard& operator=(const ActiveDataGuard&) = delete;

    // The control connection's peer address, which alone may open the data
    // connection.
    void SetServerAddress(std::string address) { serverAddress_ = std::move(address); }
    // Through a SOCKS proxy the control connection's peer is the proxy, and
    // the server's own address is not known for certain: any peer is taken.
    void SetThroughProxy() { throughProxy_ = true; }

    // Takes over libcurl's listening socket `fd`, which it is closing; it
    // stays open until ReleaseListener (FtpCall::Perform closes it at the
    // latest).
    void KeepListener(int fd);
    void ReleaseListener();

    // Whether the data connection `fd` that libcurl accepted may stay: it
    // comes from the server, or the server's own connection arrives on the
    // kept listening socket before `since` (when the server was asked to
    // connect; now when unknown) plus `limitMs`, and takes over the
    // descriptor `fd`. Otherwise Verdict() says why.
    bool AcceptFromServer(int fd, std::optional<Clock::time_point> since, long limitMs);
    // Whether the server has left the request for a data connection, made
    // at `since`, unanswered for `limitMs`; Verdict() then says so.
    bool WaitExpired(std::optional<Clock::time_point> since, long limitMs);

    // Whether the wait for the server's data connection ran out, either way.
    bool Expired() const { return expired_; }
    // Why no data connection was taken; empty while nothing failed.
    const std::string& Verdict() const { return verdict_; }

private:
    std::string serverAddress_;
    bool throughProxy_ = false;
    int listener_ = -1;
    bool expired_ = false;
    std::string verdict_;
};

} // namespace hoistline
