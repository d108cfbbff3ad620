#include "tls_transport.h"

#include "tcp_transport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sendwick {

namespace {

using Clock = std::chrono::steady_clock;

// One TLS record's worth of plaintext per write.
constexpr std::size_t kWritePiece = 16 * 1024;

int SocketOf(BIO* bio)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

// OpenSSL's own socket BIO writes with write(2), so a peer that has hung up
// raises SIGPIPE, which ends the calling program. This one sends with
// MSG_NOSIGNAL and reports EPIPE as an error instead.
int BioWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = send(SocketOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = recv(SocketOf(bio), data, static_cast<std::size_t>(length), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

// Made once and kept for the life of the process, like OpenSSL's own
// methods; it holds no state of any session.
const BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sendwick socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
        }
        return m;
    }();
    return method;
}

bool IsAddress(const std::string& host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The reason of the last failure of `ssl`: the certificate check's, or else
// OpenSSL's last error after `context`. Leaves OpenSSL's error queue empty.
std::string FailureReason(SSL* ssl, int error, const std::string& context)
{
    std::string reason;
    long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK)
        reason = std::string("certificate rejected: ") + X509_verify_cert_error_string(verify);
    else if (unsigned long code = ERR_peek_last_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        reason = context + text;
    } else if (error == SSL_ERROR_SYSCALL && errno != 0)
        reason = context + std::strerror(errno);
    else
        reason = context + "connection closed";
    ERR_clear_error();
    return reason;
}

// Waits for what OpenSSL asked for after `result`; false when it asked for
// nothing that waiting can give, or `deadline` passed first.
bool WaitForRetry(SSL* ssl, int fd, int result, Transport::Deadline deadline, int& error)
{
    error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ)
        return WaitForSocket(fd, POLLIN, deadline);
    if (error == SSL_ERROR_WANT_WRITE)
        return WaitForSocket(fd, POLLOUT, deadline);
    return false;
}

struct ContextFree
{
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree
{
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

class TlsTransport final : public Transport
{
public:
    TlsTransport(int fd, ContextPtr context, SslPtr ssl)
        : fd_(fd), context_(std::move(context)), ssl_(std::move(ssl))
    {}

    ~TlsTransport() override
    {
        // close_notify, without waiting for the peer's: the session is over.
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
        ssl_.reset();
        close(fd_);
    }

    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    Outcome Write(std::string_view bytes, std::chrono::milliseconds stallTimeout,
                  Deadline deadline) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const std::size_t piece = std::min(kWritePiece, bytes.size() - done);
            std::size_t written = 0;
            const int result = SSL_write_ex(ssl_.get(), bytes.data() + done, piece, &written);
            if (result == 1) {
                done += written;
                continue;
            }
            int error = 0;
            const Deadline wait = std::min(Clock::now() + stallTimeout, deadline);
            if (!WaitForRetry(ssl_.get(), fd_, result, wait, error)) {
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                    return Outcome::Failure(Outcome::Code::TimedOut, "the peer takes no data");
                return Outcome::Failure(Outcome::Code::Network,
                                        FailureReason(ssl_.get(), error, {}));
            }
        }
        return Outcome::Success();
    }

    ReadStatus ReadSome(std::string& into, std::size_t max, Deadline deadline) override
    {
        char buffer[1024];
        max = std::min(max, sizeof buffer);
        for (;;) {
            std::size_t got = 0;
            const int result = SSL_read_ex(ssl_.get(), buffer, max, &got);
            if (result == 1) {
                into.append(buffer, got);
                return ReadStatus::Data;
            }
            int error = 0;
            if (!WaitForRetry(ssl_.get(), fd_, result, deadline, error)) {
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                    return ReadStatus::TimedOut;
                ERR_clear_error();
                return ReadStatus::Closed;
            }
        }
    }

    std::size_t Buffered() const override
    {
        return static_cast<std::size_t>(std::max(0, SSL_pending(ssl_.get())));
    }

    TlsStart StartTls(const std::string&, Deadline) override
    {
        return {nullptr, Outcome::Failure(Outcome::Code::Refused, "TLS is already on"), {}, {}};
    }

private:
    int fd_;
    ContextPtr context_;
    SslPtr ssl_;
};

constexpr const char* kHandshakeFailed = "TLS handshake failed: ";

TlsStart Fail(int fd, Outcome::Code code, std::string reason)
{
    close(fd);
    ERR_clear_error();
    return {nullptr, Outcome::Failure(code, std::move(reason)), {}, {}};
}

} // namespace

TlsStart StartClientTls(int fd, const std::string& host, Transport::Deadline deadline)
{
    if (fd < 0)
        return {nullptr, Outcome::Failure(Outcome::Code::Network, "not connected"), {}, {}};
    ERR_clear_error();
    ContextPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context || SocketMethod() == nullptr)
        return Fail(fd, Outcome::Code::Tls, kHandshakeFailed + std::string("no OpenSSL context"));
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    // A missing default file or folder is no error here: the verification
    // then finds no trusted certificate and says so.
    SSL_CTX_set_default_verify_paths(context.get());
    ERR_clear_error();

    SslPtr ssl(SSL_new(context.get()));
    BIO* bio = ssl ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr)
        return Fail(fd, Outcome::Code::Tls, kHandshakeFailed + std::string("no OpenSSL context"));
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl.get(), bio, bio);

    // A name is checked against the certificate's DNS names and sent as the
    // server name; an address is checked against its IP entries and never
    // sent (RFC 6066 3). A name's final dot is no part of what certificates
    // hold.
    std::string name = host;
    if (name.size() > 1 && name.back() == '.')
        name.pop_back();
    bool named = false;
    if (IsAddress(name))
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name.c_str()) == 1;
    else
        named = SSL_set_tlsext_host_name(ssl.get(), name.c_str()) == 1 &&
                SSL_set1_host(ssl.get(), name.c_str()) == 1;
    if (!named)
        return Fail(fd, Outcome::Code::BadInput, kHandshakeFailed + ("unusable host name " + host));
    SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);

    for (;;) {
        const int result = SSL_connect(ssl.get());
        if (result == 1)
            break;
        int error = 0;
        if (!WaitForRetry(ssl.get(), fd, result, deadline, error)) {
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                return Fail(fd, Outcome::Code::TimedOut,
                            kHandshakeFailed + std::string("timed out"));
            return Fail(fd, Outcome::Code::Tls, FailureReason(ssl.get(), error, kHandshakeFailed));
        }
    }
    TlsStart start;
    start.protocol = SSL_get_version(ssl.get());
    start.cipher = SSL_get_cipher_name(ssl.get());
    start.outcome = Outcome::Success();
    start.transport = std::make_unique<TlsTransport>(fd, std::move(context), std::move(ssl));
    return start;
}

} // namespace sendwick
