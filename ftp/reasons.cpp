// The reason behind GetLastFTPError when libcurl fails a request and
// neither the local side nor the library's own checks (host key, data
// connection) gave one. In this order: the server's refusal of the last
// command sent, in its own words; otherwise what libcurl's code and the
// dialogue's state tell (an unresolvable host, the system's reason a
// connection failed, which wait ran out, the certificate check's reason, an
// SFTP server offering no login method the library has); over SFTP
// libcurl's own message, which carries the server's status.

#include "reasons.h"

#include "ftp_call.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <openssl/x509.h>

namespace hoistline {
namespace {

// A system error message as part of a sentence: "connection refused".
std::string LowerFirst(std::string text)
{
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

} // namespace

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

std::string Duration(long ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
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
        if (!hostKeys_.KeyTypes().empty() && NoHostKeyTypeInCommon())
            return hostKeys_.NoTypeInCommon(curlMessage_);
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

} // namespace hoistline
