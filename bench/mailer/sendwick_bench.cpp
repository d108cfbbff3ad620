// Times one message with a 10 MiB attachment handed to a real SMTP server
// (aiosmtpd on loopback) by the library's server session, and the same
// message bytes uploaded to the same server by the curl command-line tool,
// alternating the two: once in clear (AUTH LOGIN) and once over STARTTLS
// (AUTH PLAIN, curl with --ssl-reqd), the server's certificate from an
// authority made for the run with the openssl command. Prints the medians,
// their ratios and the machine's load.
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

double Milliseconds(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Wait(pid_t child)
{
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
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

    // The authority and the server's certificate, for 127.0.0.1.
    const std::string makeCertificates =
        "cd " + work.string() +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2"
        " -subj /CN=BenchCA -keyout ca.key -out ca.crt"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -subj /CN=127.0.0.1 -keyout server.key -out server.csr"
        " && printf 'subjectAltName=IP:127.0.0.1\\n' > san.cnf"
        " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2"
        " -extfile san.cnf -out server.crt";
    if (Wait(Spawn({"sh", "-c", makeCertificates}, (work / "openssl.log").string())) != 0) {
        std::fprintf(stderr, "openssl failed (see %s)\n", (work / "openssl.log").c_str());
        return 1;
    }
    setenv("SSL_CERT_FILE", (work / "ca.crt").c_str(), 1);

    int port = veltrane::test::FreeLoopbackPort();
    pid_t sink = Spawn({"/usr/bin/python3", SENDWICK_SINK_SCRIPT, "--port", std::to_string(port),
                        "--folder", (work / "sink").string()},
                       (work / "sink.log").string());
    int tlsPort = veltrane::test::FreeLoopbackPort();
    pid_t tlsSink =
        Spawn({"/usr/bin/python3", SENDWICK_SINK_SCRIPT, "--port", std::to_string(tlsPort),
               "--folder", (work / "sink").string(), "--tls", "starttls", "--cert",
               (work / "server.crt").string(), "--key", (work / "server.key").string()},
              (work / "sink.log").string());
    if (!veltrane::test::WaitForPort("127.0.0.1", port) ||
        !veltrane::test::WaitForPort("127.0.0.1", tlsPort)) {
        std::fprintf(stderr, "the SMTP sink did not start (see %s)\n", (work / "sink.log").c_str());
        return 1;
    }

    sendwick::SystemMailClock clock;
    sendwick::SessionSettings settings;
    settings.clock = &clock;
    settings.port = port;
    sendwick::ServerLogin login{"127.0.0.1", "backup", "secret"};
    sendwick::ServerLogin tlsLogin{"smtp+starttls://127.0.0.1:" + std::to_string(tlsPort), "backup",
                                   "secret"};
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

    auto curl = [&](int toPort, std::vector<std::string> tls) {
        std::vector<std::string> argv{"curl",
                                      "-s",
                                      "-S",
                                      "--url",
                                      "smtp://127.0.0.1:" + std::to_string(toPort),
                                      "--user",
                                      "backup:secret",
                                      "--mail-from",
                                      "robot@example.com",
                                      "--mail-rcpt",
                                      token,
                                      "--upload-file",
                                      (work / "message.eml").string()};
        argv.insert(argv.end(), tls.begin(), tls.end());
        return Wait(Spawn(argv, (work / "curl.log").string())) == 0;
    };

    const std::string loadBefore = LoadAverage();
    std::vector<double> library, reference, compose, tlsLibrary, tlsReference;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::string built =
            sendwick::BuildMessage({request.from, token, request.bodyType, request.subject,
                                    request.body, request.attachments, clock.Now()});
        compose.push_back(Milliseconds(start));

        start = Clock::now();
        bool ok = sendwick::SendToRecipientViaSMTP(login, request, token, settings);
        library.push_back(Milliseconds(start));
        start = Clock::now();
        ok = curl(port, {}) && ok;
        reference.push_back(Milliseconds(start));

        start = Clock::now();
        ok = sendwick::SendToRecipientViaSMTP(tlsLogin, request, token, settings) && ok;
        tlsLibrary.push_back(Milliseconds(start));
        start = Clock::now();
        ok = curl(tlsPort, {"--ssl-reqd", "--cacert", (work / "ca.crt").string()}) && ok;
        tlsReference.push_back(Milliseconds(start));
        if (!ok) {
            std::fprintf(stderr, "a session failed in run %d (see %s)\n", run,
                         (work / "curl.log").c_str());
            return 1;
        }
        EmptyFolder(work / "sink");
    }

    kill(sink, SIGTERM);
    kill(tlsSink, SIGTERM);
    waitpid(sink, nullptr, 0);
    waitpid(tlsSink, nullptr, 0);
    fs::remove_all(work);

    double lib = Median(library);
    double ref = Median(reference);
    double tlsLib = Median(tlsLibrary);
    double tlsRef = Median(tlsReference);
    std::printf("message bytes on the wire: %zu (10 MiB attachment)\n", message.size() + 3);
    std::printf("load average before: %s, after: %s\n", loadBefore.c_str(), LoadAverage().c_str());
    std::printf("runs: %d, medians:\n", runs);
    std::printf("  composing the message:            %8.1f ms\n", Median(compose));
    std::printf("  in clear, library (compose+send): %8.1f ms\n", lib);
    std::printf("  in clear, curl:                   %8.1f ms\n", ref);
    std::printf("  in clear, ratio library / curl:   %8.2f\n", lib / ref);
    std::printf("  STARTTLS, library (compose+send): %8.1f ms\n", tlsLib);
    std::printf("  STARTTLS, curl --ssl-reqd:        %8.1f ms\n", tlsRef);
    std::printf("  STARTTLS, ratio library / curl:   %8.2f\n", tlsLib / tlsRef);
    return 0;
}
