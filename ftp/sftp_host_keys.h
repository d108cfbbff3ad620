#pragma once

// SFTP host keys: the glue between the known_hosts lookup (known_hosts.h) and
// libcurl. libcurl's own check would take a plain "host" line for any port,
// and would ask the server only for the key type of the first line it finds
// for the host (a hashed line of another host, or an RSA key it can verify
// only with the SHA-1 signature that OpenSSH 8.8 and later refuse). So the key
// the server shows is judged here (OnHostKey, libcurl's
// CURLOPT_SSH_HOSTKEYFUNCTION), and libcurl is handed a known_hosts file in
// memory of one line of the type to ask for: each type the file lists for
// the server in turn, best first (KeyTypes, NarrowTo).

#include "known_hosts.h"
#include "local_file.h"
#include "outcome.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hoistline {

class SftpHostKeyCheck
{
public:
    // Reads the known_hosts file (KnownHostsFile) and the lines in it that
    // apply to `host` (as the URL carries it: an IPv6 address in brackets) on
    // `port`. Fails when the file exists but cannot be read.
    Outcome Load(const std::string& host, int port);

    // The host key types to ask the server for, best first; empty when the
    // file lists no key the library can verify for the server.
    const std::vector<std::string>& KeyTypes() const { return keyTypes_; }
    // A known_hosts file (a path) that makes libcurl ask for a key of `type`,
    // one of KeyTypes(); nullptr when it could not be written: the server
    // then picks the type, and OnHostKey still checks the key.
    const char* NarrowTo(const std::string& type);

    // Called before each handshake, and whether the server has shown its
    // key since.
    void StartHandshake() { keyShown_ = false; }
    bool KeyShown() const { return keyShown_; }

    // libcurl's host key callback (`self` is this object): lets the session
    // go ahead only when a line that applies to the server holds its very
    // key and no "@revoked" line does; otherwise Verdict() says which check
    // failed.
    static int OnHostKey(void* self, int keyType, const char* key, std::size_t length) noexcept;
    const std::string& Verdict() const { return verdict_; }

    // The reason a handshake failed for want of a key type in common, with
    // libssh2's `message`.
    std::string NoTypeInCommon(std::string_view message) const;

private:
    int Judge(const std::string& blob);

    std::string knownHosts_; // the file's path
    std::string knownName_;  // the server as known_hosts names it
    HostKeys hostKeys_;
    std::vector<std::string> keyTypes_;
    UniqueFd narrowed_; // the file in memory given to libcurl, and its path
    std::string narrowedPath_;
    bool keyShown_ = false;
    std::string verdict_;
};

} // namespace hoistline
