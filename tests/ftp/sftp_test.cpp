// SFTP against the system's sshd: files move only for a host key that a
// known_hosts file vouches for, its lines read as OpenSSH reads them.

#include "ftp_transfer.h"
#include "known_hosts.h"
#include "support/net.h"
#include "transfer_test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace hoistline::test {
namespace {

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
    const KeyCase keyCases[] = {
        {"missing", "", known, 1},
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
