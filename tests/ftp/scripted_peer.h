#pragma once

// A loopback FTP peer that follows a script, for what no real server will do
// on demand: never answer, hang up in the middle of a file, stop sending
// without hanging up, take an upload and not keep it, or fail the data
// connection of active mode only. It plays just enough of the protocol for
// one transfer per session, in active or passive mode, serves sessions one
// after the other and records the commands it received. The script says
// only where the peer departs from a well-behaved server; a new misbehaviour
// is a new script in the test, not new peer code.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hoistline::test {

class ScriptedFtpPeer
{
public:
    struct Script
    {
        // Where the peer listens and connects back from; 127.0.0.2 tells it
        // from an intruder, which comes from 127.0.0.1.
        const char* address = "127.0.0.1";
        // false: the listen queue is kept full, so the kernel drops the
        // client's SYN, as a blackholed address would.
        bool accepts = true;
        // false: accepts the connection and never says a word.
        bool greets = true;
        // Replies in place of the standard ones, by verb, without CR LF:
        // {"SIZE", "550 SIZE not allowed."}.
        std::map<std::string, std::string> replies = {};
        // Active mode: before anything else, an intruder from 127.0.0.1
        // connects to the client's data port and offers bytes; Intercepted()
        // tells whether the client sent it any.
        bool intruderFirst = false;
        // Active mode: the reply to RETR and STOR instead of connecting back
        // ("" for none at all, as while trying to get through a firewall).
        std::optional<std::string> activeTransferReply = std::nullopt;
        // What RETR serves: the whole size announced, the first `bytesSent`
        // bytes sent, the data connection closed, then `retrEnd`; without
        // `retrEnd`, nothing more, both connections left open.
        std::string fileBody = {};
        std::size_t bytesSent = std::string::npos;
        std::optional<std::string> retrEnd = "226 Transfer complete.";
        // The reply once an upload's data has all arrived; without one the
        // peer waits for the client to hang up.
        std::optional<std::string> storEnd = "226 Transfer complete.";
    };

    explicit ScriptedFtpPeer(Script script);
    ~ScriptedFtpPeer();
    ScriptedFtpPeer(const ScriptedFtpPeer&) = delete;
    ScriptedFtpPeer& operator=(const ScriptedFtpPeer&) = delete;

    bool ok() const { return listenFd_ >= 0; }
    int port() const { return port_; }
    std::vector<std::string> Commands();
    // The bytes of the last upload received; whether the intruder got any.
    std::string Received();
    bool Intercepted();

private:
    void Run();
    void Converse(int control);
    // Waits for `fd` to become readable; false when the peer is being stopped.
    bool WaitReadable(int fd);
    bool ReadLine(int fd, std::string& buffer, std::string& line);
    // Answers RETR or STOR (`store`) as the script says, over a data
    // connection to the client's `dataPort` (active mode) or from
    // `passiveFd`. Returns false when the session must end without a reply.
    bool DataCommand(int control, int dataPort, int passiveFd, bool store);
    // Sends (RETR) or receives (STOR) the file on the data connection
    // `data`, which it closes, and gives the final reply.
    bool Transfer(int control, int data, bool store);
    void Record(const std::string& command);

    const Script script_;
    int listenFd_ = -1;
    int fillerFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::string received_;
    bool intercepted_ = false;
    std::thread thread_;
};

} // namespace hoistline::test
