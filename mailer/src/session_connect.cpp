#include "session_machine.h"
#include "tcp_transport.h"

namespace sendwick::smtp {

bool Session::FindHosts()
{
    if (route_ == Route::ViaServer) {
        Outcome parsed = ParseServerText(login_->server, settings_.port, target_);
        if (!parsed.ok()) {
            FailWith(parsed.detail);
            return false;
        }
        hosts_ = {target_.host};
        return true;
    }
    const std::string domain = DomainOf(recipient_.address);
    MailHosts found =
        settings_.lookupExchanger ? settings_.lookupExchanger(domain) : LookUpMailHosts(domain);
    if (found.hosts.empty()) {
        const std::string reason =
            found.failure.empty() ? "no mail exchanger found for " + domain : found.failure;
        Log(reason);
        FailWith(reason, false);
        return false;
    }
    target_ = {{}, settings_.port, Security::None};
    hosts_ = std::move(found.hosts);
    return true;
}

// Connects to the address to try: the current host's, else the first of the
// next host; after a failed attempt, the next one.
State Session::Connect()
{
    connection_.Close();
    tls_ = false;
    offered_ = {};
    for (;;) {
        if (Clock::now() >= deadline_)
            return FailWith(std::string("no connection within the session's ")
                                .append(Duration(settings_.sessionTimeout)));
        if (endpoint_ >= endpoints_.size()) {
            if (nextHost_ >= hosts_.size())
                return FailWith(unreachable_, false);
            target_.host = ApplyHostRedirect(hosts_[nextHost_++]);
            endpoints_.clear();
            endpoint_ = 0;
            clearReason_.clear();
            Outcome resolved = ResolveHost(target_.host, target_.port, endpoints_);
            if (!resolved.ok())
                Unreachable(resolved.detail);
            else if (endpoints_.empty())
                Unreachable("no address for " + target_.host);
            continue;
        }
        const Endpoint& endpoint = endpoints_[endpoint_];
        const bool again = connections_++ > 0 || !unreachable_.empty();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        Outcome opened = connection_.Open(endpoint, std::min(settings_.connectTimeout, left),
                                          settings_.wrapTransport);
        if (opened.ok()) {
            // Which address took over after another did not.
            if (again)
                Log("connected to " + endpoint.text);
            return target_.security == Security::Implicit ? State::UpgradeTls : State::Greeting;
        }
        Unreachable(opened.detail);
        NextAddress();
    }
}

bool Session::MoreAddresses() const
{
    return endpoint_ + 1 < endpoints_.size() || nextHost_ < hosts_.size();
}

void Session::NextAddress()
{
    ++endpoint_;
    clearReason_.clear();
}

void Session::Unreachable(const std::string& reason)
{
    Log(reason);
    unreachable_ = reason;
}

State Session::UpgradeTls()
{
    // RFC 3207 4.2: nothing the server sent in clear may count once TLS is
    // on. Bytes that came after its reply to STARTTLS could be an attacker's
    // answers to the commands still to come.
    std::string failure;
    if (target_.security != Security::Implicit && connection_.HasUnreadBytes()) {
        failure = "bytes in clear after the STARTTLS reply";
    } else {
        TlsStart start = connection_.StartTls(
            target_.host, std::min(Clock::now() + settings_.tlsHandshakeTimeout, deadline_));
        if (start.outcome.ok()) {
            tls_ = true;
            Log("TLS " + start.protocol + " " + start.cipher);
            // What the server offered in clear is forgotten: the dialogue
            // starts again with EHLO, or with the greeting when TLS came first.
            offered_ = {};
            return target_.security == Security::Implicit ? State::Greeting : State::Ehlo;
        }
        failure = start.outcome.detail;
    }
    // Whatever the port: a handshake or certificate check that fails may be
    // someone on the path, and a new connection in clear would hand them the
    // login.
    return FailWith(failure);
}

// Once, right before the password goes out in clear.
void Session::WarnLoginInClear()
{
    const bool v6 = target_.host.find(':') != std::string::npos;
    const std::string server =
        (v6 ? "[" + target_.host + "]" : target_.host) + ":" + std::to_string(target_.port);
    const std::string warning = "password sent in clear to " + server + " (" +
                                (clearReason_.empty() ? "no TLS" : clearReason_) + ")";
    Log("WARNING " + warning);
    if (report_ != nullptr && report_->warning.empty())
        report_->warning = PlainLine(warning);
}

} // namespace sendwick::smtp
