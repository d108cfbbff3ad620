// The three calls against a real FTP server (pyftpdlib, started per test),
// checked through what the server received: its files and its log.

#include "ftp_transfer.h"
#include "support/net.h"
#include "transfer_test_support.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace hoistline::test {
namespace {

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

} // namespace
} // namespace hoistline::test
