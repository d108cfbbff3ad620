// Preparing a call's libcurl handle: the checks every call shares (the remote
// path, line breaks in the login, the port, the server text), then the
// options of each scheme: active or passive mode for plain FTP, TLS 1.2 or
// newer with OpenSSL's default trust store for FTP with TLS, password logins
// and the library's own host-key check for SFTP; and for all of them the path
// sent as given, one connection per call, the time limits, and the callbacks
// that follow the dialogue.

#include "ftp_call.h"

#include <mutex>
#include <openssl/ssl.h>

namespace hoistline {
namespace {

// libcurl must be initialised once per process before any handle exists, and
// never again; the calls may come from several threads at once.
bool InitialiseCurlOnce()
{
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

// Takes the certificates to trust from OpenSSL's own default places: the
// system's store, or the file and folder that SSL_CERT_FILE and SSL_CERT_DIR
// name instead, as for any other OpenSSL program on the machine.
CURLcode UseDefaultTrustStore(CURL* /*handle*/, void* sslContext, void* /*self*/) noexcept
{
    return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(sslContext)) == 1
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

} // namespace

Outcome FtpCall::Prepare(const Endpoint& endpoint, std::string_view remotePath,
                         std::string_view urlPath, const TimeLimits& limits, bool passive)
{
    if (Outcome path = CheckRemotePath(remotePath); !path.ok)
        return path;
    if ((endpoint.user && HasLineBreak(*endpoint.user)) ||
        (endpoint.password && HasLineBreak(*endpoint.password)))
        return Failure("the user name or password holds a line break");
    if (endpoint.port < 0 || endpoint.port > 65535)
        return Failure("port " + std::to_string(endpoint.port) + " is out of range");
    auto server = ParseServer(endpoint.server);
    if (!server)
        return Failure("\"" + endpoint.server +
                       "\" is not a host name or address with a known scheme");
    scheme_ = server->scheme;
    host_ = server->host;
    port_ = endpoint.port == 0 ? DefaultPort(scheme_) : endpoint.port;
    where_ = host_ + ":" + std::to_string(port_);
    auto url = FileUrl(endpoint.server, port_, urlPath);
    if (!InitialiseCurlOnce())
        return Failure("the network library could not be initialised");
    handle_.reset(curl_easy_init());
    if (!handle_)
        return Failure("the network library could not start a session");
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
        // The host key is checked by the library against the known_hosts
        // lines that apply to the server as OpenSSH applies them, not by
        // libcurl (sftp_host_keys.h).
        if (Outcome loaded = hostKeys_.Load(host_, port_); !loaded.ok)
            return loaded;
        Set(CURLOPT_SSH_HOSTKEYFUNCTION, &SftpHostKeyCheck::OnHostKey);
        Set(CURLOPT_SSH_HOSTKEYDATA, &hostKeys_);
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
    return Success();
}

} // namespace hoistline
