// Servers that do not answer, cut a transfer short, stall, or never confirm
// an upload, and servers that let no file grow past a limit: every call ends
// within its time limit, reports 0, and leaves neither a broken local file in
// place of a good one nor a cut file under a remote file's name.

#include "ftp_transfer.h"
#include "known_hosts.h"
#include "scripted_peer.h"
#include "support/net.h"
#include "transfer_test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

namespace hoistline::test {
namespace {

TEST(FtpUnreachable, RefusedConnectionGivesZeroAtOnce)
{
    int port = veltrane::test::FreeLoopbackPort(); // nothing listens there
    TempDir local;
    WriteBytes(local.File("a.dmp"), "x");
    const std::string refused = "connection refused (127.0.0.1:" + std::to_string(port) + ")";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        PutLocalFileViaFTP("127.0.0.1", "/b/a.dmp", "u", "p", port, 0, local.File("a.dmp").c_str()),
        0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_EQ(
        GetRemoteFileViaFTP("127.0.0.1", "a.dmp", "u", "p", port, 0, local.File("a.dmp").c_str()),
        0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_EQ(DeleteRemoteFileViaFTP("127.0.0.1", "a.dmp", "u", "p", port, 0), 0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(ReadBytes(local.File("a.dmp")), "x");
}

// A server that never answers must not hold the call beyond its time limit,
// whether the TCP handshake itself goes unanswered or the greeting does.
TEST(FtpUnreachable, SilentServersGiveZeroWithinTheConnectLimit)
{
    TempDir local;
    WriteBytes(local.File("a.dmp"), "x");
    TimeLimits limits;
    limits.connectMs = 1000;
    for (auto [script, waitedFor] :
         {std::pair{ScriptedFtpPeer::Script{.accepts = false}, "no connection to "},
          std::pair{ScriptedFtpPeer::Script{.greets = false}, "no greeting from "}}) {
        ScriptedFtpPeer peer(script);
        ASSERT_TRUE(peer.ok());
        Endpoint endpoint{"127.0.0.1", peer.port(), "u", "p"};
        auto start = std::chrono::steady_clock::now();
        Outcome put = PutFile(endpoint, "a.dmp", local.File("a.dmp"), limits);
        Outcome get = GetFile(endpoint, "a.dmp", local.File("a.dmp"), limits);
        Outcome del = DeleteFile(endpoint, "a.dmp", limits);
        double seconds = SecondsSince(start);
        EXPECT_FALSE(put.ok || get.ok || del.ok);
        EXPECT_GE(seconds, 2.5) << "each call should wait about its full limit";
        EXPECT_LT(seconds, 10.0) << put.error;
        EXPECT_EQ(put.error, waitedFor + std::string("127.0.0.1:") + std::to_string(peer.port()) +
                                 " within 1 s");
    }
    EXPECT_EQ(ReadBytes(local.File("a.dmp")), "x");
}

// A download the server cuts short, whatever it claims afterwards, or one
// that stops moving, never replaces the local file.
TEST(FtpBrokenDownload, NeverReplacesTheLocalFile)
{
    const std::string body = RandomBytes(200000, 3);
    const std::size_t half = body.size() / 2;
    struct Case
    {
        ScriptedFtpPeer::Script script;
        const char* name;
    };
    const Case cases[] = {
        {{.fileBody = body, .bytesSent = half}, "cut short, claims success"},
        {{.fileBody = body,
          .bytesSent = half,
          .retrEnd = "426 Connection closed; transfer aborted."},
         "cut short, admits failure"},
        {{.replies = {{"SIZE", "550 SIZE not allowed."}}, .fileBody = body, .bytesSent = half},
         "SIZE refused, cut short"},
        {{.fileBody = body, .bytesSent = half, .retrEnd = std::nullopt}, "stalls"},
    };
    TimeLimits limits;
    limits.stallSeconds = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir local;
        WriteBytes(local.File("keep.dmp"), "the good old file");
        ScriptedFtpPeer peer(c.script);
        ASSERT_TRUE(peer.ok());
        auto start = std::chrono::steady_clock::now();
        Outcome got = GetFile({"127.0.0.1", peer.port(), "u", "p"}, "/x/keep.dmp",
                              local.File("keep.dmp"), limits);
        EXPECT_FALSE(got.ok);
        EXPECT_LT(SecondsSince(start), 10.0) << got.error;
        EXPECT_EQ(ReadBytes(local.File("keep.dmp")), "the good old file");
        EXPECT_EQ(OtherFiles(local.path(), "keep.dmp"), std::vector<std::string>{});
        auto commands = peer.Commands();
        EXPECT_NE(std::find(commands.begin(), commands.end(), "RETR /x/keep.dmp"), commands.end());
    }
}

// An upload counts only when the server confirms it has stored the file.
TEST(FtpUnconfirmedUpload, GivesZero)
{
    TempDir local;
    WriteBytes(local.File("a.dmp"), RandomBytes(300000, 5));
    TimeLimits limits;
    limits.replySeconds = 1;
    const std::optional<std::string> storeEnds[] = {
        "552 Requested file action aborted. Exceeded storage allocation.", // refused after the data
        std::nullopt,                                                      // never confirmed
    };
    for (const auto& storeEnd : storeEnds) {
        ScriptedFtpPeer peer({.storEnd = storeEnd});
        ASSERT_TRUE(peer.ok());
        auto start = std::chrono::steady_clock::now();
        Outcome put =
            PutFile({"127.0.0.1", peer.port(), "u", "p"}, "/b/a.dmp", local.File("a.dmp"), limits);
        EXPECT_FALSE(put.ok);
        EXPECT_LT(SecondsSince(start), 10.0) << put.error;
        EXPECT_TRUE(peer.Received() == ReadBytes(local.File("a.dmp")));
        auto commands = peer.Commands();
        // Stored under a temporary name, removed over a new connection.
        auto stores = WithVerb(commands, "STOR");
        ASSERT_EQ(stores.size(), 1u);
        EXPECT_EQ(WithVerb(commands, "DELE").at(0), "DELE " + stores[0].substr(5));
    }
}

// Each scheme, against a server that lets no file grow past 1 MiB as a full disk would: a cut
// upload leaves neither a cut file nor its temporary file and spares the old file; a good one
// leaves exactly its file, replacing the old one.
TEST(FtpWholeOrNothing, ACutUploadLeavesNothingAndAGoodOneReplaces)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    const std::string limit = std::to_string(1 << 20),
                      user = "hoistline" + std::to_string(::getpid());
    TempDir local;
    WriteBytes(local.File("big"), RandomBytes(4 << 20, 13));
    WriteBytes(local.File("old"), "old");
    WriteBytes(local.File("new"), AllByteValues());
    // The local file sent, and the one whose bytes the server holds afterwards.
    const std::pair<std::string, const char*> steps[] = {
        {"big", nullptr}, {"old", "old"}, {"new", "new"}, {"big", "new"}};
    for (std::string kind : {"ftp", "ftpes", "ftps", "sftp"}) {
        const bool sftp = kind == "sftp";
        std::vector<std::string> arguments = {"vsftpd", "--max-file-size", limit};
        if (sftp)
            arguments = {"sshd", "--max-file-size", limit, "--user", user, "--password", "pw"};
        else if (kind != "ftp")
            arguments.insert(arguments.end(), {"--tls", kind == "ftps" ? "implicit" : "explicit"});
        SystemServer peer(arguments);
        ASSERT_TRUE(peer.ok());
        setenv("SSL_CERT_FILE", peer.File("ca.pem").c_str(), 1);
        const std::string scan = "ssh-keyscan -p " + std::to_string(peer.port()) + " 127.0.0.1";
        WriteBytes(local.File("known"), sftp ? OutputOf(scan) : "");
        setenv(kKnownHostsVariable, local.File("known").c_str(), 1);
        const Endpoint endpoint{kind + "://127.0.0.1", peer.port(), sftp ? user : "anonymous",
                                sftp ? "pw" : ""};
        const std::string remote = sftp ? "up/a.dmp" : "/in/up/a.dmp";
        const std::string folder = peer.File(sftp ? "home/up" : "root/in/up");
        for (const auto& [sent, held] : steps) {
            SCOPED_TRACE(kind + " " + sent);
            EXPECT_EQ(PutFile(endpoint, remote, local.File(sent)).ok, sent != "big");
            EXPECT_EQ(OtherFiles(folder, ""),
                      held ? std::vector<std::string>{"a.dmp"} : std::vector<std::string>{});
            EXPECT_TRUE(!held || ReadBytes(folder + "/a.dmp") == ReadBytes(local.File(held)));
        }
    }
}

} // namespace
} // namespace hoistline::test
