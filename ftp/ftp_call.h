#pragma once

// One libcurl handle configured for one request of a call (an upload, a
// download, a deletion, the clean-up after a failed upload), and everything
// it learns while libcurl runs it. Its members are defined by subject:
//   call_options.cpp     Prepare: the checks every call shares and the
//                        libcurl options of each scheme
//   ftp_call.cpp         running the request and the callbacks that follow it
//   connection_close.cpp the close-socket callback: QUIT on a dropped
//                        control connection, an upload's TLS data connection
//                        closed only after the server, active mode's
//                        listening socket kept for the peer check
//   reasons.cpp          how libcurl's code and the dialogue become a reason
// The SFTP host-key check and active mode's peer check keep their own state
// (sftp_host_keys.h, active_data.h).

#include "active_data.h"
#include "dialogue.h"
#include "ftp_transfer.h"
#include "outcome.h"
#include "remote_path.h"
#include "sftp_host_keys.h"

#include <cstdint>
#include <curl/curl.h>
#include <memory>
#include <string>
#include <string_view>

namespace hoistline {

// Large reads and writes keep the per-chunk overhead of a multi-gigabyte
// transfer low; over SFTP they also let libssh2 keep more requests in flight.
// 512 KiB is the most libcurl takes for either buffer.
inline constexpr long kTransferBufferBytes = 512 * 1024;

// What a failed upload may have left on the server under its temporary name,
// from nothing to everything.
enum class Leftover {
    None,    // the store never began
    Partial, // the store began and was not confirmed: a cut file, perhaps
    Whole,   // the server confirmed every byte; putting it in place failed
};

// Owns everything libcurl reads during the transfer (the command lists), and
// cleaning the handle up closes the connection: no connection outlives the
// call. libcurl is C: no callback lets an exception out into it.
class FtpCall
{
public:
    FtpCall() = default;
    FtpCall(const FtpCall&) = delete;
    FtpCall& operator=(const FtpCall&) = delete;
    // The handle goes first: closing its connection still calls back here.
    ~FtpCall() { handle_.reset(); }

    // Checks the arguments every call shares and prepares the handle for the
    // file `urlPath` names (the server alone when it is empty). Plain FTP
    // starts in active mode unless `passive`; the TLS schemes always use
    // passive mode. Fails with the reason when the call cannot go ahead.
    Outcome Prepare(const Endpoint& endpoint, std::string_view remotePath, std::string_view urlPath,
                    const TimeLimits& limits, bool passive = false);

    template <typename T> void Set(CURLoption option, T value)
    {
        CURLcode rc = curl_easy_setopt(handle_.get(), option, value);
        if (rc != CURLE_OK && setupError_ == CURLE_OK)
            setupError_ = rc;
    }

    // Adds a raw command sent after the login, before the transfer (or, with
    // `afterTransfer`, once it has succeeded): an FTP command, or for SFTP
    // one of libcurl's ("mkdir", "rm", ...). A leading "*" makes libcurl
    // ignore a refusal of that command.
    void AddCommand(const std::string& command, bool afterTransfer = false);

    // Runs the request; a second Perform() asks again on the same handle.
    // `localError` lets the data callbacks report their own failure instead
    // of libcurl's generic "write error". libcurl's own message serves only
    // where no dialogue tells more: it keeps the first message of the call,
    // which over FTP can be an informational one from setting up active mode.
    Outcome Perform(const std::string& localError = {});

    Scheme scheme() const { return scheme_; }
    // Whether the last request was spoken in the protocol asked for. Through
    // an HTTP proxy (ftp_proxy naming an http:// proxy) libcurl turns a plain
    // FTP call into an HTTP request and never sends the raw commands.
    bool SpokeOwnProtocol() const { return spokeOwnProtocol_; }
    // Makes the next request stop before it sends anything when it would go
    // to an HTTP proxy as an HTTP request; StoppedAtHttpProxy() tells.
    void StopAtHttpProxy()
    {
        Set(CURLOPT_PREREQFUNCTION, &FtpCall::OnPrerequest);
        Set(CURLOPT_PREREQDATA, this);
    }
    bool StoppedAtHttpProxy() const { return stoppedAtHttpProxy_; }
    // After a failed upload of `size` bytes: what the server may hold under
    // the name the file was stored to.
    Leftover LeftAfterUpload(std::int64_t size) const;
    // Whether the last request failed only because the server refused SIZE,
    // which libcurl sends before RETR and gives up on when refused.
    bool SizeRefused() const
    {
        return lastResult_ == CURLE_REMOTE_FILE_NOT_FOUND && dialogue_.LastVerb() == "SIZE";
    }
    // Whether the last request failed in active mode because no data
    // connection came about: the server refused PORT/EPRT, said it could not
    // open the connection (425), or never opened it. Passive mode may still
    // get through where something between the two drops connections to us.
    bool ActiveDataConnectionFailed() const;
    const Dialogue& dialogue() const { return dialogue_; }

private:
    struct EasyCleanup
    {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    struct ListCleanup
    {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    static int OnDebug(CURL* handle, curl_infotype type, char* data, size_t size,
                       void* self) noexcept;
    static int OnSocketOption(void* self, curl_socket_t fd, curlsocktype purpose) noexcept;
    static int OnCloseSocket(void* self, curl_socket_t fd) noexcept;
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept;
    static int OnPrerequest(void* self, char*, char*, int, int) noexcept;
    // Whether the last SSH handshake failed because the server had no host
    // key of the type asked for (libssh2's LIBSSH2_ERROR_KEX_FAILURE).
    bool NoHostKeyTypeInCommon() const;
    // The reason of the last request's failure when neither the data
    // callbacks nor this object's own checks gave one.
    std::string Explain() const;
    std::string ExplainTimeOut() const;
    // Whether the connection made for the request speaks the protocol asked
    // for, rather than HTTP to a proxy.
    bool SpeaksOwnProtocol() const;

    std::unique_ptr<CURL, EasyCleanup> handle_;
    std::unique_ptr<curl_slist, ListCleanup> commands_;
    std::unique_ptr<curl_slist, ListCleanup> commandsAfter_;
    CURLcode setupError_ = CURLE_OK;
    CURLcode lastResult_ = CURLE_OK;
    Scheme scheme_ = Scheme::Ftp;
    bool active_ = false;
    bool spokeOwnProtocol_ = false;
    bool stoppedAtHttpProxy_ = false;
    TimeLimits limits_;
    Dialogue dialogue_;
    // The local port of the control connection, once the server has spoken.
    int controlPort_ = -1;
    ActiveDataGuard activeData_;
    SftpHostKeyCheck hostKeys_;
    // SFTP: the authentication methods the server offered.
    std::string authMethods_;
    // The server's host as the URL carries it, and "host:port" for reasons.
    std::string host_;
    std::string where_;
    int port_ = 0;
    // libcurl's own message of the last failure; its details are used only
    // where no dialogue tells more (SFTP, the TLS handshake).
    char curlMessage_[CURL_ERROR_SIZE] = {};
};

} // namespace hoistline
