// The scripted FTP peer (scripted_peer.h): the standard replies, and the
// script's departures from them, one session at a time.

#include "scripted_peer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hoistline::test {
namespace {

// What a well-behaved server answers, where a fixed text will do.
const std::map<std::string, std::string> kStandardReplies = {
    {"USER", "331 Password required."},
    {"PASS", "230 Logged in."},
    {"PWD", "257 \"/\" is the current directory."},
    {"TYPE", "200 Type set."},
    {"RNFR", "350 Go on."},
    {"RNTO", "250 Done."},
    {"DELE", "250 Done."},
    {"QUIT", "221 Goodbye."},
};

sockaddr_in Address(const char* host, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &addr.sin_addr);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A socket listening on `host` (`port` 0: any free port, then set); -1 on
// failure.
int Listen(const char* host, int backlog, int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Address(host, port);
    socklen_t len = sizeof addr;
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                    ::listen(fd, backlog) != 0 ||
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)) {
        ::close(fd);
        fd = -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// A TCP connection from `from` (any port) to `to`:`port`; -1 on failure.
int Connect(const char* from, const char* to, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own = Address(from, 0);
    sockaddr_in target = Address(to, port);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
                    ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0)) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

void Send(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// "PORT 127,0,0,1,p1,p2": the port the client listens on for our data.
int PortFromCommand(const std::string& command)
{
    unsigned a, b, c, d, p1, p2;
    if (std::sscanf(command.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &p1, &p2) != 6)
        return -1;
    return static_cast<int>(p1 * 256 + p2);
}

} // namespace

ScriptedFtpPeer::ScriptedFtpPeer(Script script) : script_(std::move(script))
{
    bool queueFull = !script_.accepts;
    int fd = Listen(script_.address, queueFull ? 0 : 4, port_);
    if (fd < 0)
        return;
    if (queueFull) {
        // With a backlog of 0 one finished handshake fills the queue; every
        // later SYN is dropped by the kernel and the client hears nothing.
        fillerFd_ = Connect(script_.address, script_.address, port_);
        if (fillerFd_ < 0) {
            ::close(fd);
            return;
        }
    }
    listenFd_ = fd;
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (!queueFull)
        thread_ = std::thread([this] { Run(); });
}

ScriptedFtpPeer::~ScriptedFtpPeer()
{
    if (stopFd_ >= 0) {
        uint64_t one = 1;
        (void)::write(stopFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
    for (int fd : {listenFd_, fillerFd_, stopFd_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::vector<std::string> ScriptedFtpPeer::Commands()
{
    std::lock_guard lock(mutex_);
    return commands_;
}

std::string ScriptedFtpPeer::Received()
{
    std::lock_guard lock(mutex_);
    return received_;
}

bool ScriptedFtpPeer::Intercepted()
{
    std::lock_guard lock(mutex_);
    return intercepted_;
}

void ScriptedFtpPeer::Record(const std::string& command)
{
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
}

bool ScriptedFtpPeer::WaitReadable(int fd)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, -1);
        if (n < 0)
            return false;
        if (fds[1].revents != 0)
            return false;
        if (fds[0].revents != 0)
            return true;
    }
}

bool ScriptedFtpPeer::ReadLine(int fd, std::string& buffer, std::string& line)
{
    for (;;) {
        auto end = buffer.find("\r\n");
        if (end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 2);
            return true;
        }
        if (!WaitReadable(fd))
            return false;
        char chunk[512];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void ScriptedFtpPeer::Run()
{
    while (WaitReadable(listenFd_)) {
        int control = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0)
            return;
        if (script_.greets)
            Converse(control);
        else
            WaitReadable(stopFd_);
        ::close(control);
    }
}

void ScriptedFtpPeer::Converse(int control)
{
    Send(control, "220 scripted peer ready\r\n");
    std::string buffer, command;
    int dataPort = -1;  // where the client listens, in active mode
    int passiveFd = -1; // where we listen, in passive mode
    bool open = true;
    while (open && ReadLine(control, buffer, command)) {
        Record(command);
        const std::string verb = command.substr(0, command.find(' '));
        const bool active = passiveFd < 0;
        auto scripted = script_.replies.find(verb);
        auto standard = kStandardReplies.find(verb);
        if (scripted != script_.replies.end()) {
            Send(control, scripted->second + "\r\n");
        } else if (verb == "SIZE") {
            Send(control, "213 " + std::to_string(script_.fileBody.size()) + "\r\n");
        } else if (verb == "PORT") {
            dataPort = PortFromCommand(command);
            Send(control,
                 dataPort > 0 ? "200 PORT command successful.\r\n" : "501 Bad PORT argument.\r\n");
        } else if (verb == "PASV" && active) {
            int port = 0;
            passiveFd = Listen("127.0.0.1", 1, port);
            Send(control, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) +
                              "," + std::to_string(port % 256) + ").\r\n");
        } else if ((verb == "RETR" || verb == "STOR") && (dataPort > 0 || !active)) {
            open = DataCommand(control, dataPort, passiveFd, verb == "STOR");
        } else if (standard != kStandardReplies.end()) {
            Send(control, standard->second + "\r\n");
            open = verb != "QUIT";
        } else {
            Send(control, "502 Command not implemented.\r\n");
        }
    }
    if (passiveFd >= 0)
        ::close(passiveFd);
}

bool ScriptedFtpPeer::DataCommand(int control, int dataPort, int passiveFd, bool store)
{
    const bool active = passiveFd < 0;
    int intruder = -1;
    if (active && script_.intruderFirst) {
        intruder = Connect("127.0.0.1", "127.0.0.1", dataPort);
        if (intruder >= 0)
            Send(intruder, "forged");
    }
    bool goOn = true;
    if (active && script_.activeTransferReply) {
        if (!script_.activeTransferReply->empty())
            Send(control, *script_.activeTransferReply + "\r\n");
    } else {
        int data = -1;
        if (active)
            data = Connect(script_.address, "127.0.0.1", dataPort);
        else if (WaitReadable(passiveFd))
            data = ::accept4(passiveFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (data < 0)
            Send(control, "425 Cannot open data connection.\r\n");
        else
            goOn = Transfer(control, data, store);
    }
    if (intruder >= 0) {
        // The client hangs up on the intruder once it has seen who it is.
        char byte;
        bool intercepted = WaitReadable(intruder) && ::recv(intruder, &byte, 1, 0) > 0;
        ::close(intruder);
        std::lock_guard lock(mutex_);
        intercepted_ = intercepted_ || intercepted;
    }
    return goOn;
}

bool ScriptedFtpPeer::Transfer(int control, int data, bool store)
{
    if (store) {
        Send(control, "150 Ok to send data.\r\n");
        std::string body;
        char chunk[65536];
        while (WaitReadable(data)) {
            ssize_t n = ::recv(data, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            body.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(data);
        {
            std::lock_guard lock(mutex_);
            received_ = std::move(body);
        }
        if (!script_.storEnd) {
            WaitReadable(control);
            return false;
        }
        Send(control, *script_.storEnd + "\r\n");
        return true;
    }
    Send(control, "150 Opening BINARY mode data connection (" +
                      std::to_string(script_.fileBody.size()) + " bytes).\r\n");
    Send(data, script_.fileBody.substr(0, script_.bytesSent));
    if (!script_.retrEnd) {
        WaitReadable(stopFd_);
        ::close(data);
        return false;
    }
    ::close(data);
    Send(control, *script_.retrEnd + "\r\n");
    return true;
}

} // namespace hoistline::test
