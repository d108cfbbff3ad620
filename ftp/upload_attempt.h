#pragma once

// One upload over one connection, whole or not at all: the file is stored
// under a temporary name in its folder ("hoistline-<16 hex digits>.part") and
// renamed to its own name by commands that libcurl sends only once the server
// has confirmed all of it; and, after a failed attempt, what it may have left
// under the temporary name dealt with over a connection of its own.

#include "ftp_call.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hoistline {

// The two names of one upload: the caller's path, and a temporary path in
// the same folder (the caller's path up to its last "/", then a temporary
// name), which holds the file until the server has confirmed all of it.
struct UploadNames
{
    std::string finalPath;
    std::string tempPath;
    // Where the file name starts in both paths: after the last "/", or at 0.
    std::size_t nameStart = 0;
};

// The names of an upload to `remotePath`, with a new temporary name.
UploadNames NamesFor(std::string_view remotePath);

// One upload attempt, and what the next step needs to know of it.
struct UploadAttempt
{
    Outcome outcome;
    // Active mode got no data connection through: passive mode may.
    bool retryPassive = false;
    // The request would have gone to an HTTP proxy, and was stopped before
    // anything was sent.
    bool throughHttpProxy = false;
    Leftover leftover = Leftover::None;
    // FTP: RNFR was accepted and RNTO refused, as by a server that renames
    // but never onto an existing file.
    bool replaceRefused = false;
};

// Stores the open local file `fd` over one connection: under the temporary
// path, renamed to the final one by commands that libcurl sends only once the
// server has confirmed the whole file. With `straight`, under the final path
// itself, with no rename.
UploadAttempt UploadOnce(const Endpoint& endpoint, const UploadNames& names, int fd,
                         std::int64_t size, const TimeLimits& limits, bool passive, bool straight);

// Deals with what a failed upload may have left under its temporary name,
// over a connection of its own (the failed one may be unusable) with the same
// time limits. A file the server never confirmed whole is removed. A whole one
// is put in place where that replaces no file the server would keep: the
// final name is free (the old file was removed just before the connection
// dropped), or the server renames onto a file. Otherwise it is removed, but
// never while it may be the only copy:
// - an FTP server that refused to rename onto the old file gets that file
//   deleted and the rename asked for again (SFTP's order); a rename still
//   refused ends the commands there, and the new file stays;
// - over SFTP the request names the final file, and libcurl sends the
//   removal, as a command after the transfer, only when that file exists.
// Success only when the server confirmed the rename (FTP; SFTP does not
// tell), otherwise the failed attempt's outcome.
Outcome SettleTemporary(const Endpoint& endpoint, const UploadNames& names,
                        const UploadAttempt& failed, const TimeLimits& limits);

} // namespace hoistline
