// The SFTP host-key check (see sftp_host_keys.h): the known_hosts file read,
// the key types asked for one after the other, and the verdict on the key
// the server shows, with the reason when it is refused.

#include "sftp_host_keys.h"

#include "reasons.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace hoistline {
namespace {

// Reads a (small, local) text file into `text`. A missing file reads as
// empty: a known_hosts file that does not exist vouches for nothing.
Outcome ReadText(const std::string& path, std::string& text)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT)
        return Success();
    char chunk[8192];
    while (fd.valid()) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0)
            return Success();
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    return Failure("cannot read " + path + ": " + std::strerror(errno));
}

} // namespace

Outcome SftpHostKeyCheck::Load(const std::string& host, int port)
{
    knownHosts_ = KnownHostsFile();
    knownName_ = KnownHostsName(
        host.size() > 1 && host.front() == '[' ? host.substr(1, host.size() - 2) : host, port);
    std::string lines;
    if (Outcome read = ReadText(knownHosts_, lines); !read.ok)
        return read;
    hostKeys_ = FindHostKeys(lines, knownName_);
    keyTypes_ = NegotiableKeyTypes(hostKeys_);
    return Success();
}

// libcurl asks the server only for the key type of the first line of its
// known_hosts file that names the server; a file of one hashed line holding
// the key of `type` makes that the type. The file lives in memory.
const char* SftpHostKeyCheck::NarrowTo(const std::string& type)
{
    if (!narrowed_.valid()) {
        narrowed_ = UniqueFd(::memfd_create("hoistline-known-hosts", MFD_CLOEXEC));
        narrowedPath_ = "/proc/self/fd/" + std::to_string(narrowed_.get());
    }
    auto key = std::find_if(hostKeys_.keys.begin(), hostKeys_.keys.end(),
                            [&](const HostKeys::Key& listed) { return listed.type == type; });
    if (key == hostKeys_.keys.end())
        return nullptr;
    std::string line = HashedKnownHostsLine(knownName_, *key);
    if (!narrowed_.valid() || line.empty() || ::ftruncate(narrowed_.get(), 0) != 0 ||
        ::pwrite(narrowed_.get(), line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()))
        return nullptr;
    return narrowedPath_.c_str();
}

int SftpHostKeyCheck::OnHostKey(void* self, int /*keyType*/, const char* key,
                                std::size_t length) noexcept
{
    auto* check = static_cast<SftpHostKeyCheck*>(self);
    check->keyShown_ = true;
    try {
        return check->Judge(std::string(key, length));
    } catch (...) {
        return CURLKHMATCH_MISMATCH;
    }
}

int SftpHostKeyCheck::Judge(const std::string& blob)
{
    const auto& keys = hostKeys_;
    const std::string& host = knownName_;
    const std::string& file = knownHosts_;
    if (std::find(keys.revoked.begin(), keys.revoked.end(), blob) != keys.revoked.end()) {
        verdict_ = "SSH host key revoked: the key of " + host + " is marked @revoked in " + file;
        return CURLKHMATCH_MISMATCH;
    }
    const std::string type = BlobKeyType(blob);
    bool typeListed = false;
    for (const auto& listed : keys.keys) {
        if (listed.blob == blob)
            return CURLKHMATCH_OK;
        typeListed = typeListed || listed.type == type;
    }
    if (typeListed)
        verdict_ = "SSH host key changed: the key of " + host + " differs from the one in " + file;
    else
        verdict_ = "unknown SSH host key: " + host + " is not listed in " + file +
                   (keys.certAuthority ? " (only by @cert-authority, which is not supported)" : "");
    return CURLKHMATCH_MISMATCH;
}

std::string SftpHostKeyCheck::NoTypeInCommon(std::string_view message) const
{
    std::string types;
    for (const auto& type : keyTypes_)
        types += (types.empty() ? "" : ", ") + type;
    return "no SSH host key type in common with " + knownName_ + ": " + knownHosts_ + " lists " +
           types + " for it" +
           (keyTypes_.back() == "ssh-rsa"
                ? " (RSA keys are checked only with the SHA-1 \"ssh-rsa\" signature, "
                  "which the server may refuse)"
                : std::string()) +
           "; " + PlainLine(message);
}

} // namespace hoistline
