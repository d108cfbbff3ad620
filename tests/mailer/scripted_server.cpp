#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sendwick::test {

namespace {

// Long enough for any client under test to finish; short enough that a
// broken client cannot hang the test.
constexpr int kIdleLimitMs = 10000;

bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, kIdleLimitMs) > 0;
}

void SendAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

ScriptedServer::ScriptedServer(std::vector<Step> script, const char* address, int port)
    : script_(std::move(script))
{
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listenFd_, 4) == 0 &&
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    if (thread_.joinable()) {
        shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
    }
    close(listenFd_);
}

const std::vector<std::string>& ScriptedServer::Received()
{
    if (thread_.joinable())
        thread_.join();
    return received_;
}

bool ScriptedServer::Accepted()
{
    if (thread_.joinable()) {
        shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
    }
    return accepted_;
}

bool ScriptedServer::ReadLine(int fd, std::string& line)
{
    for (;;) {
        auto end = buffered_.find("\r\n");
        if (end != std::string::npos) {
            line = buffered_.substr(0, end);
            buffered_.erase(0, end + 2);
            return true;
        }
        char chunk[4096];
        if (!Readable(fd))
            return false;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

void ScriptedServer::Run()
{
    if (!Readable(listenFd_))
        return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    accepted_ = true;
    bool open = true;
    for (const Step& step : script_) {
        std::string line;
        switch (step.kind) {
        case Step::Kind::Send:
            SendAll(fd, step.text);
            break;
        case Step::Kind::Expect:
            if (ReadLine(fd, line))
                received_.push_back(line);
            break;
        case Step::Kind::ExpectMessage: {
            std::size_t bytes = 0;
            while (ReadLine(fd, line) && line != ".")
                bytes += line.size() + 2;
            received_.push_back("<message " + std::to_string(bytes) + " bytes>");
            break;
        }
        case Step::Kind::Wait:
            std::this_thread::sleep_for(step.wait);
            break;
        case Step::Kind::HangUp:
            close(fd);
            open = false;
            break;
        }
        if (!open)
            return;
    }
    // Whatever the client sends after the script (a QUIT it should not have
    // sent, say) is recorded too, until it closes.
    std::string line;
    while (ReadLine(fd, line))
        received_.push_back(line);
    close(fd);
}

} // namespace sendwick::test
