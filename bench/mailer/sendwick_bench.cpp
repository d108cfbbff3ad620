// Times one message with a 10 MiB attachment handed to a real SMTP server
// (aiosmtpd on loopback, AUTH LOGIN) by the library's server session, and the
// same message bytes uploaded to the same server by the curl command-line
// tool, alternating the two. Prints the medians and their ratio.
//
// Usage: sendwick_bench [runs]   (default 5)
#include "compose.h"
#include "session.h"
#include "support/net.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::size_t kAttachmentBytes = 10 * 1024 * 1024;

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void EmptyFolder(const fs::path& folder)
{
    for (const auto& entry : fs::directory_iterator(folder))
        fs::remove(entry.path());
}

} // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    fs::path work = fs::temp_directory_path() / ("sendwick-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "sink");

    std::string attachment(kAttachmentBytes, '\0');
    std::mt19937 random(42);
    for (auto& c : attachment)
        c = static_cast<char>(random());
    std::ofstream((work / "dump.rar").string(), std::ios::binary) << attachment;

    int port = veltrane::test::FreeLoopbackPort();
    pid_t sink = Spawn({"/usr/bin/python3", SENDWICK_SINK_SCRIPT, "--port", std::to_string(port),
                        "--folder", (work / "sink").string()},
                       (work / "sink.log").string());
    if (!veltrane::test::WaitForPort("127.0.0.1", port)) {
        std::fprintf(stderr, "the SMTP sink did not start (see %s)\n", (work / "sink.log").c_str());
        return 1;
    }

    sendwick::SystemMailClock clock;
    sendwick::SessionSettings settings;
    settings.clock = &clock;
    settings.port = port;
    sendwick::ServerLogin login{"127.0.0.1", "backup", "secret"};
    sendwick::MailRequest request{"Backup <robot@example.com>", "HTML",
                                  "ORCL backup result",         "<html><body>ok</body></html>",
                                  (work / "dump.rar").string(), ""};
    const std::string token = "ops@example.org";

    // curl gets the very message text the session sends, without the final
    // ".\r\n": curl writes the end-of-data mark itself.
    std::string message =
        sendwick::BuildMessage({request.from, token, request.bodyType, request.subject,
                                request.body, request.attachments, clock.Now()});
    message.resize(message.size() - 3);
    std::ofstream((work / "message.eml").string(), std::ios::binary) << message;

    std::vector<double> library, curl, compose;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::string built =
            sendwick::BuildMessage({request.from, token, request.bodyType, request.subject,
                                    request.body, request.attachments, clock.Now()});
        compose.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());

        start = Clock::now();
        bool ok = sendwick::SendToRecipientViaSMTP(login, request, token, settings);
        library.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!ok) {
            std::fprintf(stderr, "library session failed in run %d\n", run);
            return 1;
        }

        start = Clock::now();
        pid_t child =
            Spawn({"curl", "-s", "-S", "--url", "smtp://127.0.0.1:" + std::to_string(port),
                   "--user", "backup:secret", "--mail-from", "robot@example.com", "--mail-rcpt",
                   token, "--upload-file", (work / "message.eml").string()},
                  (work / "curl.log").string());
        int status = 0;
        waitpid(child, &status, 0);
        curl.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "curl failed in run %d (see %s)\n", run,
                         (work / "curl.log").c_str());
            return 1;
        }
        EmptyFolder(work / "sink");
    }

    kill(sink, SIGTERM);
    waitpid(sink, nullptr, 0);
    fs::remove_all(work);

    double lib = Median(library);
    double ref = Median(curl);
    std::printf("message bytes on the wire: %zu (10 MiB attachment)\n", message.size() + 3);
    std::printf("runs: %d, medians:\n", runs);
    std::printf("  library session (compose + send): %8.1f ms\n", lib);
    std::printf("    of which composing the message: %8.1f ms\n", Median(compose));
    std::printf("  curl command-line tool:           %8.1f ms\n", ref);
    std::printf("  ratio library / curl:             %8.2f\n", lib / ref);
    return 0;
}
