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

sockaddr_in Loopback(int port, uint32_t address = INADDR_LOOPBACK)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(address);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
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

ScriptedFtpPeer::ScriptedFtpPeer(Behaviour behaviour, std::string fileBody, std::size_t bytesSent)
    : behaviour_(behaviour), fileBody_(std::move(fileBody)), bytesSent_(bytesSent)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr =
        Loopback(0, behaviour_ >= Behaviour::IntruderFirst ? INADDR_LOOPBACK + 1 : INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool queueFull = behaviour_ == Behaviour::NeverAccepts;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, queueFull ? 0 : 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    port_ = ntohs(addr.sin_port);
    if (queueFull) {
        // With a backlog of 0 one finished handshake fills the queue; every
        // later SYN is dropped by the kernel and the client hears nothing.
        fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in target = Loopback(port_);
        if (::connect(fillerFd_, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
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
        if (behaviour_ == Behaviour::Silent)
            WaitReadable(stopFd_);
        else
            Converse(control);
        ::close(control);
    }
}

void ScriptedFtpPeer::Converse(int control)
{
    Send(control, "220 scripted peer ready\r\n");
    std::string buffer, command;
    int dataPort = -1;  // where the client listens, in active mode
    int passiveFd = -1; // where we listen, in passive mode
    struct Closer
    {
        int& fd;
        ~Closer()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } closePassive{passiveFd};
    while (ReadLine(control, buffer, command)) {
        Record(command);
        std::string verb = command.substr(0, command.find(' '));
        bool transfer = verb == "RETR" || verb == "STOR";
        bool active = passiveFd < 0;
        if (verb == "USER") {
            Send(control, "331 Password required.\r\n");
        } else if (verb == "PASS") {
            Send(control, "230 Logged in.\r\n");
        } else if (verb == "PWD") {
            Send(control, "257 \"/\" is the current directory.\r\n");
        } else if (verb == "TYPE") {
            Send(control, "200 Type set.\r\n");
        } else if (verb == "SIZE" && behaviour_ == Behaviour::CutShortSizeRefused) {
            Send(control, "550 SIZE not allowed.\r\n");
        } else if (verb == "SIZE") {
            Send(control, "213 " + std::to_string(fileBody_.size()) + "\r\n");
        } else if (verb == "PORT") {
            dataPort = PortFromCommand(command);
            Send(control,
                 dataPort > 0 ? "200 PORT command successful.\r\n" : "501 Bad PORT argument.\r\n");
        } else if (transfer && active && behaviour_ >= Behaviour::IntruderFirst) {
            // The intruder connects, offers bytes, and sees whether the client
            // sends it any before hanging up on it.
            int intruder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in target = Loopback(dataPort);
            if (::connect(intruder, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0)
                Send(intruder, "forged");
            int data = -1;
            if (behaviour_ == Behaviour::IntruderFirst) {
                data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in own = Loopback(0, INADDR_LOOPBACK + 1);
                if (::bind(data, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0 ||
                    ::connect(data, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 ||
                    !Transfer(control, data, verb == "STOR"))
                    return;
            } else {
                Send(control, "150 Opening BINARY mode data connection.\r\n");
            }
            char byte;
            bool intercepted = WaitReadable(intruder) && ::recv(intruder, &byte, 1, 0) > 0;
            ::close(intruder);
            std::lock_guard lock(mutex_);
            intercepted_ = intercepted_ || intercepted;
        } else if (verb == "PASV" && behaviour_ != Behaviour::AnnouncesButNeverConnects &&
                   behaviour_ != Behaviour::IntruderOnly && passiveFd < 0) {
            passiveFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr = Loopback(0);
            socklen_t len = sizeof addr;
            (void)::bind(passiveFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            (void)::listen(passiveFd, 1);
            (void)::getsockname(passiveFd, reinterpret_cast<sockaddr*>(&addr), &len);
            int port = ntohs(addr.sin_port);
            Send(control, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) +
                              "," + std::to_string(port % 256) + ").\r\n");
        } else if (transfer && active && behaviour_ == Behaviour::NeverConnectsBack) {
            continue;
        } else if (transfer && active && behaviour_ == Behaviour::AnnouncesButNeverConnects) {
            Send(control, "150 Opening BINARY mode data connection.\r\n");
        } else if (transfer && active && behaviour_ == Behaviour::ActiveDataRefused) {
            Send(control, "425 Cannot open data connection.\r\n");
        } else if (transfer && (dataPort > 0 || !active)) {
            int data = -1;
            if (active) {
                data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in target = Loopback(dataPort);
                if (::connect(data, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
                    ::close(data);
                    data = -1;
                }
            } else if (WaitReadable(passiveFd)) {
                data = ::accept4(passiveFd, nullptr, nullptr, SOCK_CLOEXEC);
            }
            if (data < 0)
                Send(control, "425 Cannot open data connection.\r\n");
            else if (!Transfer(control, data, verb == "STOR"))
                return;
        } else if (verb == "RNFR" || verb == "RNTO" || verb == "DELE") {
            Send(control, verb == "RNFR" ? "350 Go on.\r\n" : "250 Done.\r\n");
        } else if (verb == "QUIT") {
            Send(control, "221 Goodbye.\r\n");
            return;
        } else {
            Send(control, "502 Command not implemented.\r\n");
        }
    }
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
        if (behaviour_ == Behaviour::StoreNeverConfirmed) {
            WaitReadable(control);
            return false;
        }
        Send(control, behaviour_ == Behaviour::StoreRefusedAfterData
                          ? "552 Requested file action aborted. Exceeded storage allocation.\r\n"
                          : "226 Transfer complete.\r\n");
        return true;
    }
    Send(control, "150 Opening BINARY mode data connection (" + std::to_string(fileBody_.size()) +
                      " bytes).\r\n");
    Send(data, fileBody_.substr(0, bytesSent_));
    if (behaviour_ == Behaviour::Stall) {
        WaitReadable(stopFd_);
        ::close(data);
        return false;
    }
    ::close(data);
    Send(control, behaviour_ != Behaviour::CutShortAdmittingFailure
                      ? "226 Transfer complete.\r\n"
                      : "426 Connection closed; transfer aborted.\r\n");
    return true;
}

} // namespace hoistline::test
