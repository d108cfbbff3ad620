#include "route_check.h"

#include "compose.h"
#include "dialogue.h"
#include "server_address.h"
#include "tcp_transport.h"

#include <set>

namespace sendwick {
namespace {

// Why none of `hosts` (after the redirect) has an address on `port`, as a
// session that tries them in turn ends up saying; empty when one has.
std::string NoAddressAmong(const std::vector<std::string>& hosts, int port)
{
    std::string reason;
    for (const std::string& name : hosts) {
        const std::string host = ApplyHostRedirect(name);
        std::vector<Endpoint> endpoints;
        const Outcome resolved = ResolveHost(host, port, endpoints);
        if (resolved.ok() && !endpoints.empty())
            return {};
        reason = resolved.ok() ? "no address for " + host : resolved.detail;
    }
    return reason;
}

std::string DomainProblem(const std::string& domain, const SessionSettings& settings)
{
    const MailHosts found =
        settings.lookupExchanger ? settings.lookupExchanger(domain) : LookUpMailHosts(domain);
    if (found.hosts.empty())
        return found.failure.empty() ? "no mail exchanger found for " + domain : found.failure;
    return NoAddressAmong(found.hosts, settings.port);
}

} // namespace

std::vector<std::string> CheckRoute(const ServerLogin* login, const std::string& from,
                                    const std::string& recipients, const SessionSettings& settings)
{
    std::vector<std::string> findings;
    std::vector<std::string> tokens;
    for (const std::string& token : SplitList(recipients, ';'))
        if (smtp::IsAcceptedRecipient(token))
            tokens.push_back(token);
    if (tokens.empty())
        return findings;
    const auto found = [&findings](std::string_view about, std::string_view problem) {
        findings.push_back(smtp::PlainLine(about) + ": " + smtp::PlainLine(problem));
    };

    if (std::string problem = smtp::SenderProblem(from, SplitMailbox(from).address);
        !problem.empty())
        found("sender " + from, problem);
    std::set<std::string> domains;
    for (const std::string& token : tokens) {
        const Mailbox recipient = SplitMailbox(token);
        if (std::string problem = smtp::AddressProblem(token, recipient.address);
            !problem.empty()) {
            found(token, problem);
            continue;
        }
        if (login != nullptr)
            continue;
        const std::string domain = DomainOf(recipient.address);
        if (!domains.insert(domain).second)
            continue;
        if (std::string problem = DomainProblem(domain, settings); !problem.empty())
            found(recipient.address, problem);
    }
    if (login != nullptr) {
        ServerAddress target;
        const Outcome parsed = ParseServerText(login->server, settings.port, target);
        if (!parsed.ok())
            found("server " + login->server, parsed.detail);
        else if (std::string problem = NoAddressAmong({target.host}, target.port); !problem.empty())
            found("server " + login->server, problem);
    }
    return findings;
}

} // namespace sendwick
