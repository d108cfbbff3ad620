#pragma once

// Which known_hosts file vouches for the host keys of SFTP servers, and which
// of its lines vouch for one server.

#include <string>
#include <string_view>
#include <vector>

namespace hoistline {

// The environment variable that names the known_hosts file outright.
inline constexpr const char* kKnownHostsVariable = "HOISTLINE_KNOWN_HOSTS";

// The known_hosts file to check a server's host key against, the first that
// exists of: `named` (the program names the one in its data folder),
// "known_hosts" in `libraryFolder`, ".ssh/known_hosts" in `home` (which is
// taken even when missing: a file that does not exist vouches for no key).
std::string ChooseKnownHostsFile(const char* named, const std::string& libraryFolder,
                                 const std::string& home);

// ChooseKnownHostsFile with the value of HOISTLINE_KNOWN_HOSTS, the folder this
// library was loaded from and the user's home folder.
std::string KnownHostsFile();

// A server's lines in a known_hosts file, found as the OpenSSH client finds
// them: a line applies when one of its host patterns ("*" and "?" as
// wildcards, "!" to exclude) or its hashed name ("|1|salt|hash") matches the
// name the server is looked up by (KnownHostsName).
struct HostKeys
{
    struct Key
    {
        std::string type; // "ssh-ed25519", "ssh-rsa", ...
        std::string blob; // the public key as the server sends it
    };
    std::vector<Key> keys;            // plain lines: keys that vouch for the server
    std::vector<std::string> revoked; // "@revoked" lines: keys never to accept
    // "@cert-authority" lines name the server; host certificates are not
    // checked, so these vouch for nothing.
    bool certAuthority = false;
};

// The name a known_hosts line gives a server: the host in lower case for
// port 22, "[host]:port" for any other port (as ssh-keyscan writes it).
std::string KnownHostsName(std::string_view host, int port);

// The lines of `text` (a known_hosts file's contents) that apply to `name`.
HostKeys FindHostKeys(std::string_view text, const std::string& name);

// The host key types to negotiate with the server, best first: the types of
// the keys listed for it that libssh2 can verify.
std::vector<std::string> NegotiableKeyTypes(const HostKeys& keys);

// A one-line known_hosts text naming `name` in hashed form with `key`.
std::string HashedKnownHostsLine(const std::string& name, const HostKeys::Key& key);

// The key type a public key blob names ("ssh-ed25519"); empty when malformed.
std::string BlobKeyType(std::string_view blob);

} // namespace hoistline
