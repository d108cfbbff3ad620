// Logging in and finding a folder, with nothing moved: an item's upload tried
// before the night it runs.
#include "ftp_call.h"
#include "ftp_transfer.h"
#include "remote_path.h"

namespace hoistline {
namespace {

// A folder listing is read only to see that it can be; its bytes are dropped.
size_t DropListing(char*, size_t size, size_t count, void*) noexcept
{
    return size * count;
}

} // namespace

Outcome CheckFolder(const Endpoint& endpoint, std::string_view remoteFolder,
                    const TimeLimits& limits)
{
    // The folder without a trailing "/" (the root stays "/"); the path checks
    // of a transfer are made on a name inside it.
    std::string folder(remoteFolder.empty() ? std::string_view(".") : remoteFolder);
    while (folder.size() > 1 && folder.ends_with('/'))
        folder.pop_back();
    const std::string inside = folder == "/" ? "/." : folder + "/.";
    const std::optional<ServerName> name = ParseServer(endpoint.server);
    FtpCall call;
    if (name && name->scheme == Scheme::Sftp) {
        // SFTP has no command that changes folder: the folder's listing is
        // read instead (a URL ending in "/" names a folder).
        if (Outcome prepared =
                call.Prepare(endpoint, inside, folder == "/" ? "/" : folder + "/", limits);
            !prepared.ok)
            return prepared;
        call.Set(CURLOPT_WRITEFUNCTION, &DropListing);
        return call.Perform();
    }
    if (Outcome prepared = call.Prepare(endpoint, inside, {}, limits); !prepared.ok)
        return prepared;
    // Over FTP the login lands somewhere and CWD goes to the folder: no data
    // connection is needed, so neither active nor passive mode is tried.
    call.AddCommand("CWD " + folder);
    call.Set(CURLOPT_NOBODY, 1L);
    Outcome outcome = call.Perform();
    if (outcome.ok && !call.SpokeOwnProtocol())
        return Failure("the proxy carries no FTP commands: the folder was not checked");
    return outcome;
}

} // namespace hoistline
