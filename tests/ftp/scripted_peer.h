#pragma once

// A loopback FTP peer that misbehaves on purpose, for what no real server
// will do on demand: never answer, hang up in the middle of a file, stop
// sending without hanging up, take an upload and not keep it, or fail the
// data connection of active mode only. It plays just enough of the protocol
// for one transfer per session, in active or passive mode, serves sessions
// one after the other and records the commands it received.

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hoistline::test {

class ScriptedFtpPeer
{
public:
    enum class Behaviour {
        // The TCP connection is never accepted: the listen queue is already
        // full, so the kernel drops the client's SYN, as a blackholed
        // address would.
        NeverAccepts,
        // Accepts the connection and never says a word.
        Silent,
        // Announces `fileBody`, sends only its first `bytesSent` bytes, hangs
        // up the data connection and claims success ("226").
        CutShortClaimingSuccess,
        // The same, then admits the failure ("426").
        CutShortAdmittingFailure,
        // Refuses SIZE ("550"), then behaves as CutShortClaimingSuccess.
        CutShortSizeRefused,
        // Sends the first `bytesSent` bytes, then nothing, keeping both
        // connections open.
        Stall,
        // Takes a whole upload, then refuses to keep it ("552").
        StoreRefusedAfterData,
        // Takes a whole upload and never confirms it; waits for the client to hang up.
        StoreNeverConfirmed,
        // In active mode never connects back for data, nor answers RETR or
        // STOR (as while trying to get through a firewall); in passive mode
        // serves the transfer.
        NeverConnectsBack,
        // In active mode answers RETR or STOR with "150", then never
        // connects back; refuses passive mode.
        AnnouncesButNeverConnects,
        // In active mode answers RETR or STOR with "425" (the connection
        // back failed); in passive mode serves the transfer.
        ActiveDataRefused,
        // (These two last.) On 127.0.0.2. In active mode an intruder from
        // 127.0.0.1 connects first, offering bytes; then the server serves.
        IntruderFirst,
        // The same intruder, then "150" and no server connection at all;
        // refuses passive mode.
        IntruderOnly,
    };

    ScriptedFtpPeer(Behaviour behaviour, std::string fileBody = {}, std::size_t bytesSent = 0);
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
    // Answers RETR (sending) or STOR (receiving) on the data connection
    // `data`, which it closes. Returns false when the session must end
    // without a reply.
    bool Transfer(int control, int data, bool store);
    void Record(const std::string& command);

    Behaviour behaviour_;
    std::string fileBody_;
    std::size_t bytesSent_;
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
