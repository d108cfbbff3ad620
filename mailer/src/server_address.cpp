#include "server_address.h"

#include <algorithm>
#include <array>

namespace sendwick {

namespace {

struct Scheme
{
    std::string_view prefix;
    Security security;
    int defaultPort;
};

constexpr std::array kSchemes{
    Scheme{"smtp+starttls://", Security::StartTls, 587},
    Scheme{"smtps://", Security::Implicit, 465},
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               // ASCII only, whatever the program's locale.
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(a) == lower(b);
           });
}

Outcome Bad(std::string detail)
{
    return Outcome::Failure(Outcome::Code::BadInput, "server text: " + std::move(detail));
}

// "1" to "65535", digits only.
bool ReadPort(std::string_view text, int& port)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

} // namespace

Outcome ParseServerText(std::string_view text, int plainPort, ServerAddress& address)
{
    const Scheme* scheme = nullptr;
    for (const Scheme& s : kSchemes) {
        if (StartsWithNoCase(text, s.prefix))
            scheme = &s;
    }
    std::string_view authority = text;
    if (scheme != nullptr) {
        authority.remove_prefix(scheme->prefix.size());
        if (!authority.empty() && authority.back() == '/')
            authority.remove_suffix(1);
    } else if (text.find("://") != std::string_view::npos) {
        return Bad("unknown scheme");
    }

    std::string_view host = authority;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return Bad("no closing bracket");
        host = authority.substr(1, close - 1);
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return Bad("text after the bracketed address");
            portText = rest.substr(1);
            hasPort = true;
        }
    } else if (const auto colon = authority.find(':');
               colon != std::string_view::npos &&
               authority.find(':', colon + 1) == std::string_view::npos) {
        host = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
        hasPort = true;
    }
    if (host.empty())
        return Bad("no host");
    if (host.find_first_of("/@") != std::string_view::npos)
        return Bad("not a host name");

    ServerAddress parsed;
    parsed.host = std::string(host);
    if (hasPort && !ReadPort(portText, parsed.port))
        return Bad("bad port");
    if (scheme != nullptr) {
        parsed.security = scheme->security;
        if (!hasPort)
            parsed.port = scheme->defaultPort;
    } else if (hasPort) {
        parsed.security = parsed.port == 587   ? Security::StartTls
                          : parsed.port == 465 ? Security::Implicit
                                               : Security::None;
    } else {
        parsed.port = plainPort;
    }
    address = std::move(parsed);
    return Outcome::Success();
}

} // namespace sendwick
