#pragma once

// One FTP job per call: connect, log in, do the job, close. The exported C
// calls are thin wrappers over these; the tests drive them directly to read
// the reason of a failure and to shorten the time limits.

#include "outcome.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hoistline {

// Where to connect and as whom. Texts are passed to the server byte for byte.
struct Endpoint
{
    std::string server;
    int port = 0;                    // 0 selects the standard FTP port 21
    std::optional<std::string> user; // none: anonymous login
    std::optional<std::string> password;
};

// How long a silent peer may hold a call. The defaults are what the exported
// calls use; they bound every wait, so no call can hang for ever.
struct TimeLimits
{
    // TCP connect, server greeting and login together. Long enough for a
    // slow WAN link and a server doing reverse DNS on login, short enough
    // that a backup run does not stall on a dead server.
    long connectMs = 20000;
    // Any later reply, including the one confirming a finished transfer.
    long replySeconds = 60;
    // The server opening the data connection back to us (active mode),
    // counted from the request for it (PORT or EPRT).
    long dataConnectMs = 30000;
    // A transfer moving no data at all for this long is given up.
    long stallSeconds = 60;
};

// Requests every folder on the way to `remotePath` (refusals ignored), then
// stores `localPath` in binary mode under a temporary name in its folder,
// renamed to `remotePath` once the server has confirmed all of it; after a
// failure the temporary file is removed (PutLocalFileViaFTP in hoistline.h).
Outcome PutFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits = {});

// Retrieves `remotePath` in binary mode into `localPath`, replacing it only
// when the whole file has arrived. A path with control bytes is refused.
Outcome GetFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits = {});

// Deletes `remotePath` on the server.
Outcome DeleteFile(const Endpoint& endpoint, std::string_view remotePath,
                   const TimeLimits& limits = {});

// Logs in and goes to `remoteFolder` (FTP: CWD; SFTP: reads its listing);
// nothing is stored or changed (CheckRemoteFolderViaFTP in hoistline.h).
Outcome CheckFolder(const Endpoint& endpoint, std::string_view remoteFolder,
                    const TimeLimits& limits = {});

} // namespace hoistline
