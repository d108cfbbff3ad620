#include "ftp_transfer.h"

#include "known_hosts.h"
#include "local_file.h"
#include "remote_path.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <deque>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <random>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hoistline {
namespace {

// Large reads and writes keep the per-chunk overhead of a multi-gigabyte
// transfer low; over SFTP they also let libssh2 keep more requests in flight.
// 512 KiB is the most libcurl takes for either buffer.
constexpr long kTransferBufferBytes = 512 * 1024;

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

using Clock = std::chrono::steady_clock;

// What a failed upload may have left on the server under its temporary name,
// from nothing to everything.
enum class Leftover {
    None,    // the store never began
    Partial, // the store began and was not confirmed: a cut file, perhaps
    Whole,   // the server confirmed every byte; putting it in place failed
};

// The control connection as libcurl reports it: the commands it sends and
// the reply lines it receives. libcurl keeps to itself which command a reply
// answered and whether the session can still be ended politely; this keeps
// track of both.
class Dialogue
{
public:
    void Sent(std::string_view command);
    void Received(std::string_view line);
    void DataConnected()
    {
        waitingForDataSince_.reset();
        dataConnected_ = true;
    }
    // Whether the server ever opened a data connection back to us.
    bool EverDataConnected() const { return dataConnected_; }

    // The verb of the last command that got its final reply ("" for the
    // greeting).
    const std::string& LastVerb() const { return lastVerb_; }
    // The code of the final reply to the last RETR or STOR (0 before one).
    int TransferReplyCode() const { return transferReplyCode_; }
    // The code of the final reply to the last command with this verb (0
    // before one).
    int CodeOf(std::string_view verb) const
    {
        auto found = codes_.find(verb);
        return found == codes_.end() ? 0 : found->second;
    }
    // Whether STOR was sent: from then on the server may hold the file, whole
    // or in part, whatever became of the session.
    bool StoreSent() const { return storeSent_; }
    // The byte count in the server's opening reply to RETR ("150 Opening
    // BINARY mode data connection for a.dmp (1234 bytes)."), if it gave one.
    std::optional<std::int64_t> AnnouncedSize() const { return announcedSize_; }
    // When the server was asked to connect back for data (PORT or EPRT),
    // while it has not done so yet.
    std::optional<Clock::time_point> WaitingForDataSince() const { return waitingForDataSince_; }
    // True when the server greeted us, has answered every command and has
    // not been sent QUIT: the session is in step and can be ended with QUIT.
    bool InStepWithoutQuit() const
    {
        return greetingCode_ / 100 == 2 && awaiting_.empty() && !quitSent_;
    }
    // Whether the server has sent its greeting, whatever it said.
    bool Greeted() const { return greetingCode_ != 0; }
    // The verb of the oldest command (other than QUIT) still waiting for its
    // final reply; "" while the greeting is awaited.
    std::optional<std::string> Awaited() const
    {
        if (awaiting_.empty() || awaiting_.front() == "QUIT")
            return std::nullopt;
        return awaiting_.front();
    }

    // A refusing reply (4xx or 5xx) and the verb it answered ("" for the
    // greeting).
    struct Refusal
    {
        std::string verb;
        std::string line;
    };
    // The server's refusal of the last command sent before the session
    // ended, QUIT aside: what stopped the call, in the server's own words.
    // Nothing once a later command was sent: a refusal libcurl ignored
    // ("*MKD") is no reason for the failure.
    const std::optional<Refusal>& LastRefusal() const { return refusal_; }

private:
    void FinalReply(int code, std::string_view line);

    // Verbs of the commands still waiting for their final reply, oldest
    // first; the greeting is waited for like the answer to a command.
    std::deque<std::string> awaiting_{""};
    int multiLineCode_ = 0; // the code of a multi-line reply under way
    int greetingCode_ = 0;
    std::string lastVerb_;
    int transferReplyCode_ = 0;
    std::map<std::string, int, std::less<>> codes_;
    bool storeSent_ = false;
    bool quitSent_ = false;
    bool dataConnected_ = false;
    std::optional<std::int64_t> announcedSize_;
    std::optional<Clock::time_point> waitingForDataSince_;
    std::optional<Refusal> refusal_;
};

// A reply line as one short line of plain text for a reason: control bytes
// become blanks, and a server that talks at length is cut short.
std::string PlainLine(std::string_view line)
{
    constexpr std::size_t kMaxLine = 200;
    std::string plain(line.substr(0, kMaxLine));
    for (auto& c : plain) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return plain;
}

void Dialogue::Sent(std::string_view command)
{
    std::string verb(command.substr(0, command.find_first_of(" \r\n")));
    for (auto& c : verb)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (verb == "QUIT")
        quitSent_ = true;
    if (verb == "PORT" || verb == "EPRT")
        waitingForDataSince_ = Clock::now();
    if (verb == "STOR")
        storeSent_ = true;
    if (verb != "QUIT")
        refusal_.reset();
    awaiting_.push_back(std::move(verb));
}

// In "(1234 bytes)" the digits, as the byte count of a transfer.
std::optional<std::int64_t> ByteCountIn(std::string_view line)
{
    auto end = line.find(" bytes");
    if (end == std::string_view::npos)
        return std::nullopt;
    auto start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1])))
        --start;
    if (start == end || start == 0 || line[start - 1] != '(' || end - start > 18)
        return std::nullopt;
    std::int64_t count = 0;
    for (auto i = start; i < end; ++i)
        count = count * 10 + (line[i] - '0');
    return count;
}

void Dialogue::Received(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                 std::isdigit(static_cast<unsigned char>(line[1])) &&
                 std::isdigit(static_cast<unsigned char>(line[2]));
    if (!coded)
        return; // text inside a multi-line reply, or no FTP reply at all
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    bool last = line.size() == 3 || line[3] == ' ';
    if (multiLineCode_ != 0) {
        // Only "<same code> " ends a multi-line reply.
        if (code != multiLineCode_ || !last)
            return;
        multiLineCode_ = 0;
    } else if (!last) {
        if (line[3] == '-')
            multiLineCode_ = code;
        return;
    }
    if (code < 200) {
        // A preliminary reply: the command goes on.
        if (!awaiting_.empty() && awaiting_.front() == "RETR")
            announcedSize_ = ByteCountIn(line);
        return;
    }
    FinalReply(code, line);
}

void Dialogue::FinalReply(int code, std::string_view line)
{
    if (awaiting_.empty())
        return; // a reply nobody asked for
    lastVerb_ = std::move(awaiting_.front());
    awaiting_.pop_front();
    if (lastVerb_.empty())
        greetingCode_ = code;
    codes_[lastVerb_] = code;
    if (lastVerb_ != "QUIT") {
        if (code >= 400)
            refusal_ = Refusal{lastVerb_, PlainLine(line)};
        else
            refusal_.reset();
    }
    // The transfer is over, with or without a data connection; or the
    // server would not connect back at all.
    if (lastVerb_ == "RETR" || lastVerb_ == "STOR")
        transferReplyCode_ = code;
    if (lastVerb_ == "RETR" || lastVerb_ == "STOR" ||
        ((lastVerb_ == "PORT" || lastVerb_ == "EPRT") && code >= 400))
        waitingForDataSince_.reset();
}

// Ends a session libcurl is dropping without QUIT (it does so after any
// refusal that fails the call, a refused login or DELE say): sends QUIT and
// waits up to `waitMs` for the answer or the hang-up, so that the server reads
// a goodbye rather than a broken connection.
void SayGoodbye(int fd, long waitMs)
{
    static constexpr char kQuit[] = "QUIT\r\n";
    if (::send(fd, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL) != sizeof kQuit - 1)
        return;
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) == 0)
            return;
        char reply[512];
        ssize_t n = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0 || std::memchr(reply, '\n', static_cast<size_t>(n)) != nullptr)
            return;
    }
}

// Takes the certificates to trust from OpenSSL's own default places: the
// system's store, or the file and folder that SSL_CERT_FILE and SSL_CERT_DIR
// name instead, as for any other OpenSSL program on the machine.
CURLcode UseDefaultTrustStore(CURL* /*handle*/, void* sslContext, void* /*self*/)
{
    return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(sslContext)) == 1
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

// Reads a (small, local) text file into `text`. A missing file reads as
// empty: a known_hosts file that does not exist vouches for nothing. Any
// other failure is the reason returned.
std::optional<std::string> ReadText(const std::string& path, std::string& text)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT)
        return std::nullopt;
    char chunk[8192];
    while (fd.valid()) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0)
            return std::nullopt;
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    return "cannot read " + path + ": " + std::strerror(errno);
}

// "20 s", or "1500 ms" for a limit that is no whole number of seconds.
std::string Duration(long ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// A system error message as part of a sentence: "connection refused".
std::string LowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// One libcurl handle configured for one call. It owns everything libcurl
// reads during the transfer (the command lists), and cleaning the handle up
// closes the connection: no connection outlives the call.
class FtpCall
{
public:
    FtpCall() = default;
    FtpCall(const FtpCall&) = delete;
    FtpCall& operator=(const FtpCall&) = delete;
    // The handle goes first: closing its connection still calls back here.
    ~FtpCall()
    {
        handle_.reset();
        ReleaseListener();
    }

    // Checks the arguments every call shares and prepares the handle for the
    // file `urlPath` names (the server alone when it is empty). Plain FTP
    // starts in active mode unless `passive`; the TLS schemes always use
    // passive mode. Returns the reason when the call cannot go ahead.
    std::optional<std::string> Prepare(const Endpoint& endpoint, std::string_view remotePath,
                                       std::string_view urlPath, const TimeLimits& limits,
                                       bool passive = false);

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
    static int OnDebug(CURL* handle, curl_infotype type, char* data, size_t size, void* self);
    static int OnSocketOption(void* self, curl_socket_t fd, curlsocktype purpose);
    static int OnCloseSocket(void* self, curl_socket_t fd);
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static int OnPrerequest(void* self, char*, char*, int, int);
    static int OnHostKey(void* self, int keyType, const char* key, size_t length);
    // Over SFTP, has libcurl ask the server for host keys of `type` only.
    void NarrowHostKeyType(const std::string& type);
    // Active mode: whether the data connection `fd` comes from the server,
    // else waits for one that does (AcceptFromServer).
    bool AcceptFromServer(int fd);
    void ReleaseListener();
    // Whether the last SSH handshake failed because the server had no host
    // key of the type asked for (libssh2's LIBSSH2_ERROR_KEX_FAILURE).
    bool NoHostKeyTypeInCommon() const
    {
        return scheme_ == Scheme::Sftp && lastResult_ == CURLE_FAILED_INIT && !hostKeyShown_ &&
               std::strstr(curlMessage_, "Unable to exchange encryption keys") != nullptr;
    }
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
    // OnProgress gave up waiting for the server to connect back.
    bool dataWaitExpired_ = false;
    TimeLimits limits_;
    Dialogue dialogue_;
    // The local port of the control connection, once the server has spoken.
    int controlPort_ = -1;
    // The control connection's peer address, which alone may open the data
    // connection of active mode.
    std::string serverAddress_;
    bool throughProxy_ = false;
    // Active mode: the listening socket libcurl has done with, kept open
    // while a data connection from elsewhere is refused and the server's
    // awaited.
    int listener_ = -1;
    // SFTP: the known_hosts file, what it lists for the server, the host key
    // types still to try, whether the server showed its key, and the
    // authentication methods the server offered.
    std::string knownHosts_;
    std::string knownName_;
    HostKeys hostKeys_;
    std::vector<std::string> keyTypes_;
    UniqueFd narrowedKnownHosts_;
    std::string narrowedPath_;
    bool hostKeyShown_ = false;
    std::string authMethods_;
    // The server's host as the URL carries it, and "host:port" for reasons.
    std::string host_;
    std::string where_;
    int port_ = 0;
    std::string error_;
    // libcurl's own message of the last failure; its details are used only
    // where no dialogue tells more (SFTP, the TLS handshake).
    char curlMessage_[CURL_ERROR_SIZE] = {};
};

std::optional<std::string> FtpCall::Prepare(const Endpoint& endpoint, std::string_view remotePath,
                                            std::string_view urlPath, const TimeLimits& limits,
                                            bool passive)
{
    if (auto problem = RemotePathProblem(remotePath))
        return problem;
    if ((endpoint.user && HasLineBreak(*endpoint.user)) ||
        (endpoint.password && HasLineBreak(*endpoint.password)))
        return std::string("the user name or password holds a line break");
    if (endpoint.port < 0 || endpoint.port > 65535)
        return "port " + std::to_string(endpoint.port) + " is out of range";
    auto server = ParseServer(endpoint.server);
    if (!server)
        return "\"" + endpoint.server + "\" is not a host name or address with a known scheme";
    scheme_ = server->scheme;
    host_ = server->host;
    port_ = endpoint.port == 0 ? DefaultPort(scheme_) : endpoint.port;
    where_ = host_ + ":" + std::to_string(port_);
    auto url = FileUrl(endpoint.server, port_, urlPath);
    if (!InitialiseCurlOnce())
        return std::string("the network library could not be initialised");
    handle_.reset(curl_easy_init());
    if (!handle_)
        return std::string("the network library could not start a session");
    limits_ = limits;

    Set(CURLOPT_URL, url->c_str());
    // Signals cannot be used for time-outs in a library that may run on any
    // thread of its caller.
    Set(CURLOPT_NOSIGNAL, 1L);
    // The login goes in options of its own, never into the URL.
    if (endpoint.user)
        Set(CURLOPT_USERNAME, endpoint.user->c_str());
    if (endpoint.password)
        Set(CURLOPT_PASSWORD, endpoint.password->c_str());

    switch (scheme_) {
    case Scheme::Ftp:
        Set(CURLOPT_PROTOCOLS_STR, "ftp");
        // Active mode, offering the local address of the control connection:
        // the one address the server is known to reach us at, whichever of
        // several interfaces the route chose. PORT (not EPRT) on IPv4, as
        // older servers only know PORT; over IPv6 libcurl still sends EPRT.
        active_ = !passive;
        if (active_)
            Set(CURLOPT_FTPPORT, "-");
        Set(CURLOPT_FTP_USE_EPRT, 0L);
        break;
    case Scheme::FtpExplicitTls:
    case Scheme::FtpImplicitTls:
        Set(CURLOPT_PROTOCOLS_STR, scheme_ == Scheme::FtpExplicitTls ? "ftp" : "ftps");
        // TLS on the control connection (AUTH TLS, or from the first byte)
        // and on every data connection (PROT P), or no call at all. Passive
        // mode: a firewall cannot look into the encrypted PORT command to
        // let the server's connection back in.
        Set(CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        Set(CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        // TLS 1.2 at least, whatever OpenSSL's configuration allows: the
        // login goes over this connection (RFC 8996 retires TLS 1.0 and 1.1).
        // No upper limit: TLS 1.3's late session tickets are dealt with when
        // an upload's data connection closes (OnCloseSocket).
        Set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        Set(CURLOPT_SSL_VERIFYPEER, 1L);
        Set(CURLOPT_SSL_VERIFYHOST, 2L);
        Set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        Set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        Set(CURLOPT_CA_CACHE_TIMEOUT, 0L);
        Set(CURLOPT_SSL_CTX_FUNCTION, &UseDefaultTrustStore);
        // Through an HTTP proxy, a tunnel keeps the TLS between us and the
        // server instead of letting the proxy speak FTP for us.
        Set(CURLOPT_HTTPPROXYTUNNEL, 1L);
        break;
    case Scheme::Sftp:
        Set(CURLOPT_PROTOCOLS_STR, "sftp");
        Set(CURLOPT_SSH_AUTH_TYPES,
            static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
        // The host key is checked here (OnHostKey) against the known_hosts
        // lines that apply to the server as OpenSSH applies them. libcurl's
        // own check would take a plain "host" line for any port, and ask the
        // server only for the key type of the first line it finds (a hashed
        // line of another host, or an RSA key it can verify only with the
        // SHA-1 signature that OpenSSH 8.8 and later refuse).
        knownHosts_ = KnownHostsFile();
        knownName_ = KnownHostsName(
            host_.size() > 1 && host_.front() == '[' ? host_.substr(1, host_.size() - 2) : host_,
            port_);
        std::string lines;
        if (auto problem = ReadText(knownHosts_, lines))
            return problem;
        hostKeys_ = FindHostKeys(lines, knownName_);
        keyTypes_ = NegotiableKeyTypes(hostKeys_);
        Set(CURLOPT_SSH_HOSTKEYFUNCTION, &FtpCall::OnHostKey);
        Set(CURLOPT_SSH_HOSTKEYDATA, this);
        Set(CURLOPT_HTTPPROXYTUNNEL, 1L);
        break;
    }
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
    // libcurl's own limit runs from the server's "150" only; OnProgress
    // bounds the whole wait from PORT on, for a server that tries to connect
    // before it answers.
    Set(CURLOPT_ACCEPTTIMEOUT_MS, limits.dataConnectMs);
    Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    Set(CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);

    // The dialogue reaches OnDebug only in verbose mode; with a debug
    // function of its own libcurl prints nothing.
    Set(CURLOPT_ERRORBUFFER, curlMessage_);
    Set(CURLOPT_VERBOSE, 1L);
    Set(CURLOPT_DEBUGFUNCTION, &FtpCall::OnDebug);
    Set(CURLOPT_DEBUGDATA, this);
    Set(CURLOPT_SOCKOPTFUNCTION, &FtpCall::OnSocketOption);
    Set(CURLOPT_SOCKOPTDATA, this);
    Set(CURLOPT_CLOSESOCKETFUNCTION, &FtpCall::OnCloseSocket);
    Set(CURLOPT_CLOSESOCKETDATA, this);
    Set(CURLOPT_NOPROGRESS, 0L);
    Set(CURLOPT_XFERINFOFUNCTION, &FtpCall::OnProgress);
    Set(CURLOPT_XFERINFODATA, this);
    return std::nullopt;
}

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
    for (std::size_t type = 0;; ++type) {
        if (type < keyTypes_.size())
            NarrowHostKeyType(keyTypes_[type]);
        curlMessage_[0] = '\0';
        hostKeyShown_ = false;
        lastResult_ = curl_easy_perform(handle_.get());
        if (!NoHostKeyTypeInCommon() || type + 1 >= keyTypes_.size())
            break;
    }
    ReleaseListener();
    spokeOwnProtocol_ = SpeaksOwnProtocol();
    if (lastResult_ == CURLE_OK)
        return Outcome{true, {}};
    if (!localError.empty())
        return Failure(localError);
    if (!error_.empty())
        return Failure(error_);
    return Failure(Explain());
}

std::string FtpCall::Explain() const
{
    if (const auto& refusal = dialogue_.LastRefusal()) {
        const std::string& verb = refusal->verb;
        if (verb.empty())
            return "the server refused the session: " + refusal->line;
        if (verb == "USER" || verb == "PASS" || verb == "ACCT")
            return "login refused: " + refusal->line;
        return verb + " refused: " + refusal->line;
    }
    switch (lastResult_) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "cannot resolve the host name " + host_;
    case CURLE_COULDNT_CONNECT: {
        long error = 0;
        (void)curl_easy_getinfo(handle_.get(), CURLINFO_OS_ERRNO, &error);
        return (error != 0 ? LowerFirst(std::strerror(static_cast<int>(error)))
                           : std::string("cannot connect")) +
               " (" + where_ + ")";
    }
    case CURLE_OPERATION_TIMEDOUT:
        return ExplainTimeOut();
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: {
        long error = 0;
        (void)curl_easy_getinfo(handle_.get(), CURLINFO_OS_ERRNO, &error);
        return std::string("the connection broke while ") +
               (lastResult_ == CURLE_SEND_ERROR ? "sending" : "receiving") +
               (error != 0 ? std::string(": ") + std::strerror(static_cast<int>(error)) : "");
    }
    case CURLE_PARTIAL_FILE: {
        curl_off_t received = 0;
        curl_off_t expected = -1;
        (void)curl_easy_getinfo(handle_.get(), CURLINFO_SIZE_DOWNLOAD_T, &received);
        (void)curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        if (expected >= 0)
            return "the transfer ended early: " + std::to_string(received) + " of " +
                   std::to_string(expected) + " bytes received";
        break;
    }
    case CURLE_LOGIN_DENIED:
        // A server that takes keys only, say, offers no method to try.
        if (scheme_ == Scheme::Sftp && !authMethods_.empty() &&
            authMethods_.find("password") == std::string::npos &&
            authMethods_.find("keyboard-interactive") == std::string::npos)
            return "login refused: the server accepts only " + PlainLine(authMethods_) +
                   " logins, no password";
        return "login refused";
    case CURLE_PEER_FAILED_VERIFICATION: {
        // OpenSSL's chain check names its own failure. libcurl checks the
        // host name itself and says in its message what did not match.
        long verify = X509_V_OK;
        (void)curl_easy_getinfo(handle_.get(), CURLINFO_SSL_VERIFYRESULT, &verify);
        std::string_view message = curlMessage_;
        if (verify != X509_V_OK && verify != X509_V_ERR_UNSPECIFIED)
            message = X509_verify_cert_error_string(verify);
        else if (message.find("host name") != std::string_view::npos)
            message = "hostname mismatch";
        else if (message.rfind("SSL: ", 0) == 0)
            message.remove_prefix(5);
        return "certificate rejected: " + PlainLine(message.empty() ? "not trusted" : message);
    }
    case CURLE_SSL_CONNECT_ERROR:
        // OpenSSL's words for a server that offers only TLS 1.1 or older.
        if (std::strstr(curlMessage_, "unsupported protocol") != nullptr ||
            std::strstr(curlMessage_, "alert protocol version") != nullptr)
            return "TLS handshake with " + where_ +
                   " failed: the server offers no TLS version from 1.2 up";
        if (curlMessage_[0] != '\0')
            return "TLS handshake with " + where_ + " failed: " + PlainLine(curlMessage_);
        break;
    case CURLE_FAILED_INIT:
        if (!keyTypes_.empty() && NoHostKeyTypeInCommon()) {
            std::string types;
            for (const auto& type : keyTypes_)
                types += (types.empty() ? "" : ", ") + type;
            return "no SSH host key type in common with " + knownName_ + ": " + knownHosts_ +
                   " lists " + types + " for it" +
                   (keyTypes_.back() == "ssh-rsa"
                        ? " (RSA keys are checked only with the SHA-1 \"ssh-rsa\" signature, "
                          "which the server may refuse)"
                        : std::string()) +
                   "; " + PlainLine(curlMessage_);
        }
        [[fallthrough]];
    default:
        // SFTP shows no dialogue; libcurl's message carries the server's
        // status ("Permission denied").
        if (scheme_ == Scheme::Sftp && curlMessage_[0] != '\0')
            return PlainLine(curlMessage_);
        break;
    }
    return curl_easy_strerror(lastResult_);
}

// A time-out says which wait ran out: for the connection, the greeting or
// handshake, a command's reply, or data.
std::string FtpCall::ExplainTimeOut() const
{
    CURL* handle = handle_.get();
    curl_off_t connected = 0;
    curl_off_t secured = 0;
    (void)curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
    (void)curl_easy_getinfo(handle, CURLINFO_APPCONNECT_TIME_T, &secured);
    const std::string withinConnectLimit = " within " + Duration(limits_.connectMs);
    if (connected == 0)
        return "no connection to " + where_ + withinConnectLimit;
    const bool tls = scheme_ == Scheme::FtpExplicitTls || scheme_ == Scheme::FtpImplicitTls;
    if (scheme_ == Scheme::Sftp) {
        if (secured == 0)
            return "the SSH handshake and login with " + where_ + " did not finish" +
                   withinConnectLimit;
        return "the SFTP server stopped answering or moving data";
    }
    if (!dialogue_.Greeted()) {
        if (scheme_ == Scheme::FtpImplicitTls && secured == 0)
            return "the TLS handshake with " + where_ + " did not finish" + withinConnectLimit;
        return "no greeting from " + where_ + withinConnectLimit;
    }
    auto awaited = dialogue_.Awaited();
    if (!awaited) {
        if (tls && secured == 0)
            return "the TLS handshake with " + where_ + " did not finish" + withinConnectLimit;
        return "timed out";
    }
    if (*awaited == "STOR" || *awaited == "RETR") {
        const bool up = *awaited == "STOR";
        curl_off_t moved = -1;
        curl_off_t expected = -1;
        (void)curl_easy_getinfo(handle, up ? CURLINFO_SIZE_UPLOAD_T : CURLINFO_SIZE_DOWNLOAD_T,
                                &moved);
        (void)curl_easy_getinfo(
            handle, up ? CURLINFO_CONTENT_LENGTH_UPLOAD_T : CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
            &expected);
        // Every byte moved: only the server's confirmation was missing.
        if (expected >= 0 && moved == expected)
            return "no reply to " + *awaited + " within " + std::to_string(limits_.replySeconds) +
                   " s after all " + std::to_string(moved) + " bytes";
        return *awaited + " stalled: no data moved for " + std::to_string(limits_.stallSeconds) +
               " s, " + std::to_string(std::max<curl_off_t>(moved, 0)) + " bytes moved";
    }
    return "no reply to " + *awaited + " in time";
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

// Lets an SFTP session go ahead only when a known_hosts line that applies
// to the server holds its very key and no "@revoked" line does; otherwise
// says which check failed.
int FtpCall::OnHostKey(void* self, int /*keyType*/, const char* key, size_t length)
{
    auto* call = static_cast<FtpCall*>(self);
    call->hostKeyShown_ = true;
    const std::string blob(key, length);
    const auto& keys = call->hostKeys_;
    const std::string& host = call->knownName_;
    const std::string& file = call->knownHosts_;
    if (std::find(keys.revoked.begin(), keys.revoked.end(), blob) != keys.revoked.end()) {
        call->error_ =
            "SSH host key revoked: the key of " + host + " is marked @revoked in " + file;
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
        call->error_ =
            "SSH host key changed: the key of " + host + " differs from the one in " + file;
    else
        call->error_ =
            "unknown SSH host key: " + host + " is not listed in " + file +
            (keys.certAuthority ? " (only by @cert-authority, which is not supported)" : "");
    return CURLKHMATCH_MISMATCH;
}

// libcurl asks the server only for the key type of the first line of its
// known_hosts file that names the server; a file of one hashed line holding
// the key of `type` makes that the type. The file lives in memory.
void FtpCall::NarrowHostKeyType(const std::string& type)
{
    if (!narrowedKnownHosts_.valid()) {
        narrowedKnownHosts_ = UniqueFd(::memfd_create("hoistline-known-hosts", MFD_CLOEXEC));
        narrowedPath_ = "/proc/self/fd/" + std::to_string(narrowedKnownHosts_.get());
    }
    auto key = std::find_if(hostKeys_.keys.begin(), hostKeys_.keys.end(),
                            [&](const HostKeys::Key& listed) { return listed.type == type; });
    std::string line = HashedKnownHostsLine(knownName_, *key);
    if (!narrowedKnownHosts_.valid() || line.empty() ||
        ::ftruncate(narrowedKnownHosts_.get(), 0) != 0 ||
        ::pwrite(narrowedKnownHosts_.get(), line.data(), line.size(), 0) !=
            static_cast<ssize_t>(line.size()))
        return; // the server picks the type; OnHostKey still checks the key
    Set(CURLOPT_SSH_KNOWNHOSTS, narrowedPath_.c_str());
}

// Called once the connection stands (to the server, or to a proxy), before
// the request goes out on it.
int FtpCall::OnPrerequest(void* self, char*, char*, int, int)
{
    auto* call = static_cast<FtpCall*>(self);
    call->stoppedAtHttpProxy_ = !call->SpeaksOwnProtocol();
    return call->stoppedAtHttpProxy_ ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

int FtpCall::OnDebug(CURL* handle, curl_infotype type, char* data, size_t size, void* self)
{
    auto* call = static_cast<FtpCall*>(self);
    if (type == CURLINFO_HEADER_OUT) {
        call->dialogue_.Sent({data, size});
    } else if (type == CURLINFO_HEADER_IN) {
        long port = -1;
        char* peer = nullptr;
        if (call->controlPort_ < 0 &&
            curl_easy_getinfo(handle, CURLINFO_LOCAL_PORT, &port) == CURLE_OK) {
            call->controlPort_ = static_cast<int>(port);
            if (curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &peer) == CURLE_OK && peer)
                call->serverAddress_ = peer;
        }
        call->dialogue_.Received({data, size});
    } else if (type == CURLINFO_TEXT) {
        static constexpr std::string_view kMethods = "SSH authentication methods available: ";
        std::string_view text(data, size);
        // Through a SOCKS proxy the control connection's peer is the proxy,
        // and the server's own address is not known for certain.
        if (text.rfind("SOCKS", 0) == 0)
            call->throughProxy_ = true;
        if (text.rfind(kMethods, 0) == 0) {
            text.remove_prefix(kMethods.size());
            call->authMethods_ = text.substr(0, text.find_first_of("\r\n"));
        }
    }
    return 0;
}

int FtpCall::OnSocketOption(void* self, curl_socket_t fd, curlsocktype purpose)
{
    auto* call = static_cast<FtpCall*>(self);
    if (purpose != CURLSOCKTYPE_ACCEPT)
        return CURL_SOCKOPT_OK;
    if (!call->AcceptFromServer(fd))
        return CURL_SOCKOPT_ERROR;
    call->dialogue_.DataConnected();
    return CURL_SOCKOPT_OK;
}

// The address a socket's peer has, as text, IPv4 also when mapped into IPv6.
std::string PeerAddress(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    char text[INET6_ADDRSTRLEN] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return {};
    if (peer.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&address))
            ::inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &address, text, sizeof text);
    }
    return text;
}

// Anyone who can reach the port that active mode listens on could connect
// before the server and take the upload, or feed a download. Only the
// control connection's peer may: a connection from elsewhere is closed
// unread and the server's waited for, within the data-connection limit.
// libcurl has accepted `fd` and closed its listening socket, which
// OnCloseSocket kept open for this; the server's connection takes over the
// descriptor `fd`.
bool FtpCall::AcceptFromServer(int fd)
{
    std::string peer = PeerAddress(fd);
    if (throughProxy_ || serverAddress_.empty() ||
        strcasecmp(peer.c_str(), serverAddress_.c_str()) == 0) {
        ReleaseListener();
        return true;
    }
    std::string refused = peer;
    auto since = dialogue_.WaitingForDataSince().value_or(Clock::now());
    auto deadline = since + std::chrono::milliseconds(limits_.dataConnectMs);
    while (listener_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd waiting{listener_, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        int next = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (next < 0)
            continue;
        peer = PeerAddress(next);
        if (strcasecmp(peer.c_str(), serverAddress_.c_str()) == 0) {
            // Closes the refused connection, whose descriptor libcurl holds.
            bool taken = ::dup3(next, fd, O_CLOEXEC) == fd;
            ::close(next);
            ReleaseListener();
            return taken;
        }
        ::close(next);
    }
    ReleaseListener();
    error_ = "refused a data connection from " + refused + ", which is not the server (" +
             serverAddress_ + "); the server did not open one within " +
             Duration(limits_.dataConnectMs);
    dataWaitExpired_ = true;
    return false;
}

void FtpCall::ReleaseListener()
{
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

// Closes an upload's data connection only once the server has closed its
// side, having read everything. Over TLS the server sends on it too: TLS 1.3
// session tickets after the handshake (vsftpd as late as while the upload
// runs), then its close_notify. A socket closed with such bytes unread, or
// receiving them afterwards, is reset by the kernel, and the reset discards
// the part of the upload still queued for the server, which then fails the
// transfer (426). Waits while the server keeps taking queued bytes, giving up
// after `quietMs` without progress, as a stalled transfer would.
void LingerUntilPeerCloses(int fd, long quietMs)
{
    if (::shutdown(fd, SHUT_WR) != 0)
        return;
    auto deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    int queued = -1;
    while (Clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        int ready = ::poll(&readable, 1, 200);
        if (ready < 0 && errno != EINTR)
            return;
        char sink[4096];
        while (ready > 0) {
            ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0)
                return; // the server read all and closed
            if (n < 0 && errno != EINTR)
                break;
        }
        int left = 0;
        if (::ioctl(fd, SIOCOUTQ, &left) == 0 && left != queued) {
            queued = left;
            deadline = Clock::now() + std::chrono::milliseconds(quietMs);
        }
    }
}

int FtpCall::OnCloseSocket(void* self, curl_socket_t fd)
{
    auto* call = static_cast<FtpCall*>(self);
    int listening = 0;
    socklen_t optionSize = sizeof listening;
    if (call->active_ &&
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionSize) == 0 &&
        listening != 0) {
        call->ReleaseListener();
        call->listener_ = fd; // for AcceptFromServer; closed by Perform at the latest
        return 0;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    int port = -1;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        if (local.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        else if (local.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    }
    const bool control = call->controlPort_ > 0 && port == call->controlPort_;
    // Only a plain control connection can take a QUIT written to its socket
    // directly; inside TLS the bytes would break the record stream.
    if (control && call->scheme_ == Scheme::Ftp && call->dialogue_.InStepWithoutQuit())
        SayGoodbye(fd, call->limits_.replySeconds * 1000);
    const bool tls =
        call->scheme_ == Scheme::FtpExplicitTls || call->scheme_ == Scheme::FtpImplicitTls;
    curl_off_t sent = -1;
    curl_off_t size = -2;
    if (!control && tls && call->dialogue_.Awaited() == "STOR" && call->handle_ &&
        curl_easy_getinfo(call->handle_.get(), CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK &&
        curl_easy_getinfo(call->handle_.get(), CURLINFO_CONTENT_LENGTH_UPLOAD_T, &size) ==
            CURLE_OK &&
        sent == size)
        LingerUntilPeerCloses(fd, call->limits_.stallSeconds * 1000);
    return ::close(fd);
}

// Fails the call when the server has not opened the data connection within
// the limit since it was asked to. libcurl calls this about once a second
// while it waits, and with every block of data.
int FtpCall::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* call = static_cast<FtpCall*>(self);
    auto since = call->dialogue_.WaitingForDataSince();
    if (!since || Clock::now() - *since < std::chrono::milliseconds(call->limits_.dataConnectMs))
        return 0;
    call->error_ = "the server did not open the data connection within " +
                   std::to_string(call->limits_.dataConnectMs) + " ms";
    call->dataWaitExpired_ = true;
    return 1;
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
        return dataWaitExpired_;
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

struct UploadSource
{
    int fd = -1;
    // The bytes still to send: the file's size when the upload began, so a
    // file that shrinks under it fails the call and one that grows is sent
    // as it was.
    std::int64_t left = 0;
    std::string error;
};

size_t ReadChunk(char* buffer, size_t size, size_t count, void* context)
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
        if (n == 0) {
            source->error = "the local file became shorter during the upload";
            return CURL_READFUNC_ABORT;
        }
        if (errno != EINTR) {
            source->error = std::string("cannot read the local file: ") + std::strerror(errno);
            return CURL_READFUNC_ABORT;
        }
    }
}

struct DownloadTarget
{
    int fd = -1;
    std::int64_t written = 0;
    std::string error;
};

size_t WriteChunk(char* data, size_t size, size_t count, void* context)
{
    auto* target = static_cast<DownloadTarget*>(context);
    size_t bytes = size * count;
    if (WriteAll(target->fd, data, bytes)) {
        target->written += static_cast<std::int64_t>(bytes);
        return bytes;
    }
    target->error = std::string("cannot write the local file: ") + std::strerror(errno);
    return 0; // anything short of `bytes` stops the transfer
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

// The two names of one upload: the caller's path, and a temporary path in
// the same folder (the caller's path up to its last "/", then a temporary
// name), which holds the file until the server has confirmed all of it.
struct UploadNames
{
    std::string finalPath;
    std::string tempPath;
    // Where the file name starts in both paths: after the last "/", or at 0.
    std::size_t nameStart = 0;
};

UploadNames NamesFor(std::string_view remotePath)
{
    auto slash = remotePath.rfind('/');
    std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    return {std::string(remotePath), std::string(remotePath.substr(0, nameStart)) + TemporaryName(),
            nameStart};
}

// One upload attempt, and what the next step needs to know of it.
struct UploadAttempt
{
    Outcome outcome;
    // Active mode got no data connection through: passive mode may.
    bool retryPassive = false;
    // The request would have gone to an HTTP proxy, and was stopped before
    // anything was sent.
    bool throughHttpProxy = false;
    Leftover leftover = Leftover::None;
    // FTP: RNFR was accepted and RNTO refused, as by a server that renames
    // but never onto an existing file.
    bool replaceRefused = false;
};

// Stores the open local file `fd` over one connection: under the temporary
// path, renamed to the final one by commands that libcurl sends only once the
// server has confirmed the whole file. With `straight`, under the final path
// itself, with no rename.
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
    if (auto problem =
            call.Prepare(endpoint, finalPath, storedPath.substr(skip), limits, passive)) {
        attempt.outcome = Failure(*problem);
        return attempt;
    }
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

// Deals with what a failed upload may have left under its temporary name,
// over a connection of its own (the failed one may be unusable) with the same
// time limits. A file the server never confirmed whole is removed. A whole one
// is put in place where that replaces no file the server would keep: the
// final name is free (the old file was removed just before the connection
// dropped), or the server renames onto a file. Otherwise it is removed, but
// never while it may be the only copy:
// - an FTP server that refused to rename onto the old file gets that file
//   deleted and the rename asked for again (SFTP's order); a rename still
//   refused ends the commands there, and the new file stays;
// - over SFTP the request names the final file, and libcurl sends the
//   removal, as a command after the transfer, only when that file exists.
// Success only when the server confirmed the rename (FTP; SFTP does not
// tell), otherwise the failed attempt's outcome.
Outcome SettleTemporary(const Endpoint& endpoint, const UploadNames& names,
                        const UploadAttempt& failed, const TimeLimits& limits)
{
    auto server = ParseServer(endpoint.server);
    const bool sftp = server && server->scheme == Scheme::Sftp;
    const bool whole = failed.leftover == Leftover::Whole;
    const std::string& temp = names.tempPath;
    const std::string& target = names.finalPath;
    FtpCall call;
    if (call.Prepare(endpoint, target, sftp ? target : std::string(), limits, true))
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
        return Outcome{true, {}};
    return failed.outcome;
}

// Retrieves `remotePath` into the open file `target` over one connection.
Outcome DownloadOnce(const Endpoint& endpoint, std::string_view remotePath, DownloadTarget& target,
                     const TimeLimits& limits, bool passive, bool& retryPassive)
{
    retryPassive = false;
    FtpCall call;
    if (auto problem = call.Prepare(endpoint, remotePath, remotePath, limits, passive))
        return Failure(*problem);
    if (::ftruncate(target.fd, 0) != 0 || ::lseek(target.fd, 0, SEEK_SET) != 0)
        return Failure(std::string("cannot empty the local file: ") + std::strerror(errno));
    target.written = 0;
    call.Set(CURLOPT_WRITEFUNCTION, &WriteChunk);
    call.Set(CURLOPT_WRITEDATA, &target);
    // libcurl's 16 KiB default holds an SFTP download to a few requests in
    // flight and costs a call per 16 KiB over FTP.
    call.Set(CURLOPT_BUFFERSIZE, kTransferBufferBytes);
    // The connection stays open after a request, for the second one below;
    // cleaning the handle up still closes it.
    call.Set(CURLOPT_FORBID_REUSE, 0L);
    Outcome outcome = call.Perform(target.error);
    if (call.SizeRefused()) {
        // SIZE lets libcurl check that the whole file arrived, but a server
        // may refuse it (an account without that right, the command switched
        // off) and still serve the file. Ask again on the same connection,
        // without SIZE; the byte count in the reply opening the transfer, if
        // the server gives one, takes its place.
        call.Set(CURLOPT_FRESH_CONNECT, 0L);
        call.Set(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        outcome = call.Perform(target.error);
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
    std::string error;
    if (!OpenSource(localPath, file, size, error))
        return Failure(error);
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
    std::string error;
    if (!file.Create(localPath, error))
        return Failure(error);
    DownloadTarget target{file.fd(), 0, {}};
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
