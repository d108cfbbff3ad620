// FTP with TLS against the system's servers (vsftpd, proftpd, pure-ftpd):
// certificates checked, old TLS refused, uploads whole.

#include "ftp_transfer.h"
#include "support/net.h"
#include "transfer_test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/ssl.h>
#include <unistd.h>

namespace hoistline::test {
namespace {

// FTP with TLS, which the servers demand for the login and every data
// connection. The certificate must chain to OpenSSL's default trust store
// (SSL_CERT_FILE names the test CA) and name the host as given.
TEST(FtpOverTls, EveryCallGoesThroughAVerifiedServerOnly)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    SystemServer explicitTls({"vsftpd", "--tls", "explicit"});
    SystemServer implicitTls({"vsftpd", "--tls", "implicit"}, 990); // reached with port 0
    SystemServer oldTls({"vsftpd", "--tls", "explicit", "--old-tls-only"});
    ASSERT_TRUE(explicitTls.ok() && implicitTls.ok() && oldTls.ok());
    // This process too allows TLS 1.0 and 1.1, as oldTls does; the library must not.
    ASSERT_EQ(OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr), 1);
    ASSERT_EQ(CONF_modules_load_file(oldTls.File("openssl.cnf").c_str(), nullptr, 0), 1);
    const std::string testCa = explicitTls.File("ca.pem");
    TempDir local;
    WriteBytes(local.File("a.dmp"), AllByteValues());
    struct Case
    {
        const char* server;
        const SystemServer& peer;
        std::string trusted; // SSL_CERT_FILE
        int result;
        std::string reason = "";
    };
    const std::string rejected = "certificate rejected: ";
    const Case cases[] = {
        {"ftpes://127.0.0.1", explicitTls, testCa, 1},
        {"FTPS://127.0.0.1", implicitTls, implicitTls.File("ca.pem"), 1},
        {"ftpes://localhost", explicitTls, testCa, 0, rejected + "hostname mismatch"},
        {"ftpes://127.0.0.1", explicitTls, "/etc/ssl/certs/ca-certificates.crt", 0,
         rejected + "unable to get local issuer certificate"},
        {"ftpes://127.0.0.1", oldTls, oldTls.File("ca.pem"), 0,
         "TLS handshake with 127.0.0.1:" + std::to_string(oldTls.port()) +
             " failed: the server offers no TLS version from 1.2 up"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.server) + " trusting " + c.trusted);
        setenv("SSL_CERT_FILE", c.trusted.c_str(), 1);
        int port = &c.peer == &implicitTls ? 0 : c.peer.port();
        // A file in place, for the download and deletion a refusal must stop.
        const std::string remote = c.peer.File("root/in/t/a.dmp");
        fs::create_directories(c.peer.File("root/in/t"));
        WriteBytes(remote, "old");
        for (const auto& made : {remote, c.peer.File("root/in/t")})
            fs::permissions(made, fs::perms::all);
        EXPECT_EQ(PutLocalFileViaFTP(c.server, "/in/t/a.dmp", "anonymous", "", port, 0,
                                     local.File("a.dmp").c_str()),
                  c.result);
        EXPECT_EQ(LastError(), c.reason);
        EXPECT_EQ(GetRemoteFileViaFTP(c.server, "/in/t/a.dmp", "anonymous", "", port, 0,
                                      local.File("b.dmp").c_str()),
                  c.result);
        EXPECT_EQ(FileExists(local.File("b.dmp")) &&
                      ReadBytes(local.File("b.dmp")) == AllByteValues(),
                  c.result == 1);
        EXPECT_EQ(DeleteRemoteFileViaFTP(c.server, "/in/t/a.dmp", "anonymous", "", port, 0),
                  c.result);
        EXPECT_EQ(FileExists(remote), c.result == 0);
        fs::remove(local.File("b.dmp"));
    }
    EXPECT_EQ(ReadBytes(oldTls.File("log")).find("\"USER"), std::string::npos); // no login
    // Despite vsftpd's TLS 1.3 session tickets, 100 KiB to 1 MiB uploads in a row all arrive whole.
    const std::string bytes = RandomBytes(1 << 20, 17);
    for (const auto& c : {cases[0], cases[1]}) {
        setenv("SSL_CERT_FILE", c.trusted.c_str(), 1);
        for (unsigned i = 0; i < 30; ++i) {
            WriteBytes(local.File("q"), bytes.substr(0, (100 + i * 31) * 1024 + i));
            Outcome put =
                PutFile({c.server, c.peer.port(), "anonymous", ""}, "/in/q", local.File("q"));
            ASSERT_TRUE(put.ok && ReadBytes(c.peer.File("root/in/q")) == ReadBytes(local.File("q")))
                << put.error;
        }
    }
}

// proftpd and pure-ftpd, over FTP with TLS: an upload and a download each.
TEST(FtpOverTls, OtherServersTakeAnUploadAndGiveItBack)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    const char* unpacked = std::getenv("HOISTLINE_TEST_SERVERS");
    const std::string folder = unpacked ? unpacked : "/opt/hoistline-test-servers",
                      user = "hoistline" + std::to_string(::getpid());
    TempDir local;
    WriteBytes(local.File("a.dmp"), AllByteValues());
    for (std::string kind : {"proftpd", "pure-ftpd"}) {
        if (!FileExists("/usr/sbin/" + kind) && !FileExists(folder + "/usr/sbin/" + kind))
            GTEST_SKIP() << kind << " is neither installed nor unpacked in " << folder;
        SystemServer server({kind, "--user", user, "--password", "pw"});
        setenv("SSL_CERT_FILE", server.File("ca.pem").c_str(), 1);
        const Endpoint at{"ftpes://127.0.0.1", server.port(), user, "pw"};
        EXPECT_EQ(PutFile(at, "/in/a.dmp", local.File("a.dmp")).error, "") << kind;
        EXPECT_EQ(GetFile(at, "/in/a.dmp", local.File("b.dmp")).error, "") << kind;
        EXPECT_TRUE(ReadBytes(local.File("b.dmp")) == AllByteValues()) << kind;
    }
}

} // namespace
} // namespace hoistline::test
