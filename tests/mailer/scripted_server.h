#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace sendwick::test {

// A loopback SMTP peer that follows a script, for what no real server does:
// silence, replies split across reads, wrong codes, hang-ups. It accepts one
// connection, plays the script, then records whatever else the client sends
// until the client closes. Received() lists the client's lines in order
// ("<message N bytes>" for the message text after DATA).
class ScriptedServer
{
public:
    struct Step
    {
        enum class Kind { Send, Expect, ExpectMessage, Wait, HangUp } kind;
        std::string text;
        std::chrono::milliseconds wait{0};
    };

    static Step Send(std::string text) { return {Step::Kind::Send, std::move(text)}; }
    static Step Expect() { return {Step::Kind::Expect, {}}; }
    static Step ExpectMessage() { return {Step::Kind::ExpectMessage, {}}; }
    static Step Wait(int ms) { return {Step::Kind::Wait, {}, std::chrono::milliseconds(ms)}; }
    static Step HangUp() { return {Step::Kind::HangUp, {}}; }

    // Listens on `address` and `port` (any free port when 0).
    explicit ScriptedServer(std::vector<Step> script, const char* address = "127.0.0.1",
                            int port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Waits for the server thread to end, then reports.
    const std::vector<std::string>& Received();
    bool Accepted();

private:
    void Run();
    bool ReadLine(int fd, std::string& line);

    std::vector<Step> script_;
    int listenFd_ = -1;
    int port_ = 0;
    bool accepted_ = false;
    std::string buffered_;
    std::vector<std::string> received_;
    std::thread thread_;
};

} // namespace sendwick::test
