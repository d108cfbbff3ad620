#include "known_hosts.h"
#include "remote_path.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace hoistline {
namespace {

// "백업" (backup) in code page 949, as the program hands it over.
const std::string kBackupCp949 = "\xB9\xE9\xBE\xF7";

TEST(FtpFolderRequests, AreTheTextBeforeEachSlashFromPositionTwoOutermostFirst)
{
    struct Case
    {
        std::string remotePath;
        std::vector<std::string> folders;
    };
    const Case cases[] = {
        {"/backup/2008/a.dmp", {"/backup", "/backup/2008"}},
        {"a.dmp", {}},
        {"a/b.dmp", {}},
        {"ab/c.dmp", {"ab"}},
        {"/a/b.dmp", {"/a"}},
        {"/x.dmp", {}},
        {"//x/y.dmp", {"//x"}},
        {"ab//c.dmp", {"ab", "ab/"}},
        {kBackupCp949 + "/a.dmp", {kBackupCp949}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FolderRequests(c.remotePath), c.folders) << c.remotePath;
}

TEST(FtpRemotePathProblem, RefusesPathsThatCannotNameAFileSafely)
{
    EXPECT_TRUE(CheckRemotePath("/backup/a.dmp").ok);
    EXPECT_TRUE(CheckRemotePath("a.dmp").ok);
    EXPECT_TRUE(CheckRemotePath(kBackupCp949 + "/a b%#?.dmp").ok);
    EXPECT_TRUE(CheckRemotePath("a\tb\x01\x1f\x7f").ok);
    const std::string bad[] = {"",     "/backup/", "a.dmp\r\nDELE x", "a.dmp\nDELE x",
                               "a\rb", {"a\0b", 3}};
    for (const auto& path : bad) {
        Outcome checked = CheckRemotePath(path);
        EXPECT_FALSE(checked.ok) << path;
        EXPECT_NE(checked.error, "") << path;
    }
}

TEST(FtpFileUrl, KeepsEveryPathByteAndMakesLeadingSlashAbsolute)
{
    struct Case
    {
        std::string remotePath;
        std::string url;
    };
    const Case cases[] = {
        {"/backup/2008/a.dmp", "ftp://host:21/%2Fbackup/2008/a.dmp"},
        {"backup/a.dmp", "ftp://host:21/backup/a.dmp"},
        {"a b%#?.dmp", "ftp://host:21/a%20b%25%23%3F.dmp"},
        // Unencoded, ";type=a" would switch the transfer to text mode.
        {"x;type=a", "ftp://host:21/x%3Btype%3Da"},
        // Dot segments travel escaped: the URL layer would drop them.
        {"../up/a.dmp", "ftp://host:21/%2E%2E/up/a.dmp"},
        {"a/./b..c/.x", "ftp://host:21/a/%2E/b..c/.x"},
        {kBackupCp949 + "/a.dmp", "ftp://host:21/%B9%E9%BE%F7/a.dmp"},
        {"", "ftp://host:21/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileUrl("host", 21, c.remotePath), c.url) << c.remotePath;
}

TEST(FtpFileUrl, TheSchemeChoosesTheProtocolAndSftpPathsStartAtHomeUnlessAbsolute)
{
    struct Case
    {
        std::string server, remotePath, url;
    };
    const Case cases[] = {
        {"ftp://host", "/a/b", "ftp://host:21/%2Fa/b"},
        {"FTPES://host", "a", "ftp://host:21/a"}, // AUTH TLS on a plain connection
        {"ftps://[::1]", "a", "ftps://[::1]:990/a"},
        {"sftp://host", "/a b/c", "sftp://host:22/a%20b/c"},
        {"sftp://host", "a/\tb", "sftp://host:22/~/a/%09b"},
        {"sftp://host", "//a", "sftp://host:22//a"},
    };
    for (const auto& c : cases) {
        auto server = ParseServer(c.server);
        ASSERT_TRUE(server) << c.server;
        EXPECT_EQ(FileUrl(c.server, DefaultPort(server->scheme), c.remotePath), c.url) << c.server;
    }
    for (std::string bad :
         {"http://host", "sftp://", "sftp:/host", "ftps://user@host", "ftp://host/x", "://host",
          "host:21", "sftp://host:22"}) // a colon only in an IPv6 address
        EXPECT_FALSE(ParseServer(bad)) << bad;
}

TEST(FtpKnownHosts, ANamedFileFirstThenOneBesideTheLibraryThenTheUsersOwn)
{
    veltrane::test::TempDir library, home;
    const std::string beside = library.path() + "/known_hosts";
    const std::string own = home.path() + "/.ssh/known_hosts";
    EXPECT_EQ(ChooseKnownHostsFile("/x/missing", library.path(), home.path()), own);
    EXPECT_EQ(ChooseKnownHostsFile("", library.path(), home.path()), own);
    veltrane::test::WriteBytes(beside, "");
    EXPECT_EQ(ChooseKnownHostsFile(nullptr, library.path(), home.path()), beside);
    EXPECT_EQ(ChooseKnownHostsFile("/x/missing", library.path(), home.path()), beside);
    EXPECT_EQ(ChooseKnownHostsFile(beside.c_str(), "/x", home.path()), beside);
}

TEST(FtpFileUrl, AcceptsHostNamesAndAddressesOnly)
{
    EXPECT_EQ(FileUrl("ftp.example.com", 2121, "a"), "ftp://ftp.example.com:2121/a");
    EXPECT_EQ(FileUrl("192.168.0.10", 21, "a"), "ftp://192.168.0.10:21/a");
    EXPECT_EQ(FileUrl("::1", 21, "a"), "ftp://[::1]:21/a");
    EXPECT_EQ(FileUrl("[fe80::1]", 21, "a"), "ftp://[fe80::1]:21/a");
    for (std::string bad :
         {"", "[]", "[host]", "user@host", "host/path", "host name", "host\r\n", "host#x", "h?"})
        EXPECT_FALSE(FileUrl(bad, 21, "a")) << bad;
}

} // namespace
} // namespace hoistline
