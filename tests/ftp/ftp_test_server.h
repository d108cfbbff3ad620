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

// The system's own servers, through tests/ftp/system_servers.py: vsftpd for
// a server refusing active mode and for FTP with TLS, sshd for SFTP. They
// switch users, so they need root: a test asks SystemServersUnavailable()
// first and skips with its reason.
std::optional<std::string> SystemServersUnavailable();

class SystemServer
{
public:
    // Runs the script with `arguments` ({"vsftpd", "--no-active"}), its own
    // folder and `port` (a free one when 0), and waits until the server
    // accepts connections.
    explicit SystemServer(const std::vector<std::string>& arguments, int port = 0);
    bool ok() const { return ok_; }
    int port() const { return port_; }
    // A file in the server's folder: "root/in/a.dmp" (vsftpd), "ca.pem"
    // (vsftpd with TLS), "home/a.dmp" (sshd).
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    veltrane::test::TempDir dir_;
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<veltrane::test::ChildProcess> process_;
};

// What the shell command prints on its standard output.
std::string OutputOf(const std::string& command);

// Only the commands with the given verb ("MKD"), with their arguments.
std::vector<std::string> WithVerb(const std::vector<std::string>& commands,
                                  const std::string& verb);

} // namespace hoistline::test
