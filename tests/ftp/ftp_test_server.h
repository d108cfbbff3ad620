#pragma once

// The real servers the tests talk to, run as child processes on loopback.
// FtpTestServer: tests/ftp/ftp_server.py (pyftpdlib), serving a temporary
// root to one user. Its log is the record of what the server actually
// received.

#include "support/child_process.h"
#include "support/temp_dir.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hoistline::test {

class FtpTestServer
{
public:
    static constexpr const char* kUser = "backup";
    static constexpr const char* kPassword = "s3cret pass";
    // Where a login lands, below the root; relative paths are taken from here.
    static constexpr const char* kLoginFolder = "home/backup";

    // Starts the server on `port` (a free loopback port when 0) and waits
    // until it accepts connections. Check ok() afterwards. `host` "::" is
    // for a private network namespace only, where the sole interface is lo.
    // `options` go to ftp_server.py as they are ("--refuse-size").
    explicit FtpTestServer(int port = 0, const std::string& host = "127.0.0.1",
                           const std::vector<std::string>& options = {});

    bool ok() const { return ok_; }
    int port() const { return port_; }
    // The server's "/" on disk.
    const std::string& root() const { return root_.path(); }
    // The file system path of a server path: absolute from the root,
    // relative from the login folder.
    std::string DiskPath(const std::string& serverPath) const;

    // Every command the server received so far, in order ("MKD /backup",
    // "PASS ******"), and every reply it sent ("257 ..."), once every
    // session has ended.
    std::vector<std::string> Commands() const;
    std::vector<std::string> Replies() const;
    // Commands received since the previous call of this function.
    std::vector<std::string> NewCommands();
    std::string LogText() const;
    // Polls the log until every session the server opened is closed again.
    bool WaitForAllSessionsClosed(int timeoutMs = 5000) const;

private:
    veltrane::test::TempDir dir_;
    veltrane::test::TempDir root_;
    std::string logPath_;
    int port_ = 0;
    bool ok_ = false;
    std::size_t seen_ = 0;
    std::unique_ptr<veltrane::test::ChildProcess> process_;
};

// The system's own servers (tests/ftp/system_servers.py) for what the
// pyftpdlib server does not cover: a server refusing active mode, FTP with
// TLS, SFTP. They switch users, so they need root: a test asks
// SystemServersUnavailable() first and skips with its reason.
std::optional<std::string> SystemServersUnavailable();

// Makes, in `folder`, ca.pem (a test CA), server.pem and
// server.key (a certificate it signed for 127.0.0.1 only).
bool MakeTestCertificates(const std::string& folder);

// vsftpd on 127.0.0.1 for anonymous logins (any user name "anonymous",
// password ignored). Uploads, folders and deletions are allowed below "/in".
class VsftpdServer
{
public:
    enum class Tls { None, Explicit, Implicit };
    // `port` 0 takes a free one; `certificates` is a MakeTestCertificates
    // folder, needed with TLS.
    VsftpdServer(bool refuseActive, Tls tls = Tls::None, const std::string& certificates = {},
                 int port = 0);
    bool ok() const { return ok_; }
    int port() const { return port_; }
    std::string DiskPath(const std::string& serverPath) const { return root_.path() + serverPath; }
    // The commands the server received so far, in order ("PORT 127,0,0,1,...").
    std::vector<std::string> Commands() const;

private:
    veltrane::test::TempDir dir_;
    veltrane::test::TempDir root_;
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<veltrane::test::ChildProcess> process_;
};

// OpenSSH's sshd on 127.0.0.1 serving SFTP to a throw-away account made for
// it (and removed when it stops), which logs in with a password.
class SshServer
{
public:
    explicit SshServer(int port = 0);
    bool ok() const { return ok_; }
    int port() const { return port_; }
    const std::string& user() const { return user_; }
    static constexpr const char* kPassword = "s3cret ssh pass";
    // The account's home folder, where a relative path lands.
    std::string home() const { return dir_.path() + "/home"; }
    // The known_hosts line for this server, as an operator would get it:
    // ssh-keyscan -p PORT 127.0.0.1.
    std::string ScanHostKey() const;

private:
    veltrane::test::TempDir dir_;
    std::string user_;
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<veltrane::test::ChildProcess> process_;
};

// Only the commands with the given verb ("MKD"), with their arguments.
std::vector<std::string> WithVerb(const std::vector<std::string>& commands,
                                  const std::string& verb);

} // namespace hoistline::test
