// The three jobs, step by step. An upload goes under a temporary name
// (upload_attempt.h), straight to its name through an HTTP proxy, once more
// in passive mode when active mode got no data connection, and leaves its
// temporary file settled after a failure. A download goes to a file beside
// the local one that replaces it only when the whole file has arrived, asks
// again without SIZE where the server refuses that, and falls back to
// passive mode the same way. A deletion is one command whose refusal fails
// the call.

#include "ftp_transfer.h"

#include "ftp_call.h"
#include "local_file.h"
#include "remote_path.h"
#include "upload_attempt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace hoistline {
namespace {

struct DownloadTarget
{
    int fd = -1;
    std::int64_t written = 0; // taken from libcurl, `pending` included
    std::string error;
    // Pieces taken but not yet written: over TLS libcurl hands over one
    // record of at most 16 KiB at a time, gathered here into writes of
    // kTransferBufferBytes (a system call each, and a costly one on a
    // virtual machine).
    std::vector<char> pending;
    std::size_t pendingBytes = 0;
};

bool WritePending(DownloadTarget& target) noexcept
{
    const std::size_t bytes = std::exchange(target.pendingBytes, 0);
    if (bytes == 0 || WriteAll(target.fd, target.pending.data(), bytes))
        return true;
    try {
        target.error = std::string("cannot write the local file: ") + std::strerror(errno);
    } catch (...) {
    }
    return false;
}

size_t WriteChunk(char* data, size_t size, size_t count, void* context) noexcept
{
    auto* target = static_cast<DownloadTarget*>(context);
    size_t bytes = size * count;
    if (target->pendingBytes + bytes > target->pending.size() && !WritePending(*target))
        return 0; // anything short of `bytes` stops the transfer
    if (bytes <= target->pending.size()) {
        std::memcpy(target->pending.data() + target->pendingBytes, data, bytes);
        target->pendingBytes += bytes;
    } else if (!WriteAll(target->fd, data, bytes)) {
        try {
            target->error = std::string("cannot write the local file: ") + std::strerror(errno);
        } catch (...) {
        }
        return 0;
    }
    target->written += static_cast<std::int64_t>(bytes);
    return bytes;
}

// Performs `call`, then writes what it left gathered: a failure to write
// fails the transfer.
Outcome PerformInto(FtpCall& call, DownloadTarget& target)
{
    Outcome outcome = call.Perform(target.error);
    if (!WritePending(target) && outcome.ok)
        outcome = Failure(target.error);
    return outcome;
}

// Retrieves `remotePath` into the open file `target` over one connection.
Outcome DownloadOnce(const Endpoint& endpoint, std::string_view remotePath, DownloadTarget& target,
                     const TimeLimits& limits, bool passive, bool& retryPassive)
{
    retryPassive = false;
    FtpCall call;
    if (Outcome prepared = call.Prepare(endpoint, remotePath, remotePath, limits, passive);
        !prepared.ok)
        return prepared;
    if (::ftruncate(target.fd, 0) != 0 || ::lseek(target.fd, 0, SEEK_SET) != 0)
        return Failure(std::string("cannot empty the local file: ") + std::strerror(errno));
    target.written = 0;
    target.pendingBytes = 0;
    call.Set(CURLOPT_WRITEFUNCTION, &WriteChunk);
    call.Set(CURLOPT_WRITEDATA, &target);
    // libcurl's 16 KiB default holds an SFTP download to a few requests in
    // flight and costs a call per 16 KiB over FTP.
    call.Set(CURLOPT_BUFFERSIZE, kTransferBufferBytes);
    // The connection stays open after a request, for the second one below;
    // cleaning the handle up still closes it.
    call.Set(CURLOPT_FORBID_REUSE, 0L);
    Outcome outcome = PerformInto(call, target);
    if (call.SizeRefused()) {
        // SIZE lets libcurl check that the whole file arrived, but a server
        // may refuse it (an account without that right, the command switched
        // off) and still serve the file. Ask again on the same connection,
        // without SIZE; the byte count in the reply opening the transfer, if
        // the server gives one, takes its place.
        call.Set(CURLOPT_FRESH_CONNECT, 0L);
        call.Set(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        outcome = PerformInto(call, target);
        auto announced = call.dialogue().AnnouncedSize();
        if (outcome.ok && announced && *announced != target.written)
            outcome = Failure("received " + std::to_string(target.written) + " of the " +
                              std::to_string(*announced) + " bytes announced");
    }
    retryPassive = !outcome.ok && call.ActiveDataConnectionFailed();
    return outcome;
}

} // namespace

Outcome PutFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits)
{
    // The local file is checked first: a missing file is reported without
    // touching the server at all.
    UniqueFd file;
    std::int64_t size = 0;
    if (Outcome opened = OpenSource(localPath, file, size); !opened.ok)
        return opened;
    const UploadNames names = NamesFor(remotePath);
    UploadAttempt attempt = UploadOnce(endpoint, names, file.get(), size, limits, false, false);
    if (attempt.throughHttpProxy) {
        // An HTTP proxy carries the file but none of the commands around it
        // (folder requests, rename): the file goes straight to its final
        // name, as it always has through such a proxy.
        return UploadOnce(endpoint, names, file.get(), size, limits, false, true).outcome;
    }
    // When active mode cannot get a data connection through, the whole file
    // is sent once more, to the same temporary name, over a new connection
    // in passive mode. The folders the first attempt made stay; asking for
    // them again is harmless.
    if (attempt.retryPassive) {
        Leftover first = attempt.leftover;
        std::string activeError = std::move(attempt.outcome.error);
        attempt = UploadOnce(endpoint, names, file.get(), size, limits, true, false);
        attempt.leftover = std::max(first, attempt.leftover);
        if (!attempt.outcome.ok)
            attempt.outcome.error += " (active mode: " + activeError + ")";
    }
    if (attempt.outcome.ok || attempt.leftover == Leftover::None)
        return attempt.outcome;
    return SettleTemporary(endpoint, names, attempt, limits);
}

Outcome GetFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits)
{
    // Over FTP, libcurl takes the retrieval command's path from the URL,
    // which cannot carry control bytes; nor can a listing command stand in,
    // as libcurl sends those in text mode.
    auto server = ParseServer(endpoint.server);
    if (server && server->scheme != Scheme::Sftp && HasControlByte(remotePath))
        return Failure("the remote path holds a control character, which a download cannot name");
    if (localPath.empty())
        return Failure("no local path given");

    ReplacementFile file;
    if (Outcome created = file.Create(localPath); !created.ok)
        return created;
    DownloadTarget target{file.fd(), 0, {}, std::vector<char>(kTransferBufferBytes), 0};
    bool retryPassive = false;
    Outcome outcome = DownloadOnce(endpoint, remotePath, target, limits, false, retryPassive);
    if (retryPassive) {
        std::string activeError = std::move(outcome.error);
        outcome = DownloadOnce(endpoint, remotePath, target, limits, true, retryPassive);
        if (!outcome.ok)
            outcome.error += " (active mode: " + activeError + ")";
    }
    if (!outcome.ok)
        return outcome; // the temporary file goes with `file`
    return file.Commit();
}

Outcome DeleteFile(const Endpoint& endpoint, std::string_view remotePath, const TimeLimits& limits)
{
    // The URL names only the server; the deletion is a command of its own,
    // without "*", so the server's refusal fails the call.
    FtpCall call;
    if (Outcome prepared = call.Prepare(endpoint, remotePath, {}, limits); !prepared.ok)
        return prepared;
    call.AddCommand(call.scheme() == Scheme::Sftp ? "rm " + SftpArgument(remotePath)
                                                  : "DELE " + std::string(remotePath));
    call.Set(CURLOPT_NOBODY, 1L);
    Outcome outcome = call.Perform();
    // An HTTP proxy answers the bare server URL with success without ever
    // seeing the DELE: that is no deletion.
    if (outcome.ok && !call.SpokeOwnProtocol())
        return Failure("the proxy carries no FTP commands: nothing was deleted");
    return outcome;
}

} // namespace hoistline
