#pragma once

// Turning the caller's plain texts into what the transfer layer needs: the
// server's scheme and host, the folder requests made before an upload, the
// URL that names the file, and the checks that keep one argument from
// smuggling in further FTP commands.

#include "outcome.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hoistline {

// The folders to request before storing `remotePath`, outermost first: for
// every "/" at byte position 2 or later, the text before it. A "/" at position
// 0 or 1 requests nothing, so "a/b.dmp" asks for no folder and "/x" neither.
// Bytes are compared one by one; no code-page lead or trail byte equals "/".
std::vector<std::string> FolderRequests(std::string_view remotePath);

// Whether `remotePath` can name a file on the server, and the reason when it
// cannot. CR and LF would end the FTP command line early, NUL cannot be sent
// in one; a path with no file name after its last "/" names a folder. Other
// control bytes (TAB, ESC, ...) are allowed.
Outcome CheckRemotePath(std::string_view remotePath);

// True when `text` holds a byte below 0x20. The URL layer refuses such a path,
// so a transfer command cannot take it from the URL.
bool HasControlByte(std::string_view text);

// True when `text` holds a CR or LF, which would end an FTP command early and
// start another one chosen by whoever wrote the text.
bool HasLineBreak(std::string_view text);

// How the server is spoken to, chosen by a scheme in front of the host text.
enum class Scheme {
    Ftp,            // "host" or "ftp://host": plain FTP, active mode first
    FtpExplicitTls, // "ftpes://host": FTP, TLS started with AUTH TLS, passive
    FtpImplicitTls, // "ftps://host": FTP inside TLS from the first byte, passive
    Sftp,           // "sftp://host": the file transfer protocol of SSH
};

// A server text taken apart: its scheme and its host as a URL carries it
// (an IPv6 address in brackets).
struct ServerName
{
    Scheme scheme = Scheme::Ftp;
    std::string host;
};

// Reads "host", "ftp://host", "ftpes://host", "ftps://host" or "sftp://host"
// (the scheme in any letter case). Nothing for another scheme, or when the
// host is not a plain host name or address: "user@host", "host/x" and spaces
// are refused rather than left for the URL parser to reinterpret.
std::optional<ServerName> ParseServer(std::string_view server);

// The port a scheme is reached on when the caller gives 0: 21 for FTP with or
// without AUTH TLS, 990 for FTP inside TLS, 22 for SFTP.
int DefaultPort(Scheme scheme);

// The URL for `remotePath` on `server` (a server text as ParseServer reads
// it), or nothing when the server text is refused. Every path byte outside
// the URL-unreserved set is percent-encoded, so code-page bytes, spaces, "%",
// "#", "?" and ";type=" reach the server exactly as given.
// FTP: a leading "/" becomes "%2F": the URL layer strips one "/" after the
// host, and the encoded one makes the path absolute on the server.
// SFTP: a URL path is absolute; a relative path is put under "/~/", the
// login's home folder, where an FTP login would land.
std::optional<std::string> FileUrl(std::string_view server, int port, std::string_view remotePath);

// `path` as one argument of an SFTP command sent before or after a transfer
// ("mkdir", "rm"): in double quotes, with '"' and '\' escaped.
std::string SftpArgument(std::string_view path);

} // namespace hoistline
