// One upload attempt under a temporary name, and the clean-up after a failed
// one (see upload_attempt.h). The folder requests, the store and the rename
// are all commands of the same request, so that libcurl sends the rename only
// after the server's confirmation of the whole file.

#include "upload_attempt.h"

#include "remote_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>

namespace hoistline {
namespace {

struct UploadSource
{
    int fd = -1;
    // The bytes still to send: the file's size when the upload began, so a
    // file that shrinks under it fails the call and one that grows is sent
    // as it was.
    std::int64_t left = 0;
    std::string error;
};

// Stops the upload; the call reports `what` and `detail` as its reason.
size_t Abort(UploadSource* source, const char* what, const char* detail = "") noexcept
{
    try {
        source->error = std::string(what) + detail;
    } catch (...) {
    }
    return CURL_READFUNC_ABORT;
}

size_t ReadChunk(char* buffer, size_t size, size_t count, void* context) noexcept
{
    auto* source = static_cast<UploadSource*>(context);
    auto wanted = static_cast<size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(size * count), source->left));
    if (wanted == 0)
        return 0;
    for (;;) {
        ssize_t n = ::read(source->fd, buffer, wanted);
        if (n > 0) {
            source->left -= n;
            return static_cast<size_t>(n);
        }
        if (n == 0)
            return Abort(source, "the local file became shorter during the upload");
        if (errno != EINTR)
            return Abort(source, "cannot read the local file: ", std::strerror(errno));
    }
}

// A name for an upload in progress that no other upload picks, of plain
// bytes only.
std::string TemporaryName()
{
    std::random_device random;
    auto bits = (static_cast<unsigned long long>(random()) << 32) | random();
    char name[48];
    std::snprintf(name, sizeof name, "hoistline-%016llx.part", bits);
    return name;
}

} // namespace

UploadNames NamesFor(std::string_view remotePath)
{
    auto slash = remotePath.rfind('/');
    std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    return {std::string(remotePath), std::string(remotePath.substr(0, nameStart)) + TemporaryName(),
            nameStart};
}

UploadAttempt UploadOnce(const Endpoint& endpoint, const UploadNames& names, int fd,
                         std::int64_t size, const TimeLimits& limits, bool passive, bool straight)
{
    UploadAttempt attempt;
    const std::string& finalPath = names.finalPath;
    const std::string& storedPath = straight ? finalPath : names.tempPath;
    // Over FTP, libcurl takes the store command's path from the URL, which
    // cannot carry control bytes. A folder holding any is entered with CWD,
    // and the commands then name the files alone. An SFTP path carries any
    // byte.
    auto server = ParseServer(endpoint.server);
    bool sftp = server && server->scheme == Scheme::Sftp;
    std::string_view folderPart = std::string_view(finalPath).substr(0, names.nameStart);
    bool enterFolder = !straight && !sftp && HasControlByte(folderPart);
    std::size_t skip = enterFolder ? names.nameStart : 0;
    FtpCall call;
    attempt.outcome = call.Prepare(endpoint, finalPath, storedPath.substr(skip), limits, passive);
    if (!attempt.outcome.ok)
        return attempt;
    // Folders that already exist, or that the server refuses, are expected:
    // the store that follows decides the result.
    for (const auto& folder : FolderRequests(finalPath))
        call.AddCommand(sftp ? "*mkdir " + SftpArgument(folder) : "*MKD " + folder);
    if (enterFolder) {
        folderPart.remove_suffix(folderPart.size() > 1 ? 1 : 0); // "/" stays "/"
        call.AddCommand("CWD " + std::string(folderPart));
    }
    if (!straight && sftp) {
        // Common SFTP servers refuse to rename onto an existing file, so the
        // old file is removed first (there being none is no failure), and
        // only once the new one is whole on the server. Should the connection
        // drop between the two, the final name is empty and the new file
        // waits whole under the temporary name: SettleTemporary puts it in
        // place, or, when it cannot reach the server, leaves it there.
        call.AddCommand("*rm " + SftpArgument(finalPath), true);
        call.AddCommand("rename " + SftpArgument(storedPath) + " " + SftpArgument(finalPath), true);
    } else if (!straight) {
        // RNTO replaces an existing file in one step where the server allows
        // it; SettleTemporary handles a server that does not.
        call.AddCommand("RNFR " + storedPath.substr(skip), true);
        call.AddCommand("RNTO " + finalPath.substr(skip), true);
    }
    if (!straight)
        call.StopAtHttpProxy();

    if (::lseek(fd, 0, SEEK_SET) != 0) {
        attempt.outcome =
            Failure(std::string("cannot rewind the local file: ") + std::strerror(errno));
        return attempt;
    }
    UploadSource source{fd, size, {}};
    call.Set(CURLOPT_UPLOAD, 1L);
    call.Set(CURLOPT_READFUNCTION, &ReadChunk);
    call.Set(CURLOPT_READDATA, &source);
    call.Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    call.Set(CURLOPT_UPLOAD_BUFFERSIZE, kTransferBufferBytes);
    attempt.outcome = call.Perform(source.error);
    attempt.throughHttpProxy = call.StoppedAtHttpProxy();
    if (!attempt.outcome.ok && !straight) {
        attempt.retryPassive = call.ActiveDataConnectionFailed();
        attempt.leftover = call.LeftAfterUpload(size);
        attempt.replaceRefused =
            call.dialogue().CodeOf("RNFR") == 350 && call.dialogue().CodeOf("RNTO") >= 400;
    }
    return attempt;
}

Outcome SettleTemporary(const Endpoint& endpoint, const UploadNames& names,
                        const UploadAttempt& failed, const TimeLimits& limits)
{
    auto server = ParseServer(endpoint.server);
    const bool sftp = server && server->scheme == Scheme::Sftp;
    const bool whole = failed.leftover == Leftover::Whole;
    const std::string& temp = names.tempPath;
    const std::string& target = names.finalPath;
    FtpCall call;
    if (!call.Prepare(endpoint, target, sftp ? target : std::string(), limits, true).ok)
        return failed.outcome;
    if (whole && sftp) {
        call.AddCommand("*rename " + SftpArgument(temp) + " " + SftpArgument(target));
    } else if (whole && failed.replaceRefused) {
        call.AddCommand("*DELE " + target);
        call.AddCommand("*RNFR " + temp);
        call.AddCommand("RNTO " + target); // a refusal ends the commands here
    } else if (whole) {
        call.AddCommand("*RNFR " + temp);
        call.AddCommand("*RNTO " + target);
    }
    call.AddCommand(sftp ? "*rm " + SftpArgument(temp) : "*DELE " + temp, whole && sftp);
    call.Set(CURLOPT_NOBODY, 1L);
    (void)call.Perform();
    if (whole && !sftp && call.dialogue().CodeOf("RNTO") / 100 == 2)
        return Success();
    return failed.outcome;
}

} // namespace hoistline
