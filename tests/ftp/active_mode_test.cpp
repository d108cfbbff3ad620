// Active mode's data connection: the passive retry when the server cannot
// or will not connect back, and the data connection taken from the server
// only.

#include "ftp_transfer.h"
#include "scripted_peer.h"
#include "transfer_test_support.h"

#include <gtest/gtest.h>

namespace hoistline::test {
namespace {

// The server never opens the data connection of active mode (a firewall
// between drops its attempt), or says it cannot: the call gives up on active
// mode within the data-connection limit, whether the server keeps quiet
// meanwhile or has already announced the transfer, and tries once more in
// passive mode over a new connection.
TEST(FtpNoDataConnection, RetriesOnceInPassiveModeWithinTheDataConnectionLimit)
{
    EXPECT_EQ(TimeLimits{}.dataConnectMs, 30000); // what the exported calls use
    TempDir local;
    const std::string body = RandomBytes(100000, 9);
    WriteBytes(local.File("a.dmp"), body);
    TimeLimits limits;
    limits.dataConnectMs = 1000;
    limits.replySeconds = 10;
    struct Case
    {
        const char* name;
        ScriptedFtpPeer::Script script;
        bool passiveServed;
    };
    const Case cases[] = {
        {"never connects back", {.activeTransferReply = "", .fileBody = body}, true},
        {"says it cannot",
         {.activeTransferReply = "425 Cannot open data connection.", .fileBody = body},
         true},
        {"announces, never connects, refuses passive mode",
         {.replies = {{"PASV", "502 Command not implemented."}},
          .activeTransferReply = "150 Opening BINARY mode data connection.",
          .fileBody = body},
         false},
    };
    for (const auto& c : cases) {
        for (bool upload : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (upload ? " up" : " down"));
            ScriptedFtpPeer peer(c.script);
            ASSERT_TRUE(peer.ok());
            Endpoint endpoint{"127.0.0.1", peer.port(), "u", "p"};
            auto start = std::chrono::steady_clock::now();
            Outcome outcome = upload ? PutFile(endpoint, "/b/a.dmp", local.File("a.dmp"), limits)
                                     : GetFile(endpoint, "/b/a.dmp", local.File("b.dmp"), limits);
            EXPECT_EQ(outcome.ok, c.passiveServed) << outcome.error;
            EXPECT_LT(SecondsSince(start), 4.0) << outcome.error;
            auto commands = peer.Commands();
            // A new connection; after a failed upload one more, removing its file.
            EXPECT_EQ(WithVerb(commands, "USER").size(), upload && !c.passiveServed ? 3u : 2u);
            EXPECT_EQ(WithVerb(commands, "PORT").size(), 1u);
            EXPECT_EQ(WithVerb(commands, "PASV").size(), 1u);
            if (upload) {
                // The folder is asked for again; the first attempt made it.
                EXPECT_EQ(WithVerb(commands, "MKD"),
                          (std::vector<std::string>{"MKD /b", "MKD /b"}));
            }
            if (c.passiveServed) {
                EXPECT_TRUE((upload ? peer.Received() : ReadBytes(local.File("b.dmp"))) == body);
            }
        }
    }
}

// An intruder at active mode's data port gets no upload and feeds no download;
// without the server's own connection the call fails saying so.
TEST(FtpNoDataConnection, ActiveModeTakesTheDataConnectionFromTheServerOnly)
{
    TempDir local;
    const std::string body = RandomBytes(300000, 23);
    WriteBytes(local.File("a.dmp"), body);
    TimeLimits limits;
    limits.dataConnectMs = 1000;
    for (int i = 0; i < 4; ++i) {
        const bool served = i < 2, upload = i % 2 == 0;
        // The intruder, then the server's connection; or the intruder, then
        // "150" and no connection at all, passive mode refused.
        ScriptedFtpPeer::Script script{
            .address = "127.0.0.2", .intruderFirst = true, .fileBody = body};
        if (!served) {
            script.replies = {{"PASV", "502 Command not implemented."}};
            script.activeTransferReply = "150 Opening BINARY mode data connection.";
        }
        ScriptedFtpPeer peer(script);
        Endpoint at{"127.0.0.2", peer.port(), "u", "p"};
        Outcome outcome = upload ? PutFile(at, "/b/a.dmp", local.File("a.dmp"), limits)
                                 : GetFile(at, "/b/a.dmp", local.File("b.dmp"), limits);
        EXPECT_FALSE(peer.Intercepted());
        EXPECT_TRUE(!served || (upload ? peer.Received() : ReadBytes(local.File("b.dmp"))) == body);
        EXPECT_EQ(outcome.error.find("(active mode: refused a data connection from 127.0.0.1, "
                                     "which is not the server (127.0.0.2);") == std::string::npos,
                  served)
            << outcome.error;
    }
}

// A server that refuses active mode (PORT and EPRT switched off): each call
// gets through in passive mode.
TEST(FtpPassiveRetry, AServerRefusingActiveModeIsServedInPassiveMode)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    SystemServer server({"vsftpd", "--no-active"});
    ASSERT_TRUE(server.ok());
    TempDir local;
    const std::string body = RandomBytes(300000, 11);
    WriteBytes(local.File("a.dmp"), body);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "/in/new/a.dmp", "anonymous", "", server.port(), 0,
                                 local.File("a.dmp").c_str()),
              1);
    EXPECT_TRUE(ReadBytes(server.File("root/in/new/a.dmp")) == body);
    EXPECT_EQ(GetRemoteFileViaFTP("ftp://127.0.0.1", "/in/new/a.dmp", "anonymous", "",
                                  server.port(), 0, local.File("b.dmp").c_str()),
              1);
    EXPECT_TRUE(ReadBytes(local.File("b.dmp")) == body);
}

} // namespace
} // namespace hoistline::test
