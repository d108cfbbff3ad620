#pragma once

// Turning the caller's plain texts into what the FTP layer needs: the folder
// requests made before an upload, the URL that names the file, and the checks
// that keep one argument from smuggling in further FTP commands.

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

// The reason `remotePath` cannot name a file on the server, or nothing when
// it can. CR and LF would end the FTP command line early, NUL cannot be sent
// in one; a path with no file name after its last "/" names a folder. Other
// control bytes (TAB, ESC, ...) are allowed.
std::optional<std::string> RemotePathProblem(std::string_view remotePath);

// True when `text` holds a byte below 0x20. The URL layer refuses such a path,
// so a transfer command cannot take it from the URL.
bool HasControlByte(std::string_view text);

// True when `text` holds a CR or LF, which would end an FTP command early and
// start another one chosen by whoever wrote the text.
bool HasLineBreak(std::string_view text);

// The "ftp://host:port/path" URL for `remotePath` on `server`, or nothing when
// the server name is not a plain host name or address. Every path byte
// outside the URL-unreserved set is percent-encoded, so code-page bytes,
// spaces, "%", "#", "?" and ";type=" reach the server exactly as given. A
// leading "/" becomes "%2F": the URL layer strips one "/" after the host, and
// the encoded one makes the path absolute on the server.
std::optional<std::string> FileUrl(std::string_view server, int port, std::string_view remotePath);

} // namespace hoistline
