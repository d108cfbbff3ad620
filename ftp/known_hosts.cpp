// Reading known_hosts lines as the OpenSSH client reads them: host patterns
// and hashed names matched against the server's name, "@revoked" and
// "@cert-authority" markers, the key types libssh2 can verify in the order
// to ask for them, and which file vouches for the keys at all.

#include "known_hosts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hoistline {
namespace {

// The folder of the shared object this code was loaded from, so that a
// known_hosts file can be kept beside the library.
std::string LibraryFolder()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    // The reentrant lookup: calls may come from several threads at once.
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

std::optional<std::string> DecodeBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    // The decoder counts the padding as zero bytes.
    auto padding = text.size() - text.find_last_not_of('=') - 1;
    bytes.resize(static_cast<std::size_t>(length) - std::min<std::size_t>(padding, 2));
    return bytes;
}

std::string EncodeBase64(std::string_view bytes)
{
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(std::max(length, 0)));
    return text;
}

// HMAC-SHA1 of `name` keyed with `salt`: the hashed form of a known_hosts
// name (OpenSSH's HashKnownHosts).
std::string HashName(std::string_view salt, const std::string& name)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()),
             reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest,
             &length) == nullptr)
        return {};
    return std::string(reinterpret_cast<char*>(digest), length);
}

// Glob matching as OpenSSH's match_pattern: "*" any run of bytes, "?" one.
bool MatchPattern(std::string_view text, std::string_view pattern)
{
    if (pattern.empty())
        return text.empty();
    if (pattern[0] == '*') {
        for (std::size_t skip = 0; skip <= text.size(); ++skip) {
            if (MatchPattern(text.substr(skip), pattern.substr(1)))
                return true;
        }
        return false;
    }
    return !text.empty() && (pattern[0] == '?' || pattern[0] == text[0]) &&
           MatchPattern(text.substr(1), pattern.substr(1));
}

// Whether a line's host field names `name`: a hashed name, or a comma list of
// patterns of which one matches and no negated one ("!pattern") does.
bool NamesHost(std::string_view field, const std::string& name)
{
    if (field.rfind("|1|", 0) == 0) {
        auto bar = field.find('|', 3);
        if (bar == std::string_view::npos)
            return false;
        auto salt = DecodeBase64(field.substr(3, bar - 3));
        auto hash = DecodeBase64(field.substr(bar + 1));
        return salt && hash && !hash->empty() && HashName(*salt, name) == *hash;
    }
    bool named = false;
    while (!field.empty()) {
        auto comma = field.find(',');
        std::string pattern(field.substr(0, comma));
        field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
        const bool negated = !pattern.empty() && pattern[0] == '!';
        if (negated)
            pattern.erase(0, 1);
        for (auto& c : pattern)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (MatchPattern(name, pattern)) {
            if (negated)
                return false;
            named = true;
        }
    }
    return named;
}

// The next blank-separated field of `line`, taken off its front.
std::string_view NextField(std::string_view& line)
{
    auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    auto end = std::min(line.find_first_of(" \t"), line.size());
    std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

} // namespace

std::string KnownHostsName(std::string_view host, int port)
{
    std::string name(host);
    for (auto& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return port == 22 ? name : "[" + name + "]:" + std::to_string(port);
}

std::string BlobKeyType(std::string_view blob)
{
    if (blob.size() < 4)
        return {};
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i)
        length = length << 8 | static_cast<unsigned char>(blob[static_cast<std::size_t>(i)]);
    return length <= blob.size() - 4 ? std::string(blob.substr(4, length)) : std::string();
}

HostKeys FindHostKeys(std::string_view text, const std::string& name)
{
    HostKeys found;
    while (!text.empty()) {
        auto end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        // A file written on Windows ends its lines with CR LF; OpenSSH reads
        // the CR as the white space it is, so a key at the end of the line
        // still counts.
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        std::string_view first = NextField(line);
        if (first.empty() || first[0] == '#')
            continue;
        std::string_view marker;
        if (first[0] == '@') {
            marker = first;
            first = NextField(line);
        }
        if (!NamesHost(first, name))
            continue;
        if (marker == "@cert-authority") {
            found.certAuthority = true;
            continue;
        }
        std::string type(NextField(line));
        auto blob = DecodeBase64(NextField(line));
        // Anything else, an old RSA1 line or an unknown marker, vouches for nothing.
        if (!blob || (!marker.empty() && marker != "@revoked") || BlobKeyType(*blob) != type)
            continue;
        if (marker.empty())
            found.keys.push_back({type, *blob});
        else
            found.revoked.push_back(*blob);
    }
    return found;
}

std::vector<std::string> NegotiableKeyTypes(const HostKeys& keys)
{
    // OpenSSH's order. libssh2 signs with RSA keys only by "ssh-rsa" (SHA-1),
    // which current servers refuse by default: RSA comes last.
    static const char* const kOrder[] = {"ssh-ed25519",
                                         "ecdsa-sha2-nistp256",
                                         "ecdsa-sha2-nistp384",
                                         "ecdsa-sha2-nistp521",
                                         "ssh-rsa",
                                         "ssh-dss"};
    std::vector<std::string> types;
    for (const char* type : kOrder) {
        if (std::any_of(keys.keys.begin(), keys.keys.end(),
                        [&](const HostKeys::Key& key) { return key.type == type; }))
            types.emplace_back(type);
    }
    return types;
}

std::string HashedKnownHostsLine(const std::string& name, const HostKeys::Key& key)
{
    unsigned char salt[20];
    if (RAND_bytes(salt, sizeof salt) != 1)
        return {};
    std::string saltBytes(reinterpret_cast<char*>(salt), sizeof salt);
    return "|1|" + EncodeBase64(saltBytes) + "|" + EncodeBase64(HashName(saltBytes, name)) + " " +
           key.type + " " + EncodeBase64(key.blob) + "\n";
}

std::string ChooseKnownHostsFile(const char* named, const std::string& libraryFolder,
                                 const std::string& home)
{
    struct stat st
    {};
    if (named != nullptr && *named != '\0' && ::stat(named, &st) == 0)
        return named;
    std::string besideLibrary = (libraryFolder.empty() ? "." : libraryFolder) + "/known_hosts";
    if (::stat(besideLibrary.c_str(), &st) == 0)
        return besideLibrary;
    return home.empty() ? besideLibrary : home + "/.ssh/known_hosts";
}

std::string KnownHostsFile()
{
    return ChooseKnownHostsFile(std::getenv(kKnownHostsVariable), LibraryFolder(), HomeFolder());
}

} // namespace hoistline
