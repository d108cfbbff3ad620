#include "ftp_transfer.h"

#include "local_file.h"
#include "remote_path.h"

#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <strings.h>
#include <unistd.h>

namespace hoistline {
namespace {

constexpr int kStandardFtpPort = 21;
// Large reads keep the per-chunk overhead of a multi-gigabyte upload low.
constexpr long kUploadBufferBytes = 512 * 1024;

// libcurl must be initialised once per process before any handle exists, and
// never again; the calls may come from several threads at once.
bool InitialiseCurlOnce()
{
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

struct EasyCleanup
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

Outcome Failure(std::string reason)
{
    return Outcome{false, std::move(reason)};
}

// One libcurl handle configured for one call. It owns everything libcurl
// reads during the transfer (the command list), and cleaning the handle up
// closes the connection: no connection outlives the call.
class FtpCall
{
public:
    // Checks the arguments every call shares and prepares the handle for the
    // file `urlPath` names (the server alone when it is empty). Returns the
    // reason when the call cannot go ahead.
    std::optional<std::string> Prepare(const Endpoint& endpoint, std::string_view remotePath,
                                       std::string_view urlPath, const TimeLimits& limits);

    template <typename T> void Set(CURLoption option, T value)
    {
        CURLcode rc = curl_easy_setopt(handle_.get(), option, value);
        if (rc != CURLE_OK && setupError_ == CURLE_OK)
            setupError_ = rc;
    }

    // Adds a raw FTP command sent after the login, before the transfer. A
    // leading "*" makes libcurl ignore a refusal of that command.
    void AddCommand(const std::string& command) { commands_.push_back(command); }

    // Runs the call. `localError` lets the data callbacks report their own
    // failure instead of libcurl's generic "write error". libcurl's error
    // buffer is not used: it keeps the first message of the call, which can
    // be an informational one from setting up active mode.
    Outcome Perform(const std::string& localError = {});

    // Whether the finished call was spoken in FTP. Through an HTTP proxy
    // (ftp_proxy naming an http:// proxy) libcurl turns the call into an
    // HTTP request and never sends the raw commands.
    bool SpokeFtp() const { return spokeFtp_; }

private:
    std::unique_ptr<CURL, EasyCleanup> handle_;
    std::unique_ptr<curl_slist, ListCleanup> commandList_;
    std::vector<std::string> commands_;
    CURLcode setupError_ = CURLE_OK;
    bool spokeFtp_ = false;
};

std::optional<std::string> FtpCall::Prepare(const Endpoint& endpoint, std::string_view remotePath,
                                            std::string_view urlPath, const TimeLimits& limits)
{
    if (auto problem = RemotePathProblem(remotePath))
        return problem;
    if ((endpoint.user && HasLineBreak(*endpoint.user)) ||
        (endpoint.password && HasLineBreak(*endpoint.password)))
        return std::string("the user name or password holds a line break");
    if (endpoint.port < 0 || endpoint.port > 65535)
        return "port " + std::to_string(endpoint.port) + " is out of range";
    int port = endpoint.port == 0 ? kStandardFtpPort : endpoint.port;
    auto url = FileUrl(endpoint.server, port, urlPath);
    if (!url)
        return "\"" + endpoint.server + "\" is not a host name or address";
    if (!InitialiseCurlOnce())
        return std::string("the network library could not be initialised");
    handle_.reset(curl_easy_init());
    if (!handle_)
        return std::string("the network library could not start a session");

    Set(CURLOPT_URL, url->c_str());
    Set(CURLOPT_PROTOCOLS_STR, "ftp");
    // Signals cannot be used for time-outs in a library that may run on any
    // thread of its caller.
    Set(CURLOPT_NOSIGNAL, 1L);
    if (endpoint.user)
        Set(CURLOPT_USERNAME, endpoint.user->c_str());
    if (endpoint.password)
        Set(CURLOPT_PASSWORD, endpoint.password->c_str());

    // Active mode, offering the local address of the control connection:
    // the one address the server is known to reach us at, whichever of
    // several interfaces the route chose. PORT (not EPRT) on IPv4, as older
    // servers only know PORT; over IPv6 libcurl still sends EPRT.
    Set(CURLOPT_FTPPORT, "-");
    Set(CURLOPT_FTP_USE_EPRT, 0L);
    // The whole path goes into the one STOR/RETR command, as the caller gave
    // it, instead of being walked with CWD; "../" must not be folded away.
    Set(CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    Set(CURLOPT_PATH_AS_IS, 1L);
    Set(CURLOPT_TRANSFERTEXT, 0L);

    // One connection per call, closed when the handle is cleaned up.
    Set(CURLOPT_FRESH_CONNECT, 1L);
    Set(CURLOPT_FORBID_REUSE, 1L);

    Set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectMs);
    Set(CURLOPT_SERVER_RESPONSE_TIMEOUT, limits.replySeconds);
    Set(CURLOPT_ACCEPTTIMEOUT_MS, limits.dataConnectMs);
    Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    Set(CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
    return std::nullopt;
}

Outcome FtpCall::Perform(const std::string& localError)
{
    for (const auto& command : commands_) {
        curl_slist* grown = curl_slist_append(commandList_.get(), command.c_str());
        if (grown == nullptr)
            return Failure("out of memory");
        (void)commandList_.release();
        commandList_.reset(grown);
    }
    if (commandList_)
        Set(CURLOPT_QUOTE, commandList_.get());
    if (setupError_ != CURLE_OK)
        return Failure(std::string("cannot configure the session: ") +
                       curl_easy_strerror(setupError_));

    CURLcode rc = curl_easy_perform(handle_.get());
    const char* scheme = nullptr;
    spokeFtp_ = curl_easy_getinfo(handle_.get(), CURLINFO_SCHEME, &scheme) == CURLE_OK &&
                scheme != nullptr && strcasecmp(scheme, "ftp") == 0;
    handle_.reset();
    if (rc == CURLE_OK)
        return Outcome{true, {}};
    if (!localError.empty())
        return Failure(localError);
    return Failure(curl_easy_strerror(rc));
}

struct UploadSource
{
    int fd = -1;
    std::string error;
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* context)
{
    auto* source = static_cast<UploadSource*>(context);
    for (;;) {
        ssize_t n = ::read(source->fd, buffer, size * count);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno != EINTR) {
            source->error = std::string("cannot read the local file: ") + std::strerror(errno);
            return CURL_READFUNC_ABORT;
        }
    }
}

struct DownloadTarget
{
    int fd = -1;
    std::string error;
};

size_t WriteChunk(char* data, size_t size, size_t count, void* context)
{
    auto* target = static_cast<DownloadTarget*>(context);
    size_t bytes = size * count;
    if (WriteAll(target->fd, data, bytes))
        return bytes;
    target->error = std::string("cannot write the local file: ") + std::strerror(errno);
    return 0; // anything short of `bytes` stops the transfer
}

} // namespace

Outcome PutFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits)
{
    // The local file is checked first: a missing file is reported without
    // touching the server at all.
    UniqueFd file;
    std::int64_t size = 0;
    std::string error;
    if (!OpenSource(localPath, file, size, error))
        return Failure(error);

    FtpCall call;
    if (auto problem = call.Prepare(endpoint, remotePath, remotePath, limits))
        return Failure(*problem);
    // Folders that already exist, or that the server refuses, are expected:
    // the store that follows decides the result.
    for (const auto& folder : FolderRequests(remotePath))
        call.AddCommand("*MKD " + folder);

    UploadSource source{file.get(), {}};
    call.Set(CURLOPT_UPLOAD, 1L);
    call.Set(CURLOPT_READFUNCTION, &ReadChunk);
    call.Set(CURLOPT_READDATA, &source);
    // With the size known, libcurl fails the call when the file shrinks
    // under it instead of reporting a short upload as success.
    call.Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    call.Set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
    return call.Perform(source.error);
}

Outcome GetFile(const Endpoint& endpoint, std::string_view remotePath, const std::string& localPath,
                const TimeLimits& limits)
{
    FtpCall call;
    if (auto problem = call.Prepare(endpoint, remotePath, remotePath, limits))
        return Failure(*problem);
    if (localPath.empty())
        return Failure("no local path given");

    ReplacementFile file;
    std::string error;
    if (!file.Create(localPath, error))
        return Failure(error);
    DownloadTarget target{file.fd(), {}};
    call.Set(CURLOPT_WRITEFUNCTION, &WriteChunk);
    call.Set(CURLOPT_WRITEDATA, &target);
    Outcome outcome = call.Perform(target.error);
    if (!outcome.ok)
        return outcome; // the temporary file goes with `file`
    if (!file.Commit(error))
        return Failure(error);
    return outcome;
}

Outcome DeleteFile(const Endpoint& endpoint, std::string_view remotePath, const TimeLimits& limits)
{
    // The URL names only the server; the deletion is a command of its own,
    // without "*", so the server's refusal fails the call.
    FtpCall call;
    if (auto problem = call.Prepare(endpoint, remotePath, {}, limits))
        return Failure(*problem);
    call.AddCommand("DELE " + std::string(remotePath));
    call.Set(CURLOPT_NOBODY, 1L);
    Outcome outcome = call.Perform();
    // An HTTP proxy answers the bare server URL with success without ever
    // seeing the DELE: that is no deletion.
    if (outcome.ok && !call.SpokeFtp())
        return Failure("the proxy carries no FTP commands: nothing was deleted");
    return outcome;
}

} // namespace hoistline
