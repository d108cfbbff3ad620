// Proxies named in the environment: honoured, and an HTTP proxy's "200 OK"
// taken for nothing it did not do.

#include "support/net.h"
#include "transfer_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace hoistline::test {
namespace {

// The connection goes through the proxy the environment names, as for any
// other program on the machine; here that proxy is not running.
TEST(FtpProxy, EnvironmentProxySettingsAreHonoured)
{
    FtpTestServer server;
    ASSERT_TRUE(server.ok());
    TempDir local;
    WriteBytes(local.File("a.dmp"), "x");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    std::string deadProxy =
        "http://127.0.0.1:" + std::to_string(veltrane::test::FreeLoopbackPort());
    setenv("ftp_proxy", deadProxy.c_str(), 1);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, server.port(), 0,
                                 local.File("a.dmp").c_str()),
              0);
    setenv("no_proxy", "127.0.0.1", 1);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, server.port(), 0,
                                 local.File("a.dmp").c_str()),
              1);
    EXPECT_EQ(WithVerb(server.Commands(), "STOR").size(), 1u);
}

// An HTTP proxy that answers every request with "200 OK" and no body, as a
// proxy in front of an FTP server answers a request for the root folder. It
// records the request lines it received.
class AgreeingHttpProxy
{
public:
    AgreeingHttpProxy()
    {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ||
            ::listen(listenFd_, 4) ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length))
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~AgreeingHttpProxy()
    {
        ::shutdown(listenFd_, SHUT_RDWR); // ends the accept below
        if (thread_.joinable())
            thread_.join();
        ::close(listenFd_);
    }
    int port() const { return port_; }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Serve()
    {
        for (;;) {
            int client = ::accept(listenFd_, nullptr, nullptr);
            if (client < 0)
                return;
            std::string request;
            char buffer[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request.substr(0, request.find("\r\n")));
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            (void)!::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// Through an HTTP proxy libcurl asks for the bare server URL and never sends
// DELE; the proxy's "200 OK" must not pass for a deletion. Nor could it send
// the rename after an upload, which therefore goes straight to its name.
TEST(FtpProxy, DeleteThroughAnHttpProxyIsNoDeletion)
{
    AgreeingHttpProxy proxy;
    ASSERT_NE(proxy.port(), 0);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    setenv("ftp_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
    const int port = veltrane::test::FreeLoopbackPort();
    const int deleted = DeleteRemoteFileViaFTP("127.0.0.1", "/backup/old.dmp", "u", "p", port, 0);
    TempDir local;
    WriteBytes(local.File("a.dmp"), "x");
    const int put =
        PutLocalFileViaFTP("127.0.0.1", "/b/a.dmp", "u", "p", port, 0, local.File("a.dmp").c_str());
    unsetenv("ftp_proxy");
    EXPECT_EQ(deleted, 0);
    ASSERT_GE(proxy.Requests().size(), 2u); // the calls really went through the proxy
    EXPECT_EQ(proxy.Requests().front().rfind("HEAD ftp://", 0), 0u) << proxy.Requests().front();
    EXPECT_EQ(put, 1);
    EXPECT_EQ(proxy.Requests().back(),
              "PUT ftp://u:p@127.0.0.1:" + std::to_string(port) + "/%2Fb/a.dmp HTTP/1.1");
}

} // namespace
} // namespace hoistline::test
