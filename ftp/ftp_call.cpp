// Running a prepared request, and the libcurl callbacks that follow it: the
// debug callback feeds the dialogue (and learns the control connection's
// ports and peer, and the SSH login methods offered), the socket-option
// callback vets active mode's data connection, the progress callback bounds
// the wait for it, the pre-request callback stops a request bound for an
// HTTP proxy. Afterwards the call can tell what became of active mode and
// what a failed upload left on the server.

#include "ftp_call.h"

#include <cstring>
#include <strings.h>

namespace hoistline {

void FtpCall::AddCommand(const std::string& command, bool afterTransfer)
{
    auto& list = afterTransfer ? commandsAfter_ : commands_;
    curl_slist* grown = curl_slist_append(list.get(), command.c_str());
    if (grown == nullptr) {
        if (setupError_ == CURLE_OK)
            setupError_ = CURLE_OUT_OF_MEMORY;
        return;
    }
    (void)list.release();
    list.reset(grown);
}

Outcome FtpCall::Perform(const std::string& localError)
{
    if (commands_)
        Set(CURLOPT_QUOTE, commands_.get());
    if (commandsAfter_)
        Set(CURLOPT_POSTQUOTE, commandsAfter_.get());
    if (setupError_ != CURLE_OK)
        return Failure(std::string("cannot configure the session: ") +
                       curl_easy_strerror(setupError_));

    // Over SFTP each key type the known_hosts file lists for the server is
    // asked for in turn, best first, while the server has none of it: the
    // SSH handshake fails before the server shows a key, and nothing else
    // has happened yet.
    const std::vector<std::string>& keyTypes = hostKeys_.KeyTypes();
    for (std::size_t type = 0;; ++type) {
        if (type < keyTypes.size()) {
            if (const char* knownHosts = hostKeys_.NarrowTo(keyTypes[type]))
                Set(CURLOPT_SSH_KNOWNHOSTS, knownHosts);
        }
        curlMessage_[0] = '\0';
        hostKeys_.StartHandshake();
        lastResult_ = curl_easy_perform(handle_.get());
        if (!NoHostKeyTypeInCommon() || type + 1 >= keyTypes.size())
            break;
    }
    activeData_.ReleaseListener();
    spokeOwnProtocol_ = SpeaksOwnProtocol();
    if (lastResult_ == CURLE_OK)
        return Success();
    if (!localError.empty())
        return Failure(localError);
    // The library's own checks: at most one of them applies to a scheme.
    if (!activeData_.Verdict().empty())
        return Failure(activeData_.Verdict());
    if (!hostKeys_.Verdict().empty())
        return Failure(hostKeys_.Verdict());
    return Failure(Explain());
}

bool FtpCall::NoHostKeyTypeInCommon() const
{
    return scheme_ == Scheme::Sftp && lastResult_ == CURLE_FAILED_INIT && !hostKeys_.KeyShown() &&
           std::strstr(curlMessage_, "Unable to exchange encryption keys") != nullptr;
}

bool FtpCall::SpeaksOwnProtocol() const
{
    const char* spoken = nullptr;
    const char* own = scheme_ == Scheme::Sftp             ? "sftp"
                      : scheme_ == Scheme::FtpImplicitTls ? "ftps"
                                                          : "ftp";
    return curl_easy_getinfo(handle_.get(), CURLINFO_SCHEME, &spoken) == CURLE_OK &&
           spoken != nullptr && strcasecmp(spoken, own) == 0;
}

// Called once the connection stands (to the server, or to a proxy), before
// the request goes out on it.
int FtpCall::OnPrerequest(void* self, char*, char*, int, int) noexcept
{
    auto* call = static_cast<FtpCall*>(self);
    call->stoppedAtHttpProxy_ = !call->SpeaksOwnProtocol();
    return call->stoppedAtHttpProxy_ ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

int FtpCall::OnDebug(CURL* handle, curl_infotype type, char* data, size_t size, void* self) noexcept
{
    auto* call = static_cast<FtpCall*>(self);
    try {
        if (type == CURLINFO_HEADER_OUT) {
            call->dialogue_.Sent({data, size});
        } else if (type == CURLINFO_HEADER_IN) {
            long port = -1;
            char* peer = nullptr;
            if (call->controlPort_ < 0 &&
                curl_easy_getinfo(handle, CURLINFO_LOCAL_PORT, &port) == CURLE_OK) {
                call->controlPort_ = static_cast<int>(port);
                if (curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &peer) == CURLE_OK && peer)
                    call->activeData_.SetServerAddress(peer);
            }
            call->dialogue_.Received({data, size});
        } else if (type == CURLINFO_TEXT) {
            static constexpr std::string_view kMethods = "SSH authentication methods available: ";
            std::string_view text(data, size);
            // Through a SOCKS proxy the control connection's peer is the
            // proxy, and the server's own address is not known for certain.
            if (text.rfind("SOCKS", 0) == 0)
                call->activeData_.SetThroughProxy();
            if (text.rfind(kMethods, 0) == 0) {
                text.remove_prefix(kMethods.size());
                call->authMethods_ = text.substr(0, text.find_first_of("\r\n"));
            }
        }
    } catch (...) {
        // Only memory can run out here; libcurl ignores the answer anyway.
    }
    return 0;
}

int FtpCall::OnSocketOption(void* self, curl_socket_t fd, curlsocktype purpose) noexcept
{
    auto* call = static_cast<FtpCall*>(self);
    if (purpose != CURLSOCKTYPE_ACCEPT)
        return CURL_SOCKOPT_OK;
    try {
        if (!call->activeData_.AcceptFromServer(fd, call->dialogue_.WaitingForDataSince(),
                                                call->limits_.dataConnectMs))
            return CURL_SOCKOPT_ERROR;
    } catch (...) {
        return CURL_SOCKOPT_ERROR;
    }
    call->dialogue_.DataConnected();
    return CURL_SOCKOPT_OK;
}

// Fails the call when the server has not opened the data connection within
// the limit since it was asked to. libcurl calls this about once a second
// while it waits, and with every block of data.
int FtpCall::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept
{
    auto* call = static_cast<FtpCall*>(self);
    try {
        return call->activeData_.WaitExpired(call->dialogue_.WaitingForDataSince(),
                                             call->limits_.dataConnectMs)
                   ? 1
                   : 0;
    } catch (...) {
        return 1;
    }
}

bool FtpCall::ActiveDataConnectionFailed() const
{
    if (!active_ || dialogue_.EverDataConnected())
        return false;
    switch (lastResult_) {
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return true;
    case CURLE_ABORTED_BY_CALLBACK:
        return activeData_.Expired();
    default:
        return dialogue_.TransferReplyCode() == 425;
    }
}

Leftover FtpCall::LeftAfterUpload(std::int64_t size) const
{
    // Over SFTP a byte counts as uploaded once the server has acknowledged
    // writing it.
    curl_off_t uploaded = -1;
    bool allSent =
        curl_easy_getinfo(handle_.get(), CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK &&
        uploaded == size;
    if (scheme_ != Scheme::Sftp) {
        if (!dialogue_.StoreSent())
            return Leftover::None;
        return allSent && dialogue_.TransferReplyCode() / 100 == 2 ? Leftover::Whole
                                                                   : Leftover::Partial;
    }
    // SFTP shows no dialogue; the file is opened only after the login.
    curl_off_t loggedIn = 0;
    if (curl_easy_getinfo(handle_.get(), CURLINFO_APPCONNECT_TIME_T, &loggedIn) != CURLE_OK ||
        loggedIn == 0)
        return Leftover::None;
    return allSent ? Leftover::Whole : Leftover::Partial;
}

} // namespace hoistline
