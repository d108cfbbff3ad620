// The three calls against real FTP, FTPS and SFTP servers (pyftpdlib started
// per test; as root also vsftpd, proftpd, pure-ftpd and sshd) and scripted
// peers for what no real server does, checked through what the servers
// received: their files and their logs.

#include "ftp_test_server.h"
#include "ftp_transfer.h"
#include "hoistline.h"
#include "known_hosts.h"
#include "scripted_peer.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/conf.h>
#include <openssl/ssl.h>
#include <random>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace hoistline::test {
namespace {

using veltrane::test::FileExists;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;
namespace fs = std::filesystem;

constexpr const char* kUser = FtpTestServer::kUser;
constexpr const char* kPassword = FtpTestServer::kPassword;

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    // CR LF pairs and lone LFs too: a text-mode transfer would change them.
    return bytes + "\r\n\n\r" + bytes;
}

// Everything in `folder` except `keep`: leftovers of a transfer.
std::vector<std::string> OtherFiles(const std::string& folder, const std::string& keep)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != keep)
            names.push_back(entry.path().filename());
    }
    return names;
}

// What GetLastFTPError says of this thread's last call.
std::string LastError()
{
    char reason[512];
    GetLastFTPError(reason, sizeof reason);
    return reason;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class FtpTransfer : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(server_.ok()) << server_.LogText(); }

    int Put(const std::string& remote, const std::string& local, const char* password = kPassword)
    {
        return PutLocalFileViaFTP("127.0.0.1", remote.c_str(), kUser, password, server_.port(), 0,
                                  local.c_str());
    }
    int Get(const std::string& remote, const std::string& local, const char* password = kPassword)
    {
        return GetRemoteFileViaFTP("127.0.0.1", remote.c_str(), kUser, password, server_.port(), 0,
                                   local.c_str());
    }
    int Delete(const std::string& remote, const char* password = kPassword)
    {
        return DeleteRemoteFileViaFTP("127.0.0.1", remote.c_str(), kUser, password, server_.port(),
                                      0);
    }
    Endpoint ServerEndpoint() const { return {"127.0.0.1", server_.port(), kUser, kPassword}; }

    FtpTestServer server_;
    TempDir local_;
};

TEST_F(FtpTransfer, UploadRequestsEachFolderOutermostFirstThenStoresInActiveBinaryMode)
{
    struct Case
    {
        std::string remote;
        std::vector<std::string> folderRequests;
    };
    const Case cases[] = {
        {"/backup/2008/a.dmp", {"MKD /backup", "MKD /backup/2008"}},
        {"top.dmp", {}},
        {"a/b.dmp", {}},
        {"ab/c.dmp", {"MKD ab"}},
    };
    // "a/b.dmp" requests no folder, so its folder must be there already.
    fs::create_directories(server_.DiskPath("a"));
    std::string local = local_.File("dump.dmp");
    WriteBytes(local, "dump contents");

    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        server_.NewCommands();
        ASSERT_EQ(Put(c.remote, local), 1);
        auto commands = server_.NewCommands();
        EXPECT_EQ(WithVerb(commands, "MKD"), c.folderRequests);
        // Stored under a temporary name in the same folder, then renamed.
        auto stores = WithVerb(commands, "STOR");
        ASSERT_EQ(stores.size(), 1u);
        const std::string folder = c.remote.substr(0, c.remote.rfind('/') + 1);
        EXPECT_EQ(stores[0].rfind("STOR " + folder + "hoistline-", 0), 0u);
        EXPECT_EQ(WithVerb(commands, "RNTO"), std::vector<std::string>{"RNTO " + c.remote});
        EXPECT_EQ(WithVerb(commands, "TYPE"), std::vector<std::string>{"TYPE I"});
        EXPECT_EQ(WithVerb(commands, "PORT").size(), 1u);
        EXPECT_TRUE(WithVerb(commands, "PASV").empty() && WithVerb(commands, "EPSV").empty());
        // The folders are requested before anything else of the transfer.
        auto store = std::find(commands.begin(), commands.end(), stores[0]);
        for (const auto& mkd : c.folderRequests)
            EXPECT_LT(std::find(commands.begin(), commands.end(), mkd), store);
        EXPECT_EQ(ReadBytes(server_.DiskPath(c.remote)), "dump contents");
    }
    // Absolute paths start at the server's root, relative ones at the login
    // folder, which is not the root on this server.
    EXPECT_TRUE(FileExists(server_.root() + "/backup/2008/a.dmp"));
    EXPECT_TRUE(FileExists(server_.root() + "/" + FtpTestServer::kLoginFolder + "/ab/c.dmp"));
    EXPECT_FALSE(FileExists(server_.root() + "/ab/c.dmp"));
    // Every call closed its connection (with QUIT) before it returned.
    EXPECT_TRUE(server_.WaitForAllSessionsClosed());
    EXPECT_EQ(WithVerb(server_.Commands(), "QUIT").size(), std::size(cases));
}

TEST_F(FtpTransfer, UploadSucceedsWhenTheFoldersAlreadyExistOrAreRefused)
{
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "first");
    ASSERT_EQ(Put("/backup/2008/a.dmp", local), 1);
    WriteBytes(local, "second, replacing the first");
    server_.NewCommands();
    ASSERT_EQ(Put("/backup/2008/a.dmp", local), 1);
    EXPECT_EQ(WithVerb(server_.NewCommands(), "MKD").size(), 2u);
    auto replies = server_.Replies();
    EXPECT_GE(std::count_if(replies.begin(), replies.end(),
                            [](const std::string& r) { return r.rfind("550", 0) == 0; }),
              2);
    EXPECT_EQ(ReadBytes(server_.DiskPath("/backup/2008/a.dmp")), "second, replacing the first");
}

TEST_F(FtpTransfer, UploadAndDownloadKeepEveryByte)
{
    struct Case
    {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"all-bytes.dmp", AllByteValues()},
        {"large.dmp", RandomBytes(10 * 1024 * 1024 + 12345, 7)},
        {"empty.dmp", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string up = local_.File(std::string("up-") + c.name);
        std::string down = local_.File(std::string("down-") + c.name);
        WriteBytes(up, c.content);
        ASSERT_EQ(Put(std::string("/data/") + c.name, up), 1);
        EXPECT_TRUE(ReadBytes(server_.DiskPath(std::string("/data/") + c.name)) == c.content);
        ASSERT_EQ(Get(std::string("/data/") + c.name, down), 1);
        EXPECT_TRUE(ReadBytes(down) == c.content);
    }
}

TEST_F(FtpTransfer, PathBytesReachTheServerUnchanged)
{
    // "백업" in code page 949, and names a URL would otherwise reinterpret.
    const std::string backup = "\xB9\xE9\xBE\xF7";
    const std::string remotes[] = {
        "/" + backup + "/" + backup + " 2008.dmp",
        "/odd/100% done #1?.dmp",
        "/odd/x;type=a",
    };
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "line one\r\nline two\n");
    for (const auto& remote : remotes) {
        SCOPED_TRACE(remote);
        ASSERT_EQ(Put(remote, local), 1);
        EXPECT_EQ(ReadBytes(server_.DiskPath(remote)), "line one\r\nline two\n");
        std::string back = local_.File("back.dmp");
        ASSERT_EQ(Get(remote, back), 1);
        EXPECT_EQ(ReadBytes(back), "line one\r\nline two\n");
        ASSERT_EQ(Delete(remote), 1);
        EXPECT_FALSE(FileExists(server_.DiskPath(remote)));
    }
}

TEST_F(FtpTransfer, ControlBytesInThePathReachTheServerOnUploadAndDelete)
{
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "dump");
    for (std::string remote : {"/odd/tab\there\x01.dmp", "ctl\x1b/x\ty.dmp"}) {
        SCOPED_TRACE(remote);
        fs::path disk = server_.DiskPath(remote);
        ASSERT_EQ(Put(remote, local), 1);
        EXPECT_EQ(ReadBytes(disk), "dump");
        EXPECT_EQ(OtherFiles(disk.parent_path(), disk.filename()), std::vector<std::string>{});
        EXPECT_EQ(Get(remote, local), 0); // no retrieval command can name it
        ASSERT_EQ(Delete(remote), 1);
        EXPECT_FALSE(FileExists(disk));
    }
}

TEST_F(FtpTransfer, UploadOfAMissingLocalFileFailsWithoutTouchingTheServer)
{
    EXPECT_EQ(Put("/backup/a.dmp", local_.File("missing.dmp")), 0);
    EXPECT_EQ(LastError(),
              "cannot open " + local_.File("missing.dmp") + ": No such file or directory");
    EXPECT_EQ(Put("/backup/a.dmp", local_.path()), 0); // a folder is not a file
    EXPECT_EQ(LastError(), local_.path() + " is not a regular file");
    EXPECT_TRUE(server_.Commands().empty());
    EXPECT_FALSE(fs::exists(server_.DiskPath("/backup")));
}

TEST_F(FtpTransfer, DownloadReplacesAnExistingLocalFileAndLeavesNothingElse)
{
    WriteBytes(server_.DiskPath("report.log"), "new contents");
    std::string local = local_.File("report.log");
    WriteBytes(local, "old contents that are longer than the new ones");
    ASSERT_EQ(Get("report.log", local), 1);
    EXPECT_EQ(ReadBytes(local), "new contents");
    EXPECT_EQ(OtherFiles(local_.path(), "report.log"), std::vector<std::string>{});
    EXPECT_EQ(WithVerb(server_.Commands(), "RETR"), std::vector<std::string>{"RETR report.log"});
}

TEST_F(FtpTransfer, FailedDownloadLeavesTheOldLocalFileIntact)
{
    std::string local = local_.File("keep.dmp");
    WriteBytes(local, "the good old file");
    fs::create_directories(server_.DiskPath("folder"));
    EXPECT_EQ(Get("missing.dmp", local), 0);
    EXPECT_EQ(Get("folder", local), 0);
    EXPECT_EQ(Get("folder/", local), 0);
    EXPECT_EQ(Get("missing.dmp", local, "wrong password"), 0);
    EXPECT_EQ(ReadBytes(local), "the good old file");
    EXPECT_EQ(OtherFiles(local_.path(), "keep.dmp"), std::vector<std::string>{});
    // A download into a folder that does not exist fails and creates nothing.
    WriteBytes(server_.DiskPath("there.dmp"), "x");
    EXPECT_EQ(Get("there.dmp", local_.File("no/such/folder/x.dmp")), 0);
}

TEST_F(FtpTransfer, DownloadTheLocalDiskCannotHoldFailsAndKeepsTheOldFile)
{
    // Writes past 64 KiB fail (EFBIG) as on a full disk: both for a file
    // that arrives in pieces gathered into one write at its end, and for one
    // written while it arrives.
    std::string local = local_.File("keep.dmp");
    WriteBytes(local, "the good old file");
    WriteBytes(server_.DiskPath("small.dmp"), RandomBytes(200 * 1024, 3));
    WriteBytes(server_.DiskPath("large.dmp"), RandomBytes(3 * 1024 * 1024, 4));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldAction = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int smallGot = Get("small.dmp", local);
    const std::string smallError = LastError();
    const int largeGot = Get("large.dmp", local);
    const std::string largeError = LastError();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldAction);
    EXPECT_EQ(smallGot, 0);
    EXPECT_EQ(largeGot, 0);
    EXPECT_NE(smallError.find("cannot write the local file"), std::string::npos) << smallError;
    EXPECT_NE(largeError.find("cannot write the local file"), std::string::npos) << largeError;
    EXPECT_TRUE(ReadBytes(local) == "the good old file"); // no bytes dumped when it fails
    EXPECT_EQ(OtherFiles(local_.path(), "keep.dmp"), std::vector<std::string>{});
}

TEST_F(FtpTransfer, DeleteRemovesTheFileAndFailsForAMissingOne)
{
    fs::create_directories(server_.DiskPath("/backup"));
    WriteBytes(server_.DiskPath("/backup/old.dmp"), "old");
    ASSERT_TRUE(FileExists(server_.DiskPath("/backup/old.dmp")));
    EXPECT_EQ(Delete("/backup/old.dmp"), 1);
    EXPECT_EQ(LastError(), "");
    EXPECT_FALSE(FileExists(server_.DiskPath("/backup/old.dmp")));
    EXPECT_EQ(Delete("/backup/old.dmp"), 0);
    EXPECT_EQ(LastError().rfind("DELE refused: 550 ", 0), 0u) << LastError();
    EXPECT_EQ(WithVerb(server_.Commands(), "DELE"),
              (std::vector<std::string>{"DELE /backup/old.dmp", "DELE /backup/old.dmp"}));
    // The refused deletion ends its session as politely as the good one.
    EXPECT_EQ(WithVerb(server_.Commands(), "QUIT").size(), 2u);
}

TEST_F(FtpTransfer, WrongPasswordFailsAllThreeCalls)
{
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "local");
    WriteBytes(server_.DiskPath("b.dmp"), "remote");
    const std::string refused = "login refused: 530 Authentication failed.";
    EXPECT_EQ(Put("c.dmp", local, "wrong"), 0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_EQ(Get("b.dmp", local, "wrong"), 0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_EQ(Delete("b.dmp", "wrong"), 0);
    EXPECT_EQ(LastError(), refused);
    EXPECT_EQ(ReadBytes(local), "local");
    EXPECT_TRUE(FileExists(server_.DiskPath("b.dmp")));
    EXPECT_FALSE(FileExists(server_.DiskPath("c.dmp")));
    auto replies = server_.Replies();
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(),
                            [](const std::string& r) { return r.rfind("530", 0) == 0; }),
              3);
    // The login name and password are sent as given.
    EXPECT_EQ(WithVerb(server_.Commands(), "USER").front(), std::string("USER ") + kUser);
    // Each refused session still ends with QUIT.
    EXPECT_EQ(WithVerb(server_.Commands(), "QUIT").size(), 3u);
}

TEST_F(FtpTransfer, LineBreaksInPathUserOrPasswordAreRefusedBeforeAnythingIsSent)
{
    WriteBytes(server_.DiskPath("keep.dmp"), "must survive");
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "local");
    const std::string injected = "\r\nDELE keep.dmp";
    const std::string path = "a.dmp" + injected;
    const std::string user = std::string(kUser) + injected;
    const std::string password = std::string(kPassword) + "\nDELE keep.dmp";
    struct Case
    {
        const char* remote;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {path.c_str(), kUser, kPassword},
        {"a.dmp", user.c_str(), kPassword},
        {"a.dmp", kUser, password.c_str()},
    };
    for (const auto& c : cases) {
        int port = server_.port();
        EXPECT_EQ(
            PutLocalFileViaFTP("127.0.0.1", c.remote, c.user, c.password, port, 0, local.c_str()),
            0);
        EXPECT_EQ(
            GetRemoteFileViaFTP("127.0.0.1", c.remote, c.user, c.password, port, 0, local.c_str()),
            0);
        EXPECT_EQ(DeleteRemoteFileViaFTP("127.0.0.1", c.remote, c.user, c.password, port, 0), 0);
    }
    EXPECT_TRUE(server_.Commands().empty());
    EXPECT_EQ(ReadBytes(server_.DiskPath("keep.dmp")), "must survive");
    EXPECT_EQ(ReadBytes(local), "local");
}

TEST_F(FtpTransfer, MissingArgumentsAndBadPortsGiveZero)
{
    std::string local = local_.File("a.dmp");
    WriteBytes(local, "x");
    int port = server_.port();
    EXPECT_EQ(PutLocalFileViaFTP(nullptr, "a.dmp", kUser, kPassword, port, 0, local.c_str()), 0);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", nullptr, kUser, kPassword, port, 0, local.c_str()),
              0);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, port, 0, nullptr), 0);
    EXPECT_EQ(GetRemoteFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, port, 0, nullptr), 0);
    EXPECT_EQ(DeleteRemoteFileViaFTP("127.0.0.1", nullptr, kUser, kPassword, port, 0), 0);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, -1, 0, local.c_str()), 0);
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, 65536, 0, local.c_str()),
              0);
    EXPECT_EQ(PutLocalFileViaFTP("", "a.dmp", kUser, kPassword, port, 0, local.c_str()), 0);
    // The reserved argument really is ignored.
    EXPECT_EQ(
        PutLocalFileViaFTP("127.0.0.1", "a.dmp", kUser, kPassword, port, 12345, local.c_str()), 1);
}

// A server may refuse SIZE (an account without that right, or the command
// switched off) and still serve the file.
TEST(FtpSizeRefused, DownloadStillRetrievesTheFile)
{
    FtpTestServer server(0, "127.0.0.1", {"--refuse-size"});
    ASSERT_TRUE(server.ok()) << server.LogText();
    WriteBytes(server.DiskPath("a.dmp"), AllByteValues());
    TempDir local;
    auto get = [&](const char* remote) {
        return GetRemoteFileViaFTP("127.0.0.1", remote, kUser, kPassword, server.port(), 0,
                                   local.File("a.dmp").c_str());
    };
    EXPECT_EQ(get("a.dmp"), 1);
    EXPECT_TRUE(ReadBytes(local.File("a.dmp")) == AllByteValues());
    EXPECT_EQ(get("missing.dmp"), 0);
    auto commands = server.Commands();
    EXPECT_EQ(WithVerb(commands, "SIZE").size(), 2u);
    EXPECT_EQ(WithVerb(commands, "USER").size(), 2u); // one connection per call
}

TEST(FtpPortZero, ReachesTheStandardPort21)
{
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    FtpTestServer server(21);
    ASSERT_TRUE(server.ok()) << server.LogText();
    TempDir local;
    WriteBytes(local.File("a.dmp"), "via port 21");
    EXPECT_EQ(PutLocalFileViaFTP("127.0.0.1", "/backup/a.dmp", FtpTestServer::kUser,
                                 FtpTestServer::kPassword, 0, 0, local.File("a.dmp").c_str()),
              1);
    EXPECT_EQ(ReadBytes(server.DiskPath("/backup/a.dmp")), "via port 21");
    EXPECT_EQ(DeleteRemoteFileViaFTP("127.0.0.1", "/backup/a.dmp", FtpTestServer::kUser,
                                     FtpTestServer::kPassword, 0, 0),
              1);
}

TEST(FtpIpv6, UploadsAndDownloadsInActiveMode)
{
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    FtpTestServer server(0, "::");
    ASSERT_TRUE(server.ok()) << server.LogText();
    TempDir local;
    WriteBytes(local.File("a.dmp"), "over IPv6");
    for (const char* host : {"::1", "[::1]"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(PutLocalFileViaFTP(host, "/v6/a.dmp", kUser, kPassword, server.port(), 0,
                                     local.File("a.dmp").c_str()),
                  1);
        EXPECT_EQ(GetRemoteFileViaFTP(host, "/v6/a.dmp", kUser, kPassword, server.port(), 0,
                                      local.File("b.dmp").c_str()),
                  1);
        EXPECT_EQ(ReadBytes(local.File("b.dmp")), "over IPv6");
    }
    // PORT carries IPv4 addresses only; over IPv6 active mode needs EPRT.
    auto commands = server.Commands();
    EXPECT_EQ(WithVerb(commands, "EPRT").size(), 4u);
    EXPECT_TRUE(WithVerb(commands, "PASV").empty() && WithVerb(commands, "EPSV").empty());
}

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

// SFTP to a throw-away account, with the server's host key checked against
// a known_hosts file.
TEST(Sftp, MovesFilesOnlyForAKnownHostKey)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    const std::string user = "hoistline" + std::to_string(::getpid());
    const char* password = "s3cret ssh pass";
    SystemServer server({"sshd", "--user", user, "--password", password}, 22); // port 0
    ASSERT_TRUE(server.ok());
    TempDir local;
    const std::string known = OutputOf("ssh-keyscan 127.0.0.1 2>/dev/null");
    ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f " + local.File("other")).c_str()), 0);
    const std::string changed = "127.0.0.1 " + ReadBytes(local.File("other.pub"));
    const std::string body = AllByteValues();
    WriteBytes(local.File("a.dmp"), body);
    fs::create_directories(local.File("home/.ssh"));
    setenv("HOME", local.File("home").c_str(), 1);
    auto put = [&](const std::string& remote) {
        return PutLocalFileViaFTP("sftp://127.0.0.1", remote.c_str(), user.c_str(), password, 0, 0,
                                  local.File("a.dmp").c_str());
    };

    struct KeyCase
    {
        const char* named;              // the file HOISTLINE_KNOWN_HOSTS names; unset when null
        std::string namedText, ownText; // that file's and ~/.ssh/known_hosts's lines
        int result;
        std::string reason = "";
    };
    const std::string own = local.File("home/.ssh/known_hosts"),
                      keyChanged = "SSH host key changed: the key of 127.0.0.1 differs from the "
                                   "one in ";
    std::string knownCrLf; // as a file written on Windows holds it
    for (const char c : known)
        knownCrLf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const KeyCase keyCases[] = {
        {"missing", "", known, 1},
        {"named", knownCrLf, "", 1},
        {"named", changed, known, 0, keyChanged + local.File("named")},
        {"named", known, "", 1},
        {nullptr, "", known, 1},
        {nullptr, "", changed, 0, keyChanged + own},
        {nullptr, "", "", 0, "unknown SSH host key: 127.0.0.1 is not listed in " + own},
    };
    for (const auto& c : keyCases) {
        SCOPED_TRACE(std::string(c.named ? c.named : "unset") + ", " + c.namedText);
        WriteBytes(local.File("named"), c.namedText);
        WriteBytes(local.File("home/.ssh/known_hosts"), c.ownText);
        if (c.named)
            setenv(kKnownHostsVariable, local.File(c.named).c_str(), 1);
        else
            unsetenv(kKnownHostsVariable);
        EXPECT_EQ(put("k.dmp"), c.result);
        EXPECT_EQ(LastError(), c.reason);
        EXPECT_EQ(FileExists(server.File("home/k.dmp")), c.result == 1);
        fs::remove(server.File("home/k.dmp"));
    }

    // A relative path starts at the login's home folder; folders are made
    // outermost first, and are there already the second time.
    WriteBytes(local.File("named"), known);
    setenv(kKnownHostsVariable, local.File("named").c_str(), 1);
    const std::string remotes[] = {"bk/2008/a b\"q\t\xB9\xE9.dmp", server.File("home/abs/x.dmp")};
    for (const auto& remote : remotes) {
        SCOPED_TRACE(remote);
        std::string disk = remote[0] == '/' ? remote : server.File("home/" + remote);
        EXPECT_EQ(put(remote), 1);
        EXPECT_EQ(put(remote), 1);
        EXPECT_TRUE(ReadBytes(disk) == body);
        EXPECT_EQ(GetRemoteFileViaFTP("sftp://127.0.0.1", remote.c_str(), user.c_str(), password, 0,
                                      0, local.File("b.dmp").c_str()),
                  1);
        EXPECT_TRUE(ReadBytes(local.File("b.dmp")) == body);
        for (int deleted : {1, 0})
            EXPECT_EQ(DeleteRemoteFileViaFTP("sftp://127.0.0.1", remote.c_str(), user.c_str(),
                                             password, 0, 0),
                      deleted);
        EXPECT_EQ(LastError(), "rm command failed: No such file or directory");
        EXPECT_FALSE(FileExists(disk));
    }
    EXPECT_EQ(PutLocalFileViaFTP("sftp://127.0.0.1", "c.dmp", user.c_str(), "wrong", 0, 0,
                                 local.File("a.dmp").c_str()),
              0);
    EXPECT_EQ(LastError(), "login refused");
}

// known_hosts lines apply as OpenSSH applies them, in any order; the server is
// asked for a key type they list for it.
TEST(Sftp, HostKeysAreLookedUpAsOpenSshLooksThemUp)
{
    if (auto reason = SystemServersUnavailable())
        GTEST_SKIP() << *reason;
    const std::string user = "hoistline" + std::to_string(::getpid());
    // Keys as shipped, SHA-1 signatures refused; and one signing with SHA-1, keys-only logins.
    SystemServer stock(
        {"sshd", "--user", user, "--password", "p", "--host-keys", "rsa,ecdsa,ed25519"});
    SystemServer old({"sshd", "--user", user + "r", "--password", "p", "--host-keys", "rsa,ed25519",
                      "--legacy"});
    ASSERT_TRUE(stock.ok() && old.ok());
    TempDir local;
    const std::string known = local.File("known"),
                      name = "[127.0.0.1]:" + std::to_string(stock.port());
    auto scan = [](const SystemServer& server, const std::string& type) {
        return OutputOf("ssh-keyscan -t " + type + " -p " + std::to_string(server.port()) +
                        " 127.0.0.1");
    };
    const std::string rsa = scan(stock, "rsa"), ed = scan(stock, "ed25519");
    WriteBytes(known, "backup.example.org" + rsa.substr(rsa.find(' ')) + ed);
    const std::pair<std::string, std::string> cases[] = {
        // lines, start of the reason
        {rsa + scan(stock, "ecdsa") + ed, ""},
        {OutputOf("ssh-keygen -q -H -f " + known + " >/dev/null; cat " + known), ""},
        {rsa, "no SSH host key type in common with " + name + ": " + known + " lists ssh-rsa"},
        {"127.0.0.1" + ed.substr(ed.find(' ')), "unknown SSH host key: " + name + " is not listed"},
        {"@revoked " + ed + ed, "SSH host key revoked: the key of " + name + " is marked"},
        {scan(old, "rsa"), "login refused: the server accepts only publickey logins, no password"},
    };
    setenv(kKnownHostsVariable, known.c_str(), 1);
    for (const auto& [lines, reason] : cases) {
        WriteBytes(known, lines);
        const bool toOld = &lines == &cases[std::size(cases) - 1].first; // the last case
        Outcome put = PutFile(
            {"sftp://127.0.0.1", (toOld ? old : stock).port(), user + (toOld ? "r" : ""), "p"},
            "a.dmp", known);
        EXPECT_EQ(put.error.substr(0, reason.size()), reason) << lines;
        EXPECT_EQ(put.ok, reason.empty()) << lines;
    }
}

} // namespace
} // namespace hoistline::test
