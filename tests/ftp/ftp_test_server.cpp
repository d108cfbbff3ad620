#include "ftp_test_server.h"

#include "support/net.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace hoistline::test {
namespace {

// The dialogue lines of the log that carry `marker` ("<- " for commands,
// "-> " for replies), without the session prefix and the marker.
std::vector<std::string> DialogueLines(const std::string& log, const std::string& marker)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        auto at = line.find("] " + marker);
        if (at != std::string::npos)
            lines.push_back(line.substr(at + 2 + marker.size()));
    }
    return lines;
}

} // namespace

FtpTestServer::FtpTestServer(int port, const std::string& host,
                             const std::vector<std::string>& options)
    : logPath_(dir_.File("server.log"))
{
    port_ = port != 0 ? port : veltrane::test::FreeLoopbackPort();
    std::vector<std::string> argv = options;
    argv.insert(argv.begin(),
                {"/usr/bin/python3", FTP_SERVER_SCRIPT, "--host", host, "--port",
                 std::to_string(port_), "--root", root_.path(), "--user", kUser, "--password",
                 kPassword, "--login-folder", kLoginFolder, "--log", logPath_});
    process_ = std::make_unique<veltrane::test::ChildProcess>(argv, dir_.File("server.out"));
    ok_ = veltrane::test::WaitForPort("127.0.0.1", port_, 15000);
}

std::string FtpTestServer::DiskPath(const std::string& serverPath) const
{
    if (!serverPath.empty() && serverPath[0] == '/')
        return root() + serverPath;
    return root() + "/" + kLoginFolder + "/" + serverPath;
}

std::string FtpTestServer::LogText() const
{
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FtpTestServer::WaitForAllSessionsClosed(int timeoutMs) const
{
    auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::string log = LogText();
        if (count(log, "FTP session opened") == count(log, "FTP session closed"))
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> FtpTestServer::Commands() const
{
    // A session's last lines may reach the log just after the client has
    // returned; once the session is closed, they are all there.
    WaitForAllSessionsClosed();
    return DialogueLines(LogText(), "<- ");
}

std::vector<std::string> FtpTestServer::Replies() const
{
    WaitForAllSessionsClosed();
    return DialogueLines(LogText(), "-> ");
}

std::vector<std::string> FtpTestServer::NewCommands()
{
    auto all = Commands();
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
}

std::optional<std::string> SystemServersUnavailable()
{
    if (::geteuid() != 0)
        return std::string("vsftpd and sshd need root: they switch users, and the SFTP tests add "
                           "a throw-away account; run the tests as root to include them");
    return std::nullopt;
}

SystemServer::SystemServer(const std::vector<std::string>& arguments, int port)
    : port_(port != 0 ? port : veltrane::test::FreeLoopbackPort())
{
    std::vector<std::string> argv = {
        "/usr/bin/python3", SYSTEM_SERVERS_SCRIPT, "--dir", dir_.path(),
        "--port",           std::to_string(port_)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<veltrane::test::ChildProcess>(argv, dir_.File("server.out"));
    ok_ = veltrane::test::WaitForPort("127.0.0.1", port_, 15000);
}

std::string OutputOf(const std::string& command)
{
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, n);
        ::pclose(pipe);
    }
    return output;
}

std::vector<std::string> WithVerb(const std::vector<std::string>& commands, const std::string& verb)
{
    std::vector<std::string> matching;
    for (const auto& command : commands) {
        if (command == verb || command.rfind(verb + " ", 0) == 0)
            matching.push_back(command);
    }
    return matching;
}

} // namespace hoistline::test

// libssh2 1.10 trims a host key preference list with an overlapping memcpy,
// which glibc copies correctly (libcurl asks for it for RSA host keys).
extern "C" const char* __asan_default_suppressions()
{
    return "interceptor_via_lib:libssh2.so.1\n";
}
