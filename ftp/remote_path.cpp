// The caller's texts made safe for the transfer layer: the server text read
// into a scheme and a host, the folders requested before an upload, the URL
// with every path byte percent-encoded, and the checks that refuse a path a
// command could be smuggled in with.

#include "remote_path.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <strings.h>

namespace hoistline {
namespace {

bool IsUnreserved(unsigned char c)
{
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool IsHostChar(unsigned char c)
{
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':';
}

// A bare host name, dotted address or IPv6 address, ready for the URL (IPv6
// in brackets). Anything else ("user@host", "host/x", spaces) is refused
// rather than left for the URL parser to reinterpret.
std::optional<std::string> UrlHost(std::string_view server)
{
    bool bracketed = server.size() >= 2 && server.front() == '[' && server.back() == ']';
    if (bracketed)
        server = server.substr(1, server.size() - 2);
    if (server.empty())
        return std::nullopt;
    for (unsigned char c : server) {
        if (!IsHostChar(c))
            return std::nullopt;
    }
    if (server.find(':') != std::string_view::npos) {
        // Colons only in an IPv6 address: "host:21" is no host.
        in6_addr address{};
        if (inet_pton(AF_INET6, std::string(server).c_str(), &address) != 1)
            return std::nullopt;
        std::string bracketedHost = "[";
        bracketedHost.append(server).append("]");
        return bracketedHost;
    }
    if (bracketed)
        return std::nullopt;
    return std::string(server);
}

// Whether the byte at `i` lies in a segment "." or "..": the URL layer would
// take such a segment away (and its parent with ".."), so its dots travel
// escaped and reach the server as written.
bool InDotSegment(std::string_view path, std::size_t i)
{
    if (path[i] != '.')
        return false;
    const std::size_t start =
        path.rfind('/', i) == std::string_view::npos ? 0 : path.rfind('/', i) + 1;
    const std::size_t end = std::min(path.find('/', i), path.size());
    const std::string_view segment = path.substr(start, end - start);
    return segment == "." || segment == "..";
}

void AppendEscaped(std::string& out, unsigned char c)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

} // namespace

std::vector<std::string> FolderRequests(std::string_view remotePath)
{
    std::vector<std::string> folders;
    for (std::size_t i = 2; i < remotePath.size(); ++i) {
        if (remotePath[i] == '/')
            folders.emplace_back(remotePath.substr(0, i));
    }
    return folders;
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasControlByte(std::string_view text)
{
    for (unsigned char c : text) {
        if (c < 0x20)
            return true;
    }
    return false;
}

Outcome CheckRemotePath(std::string_view remotePath)
{
    if (remotePath.empty())
        return Failure("the remote path is empty");
    if (HasLineBreak(remotePath))
        return Failure("the remote path holds a line break");
    if (remotePath.find('\0') != std::string_view::npos)
        return Failure("the remote path holds a NUL byte");
    if (remotePath.back() == '/')
        return Failure("the remote path names a folder, not a file");
    return Success();
}

std::optional<ServerName> ParseServer(std::string_view server)
{
    struct Prefix
    {
        std::string_view text;
        Scheme scheme;
    };
    static constexpr std::array<Prefix, 4> kPrefixes{{{"ftp://", Scheme::Ftp},
                                                      {"ftpes://", Scheme::FtpExplicitTls},
                                                      {"ftps://", Scheme::FtpImplicitTls},
                                                      {"sftp://", Scheme::Sftp}}};
    ServerName name;
    if (server.find("://") != std::string_view::npos) {
        auto known = std::find_if(kPrefixes.begin(), kPrefixes.end(), [&](const Prefix& p) {
            return server.size() > p.text.size() &&
                   strncasecmp(server.data(), p.text.data(), p.text.size()) == 0;
        });
        if (known == kPrefixes.end())
            return std::nullopt;
        name.scheme = known->scheme;
        server.remove_prefix(known->text.size());
    }
    auto host = UrlHost(server);
    if (!host)
        return std::nullopt;
    name.host = std::move(*host);
    return name;
}

int DefaultPort(Scheme scheme)
{
    switch (scheme) {
    case Scheme::FtpImplicitTls:
        return 990;
    case Scheme::Sftp:
        return 22;
    case Scheme::Ftp:
    case Scheme::FtpExplicitTls:
        break;
    }
    return 21;
}

std::optional<std::string> FileUrl(std::string_view server, int port, std::string_view remotePath)
{
    auto name = ParseServer(server);
    if (!name)
        return std::nullopt;
    bool sftp = name->scheme == Scheme::Sftp;
    // AUTH TLS is asked for on a plain "ftp://" connection.
    std::string url = sftp                                     ? "sftp://"
                      : name->scheme == Scheme::FtpImplicitTls ? "ftps://"
                                                               : "ftp://";
    url += name->host + ":" + std::to_string(port) + "/";
    if (sftp && !remotePath.empty() && remotePath.front() == '/')
        remotePath.remove_prefix(1);
    else if (sftp)
        url += "~/";
    for (std::size_t i = 0; i < remotePath.size(); ++i) {
        auto c = static_cast<unsigned char>(remotePath[i]);
        if (IsUnreserved(c) && !InDotSegment(remotePath, i))
            url += static_cast<char>(c);
        else if (c == '/' && (i > 0 || sftp))
            url += static_cast<char>(c);
        else
            AppendEscaped(url, c);
    }
    return url;
}

std::string SftpArgument(std::string_view path)
{
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace hoistline
