// Times one message with an attachment (10 MiB unless told otherwise) handed
// to a real SMTP server (aiosmtpd on loopback) by the library's server
// session, and the same message bytes uploaded to the same server by the curl
// command-line tool, alternating the two, in each mode asked for: in clear
// (AUTH LOGIN), over STARTTLS (AUTH PLAIN, curl with --ssl-reqd) and over TLS
// from the first byte (smtps://), the server's certificate from an authority
// made for the run with the openssl command. Prints the medians, their ratios
// and the machine's load.
//
// Usage: sendwick_bench [runs=5] [MiB=10] [modes=clear,starttls]
//        (modes: any of clear, starttls, implicit, separated by commas)
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
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

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

// One way of reaching the server: its sink, the library's login and curl's
// URL and options, and the figures of each side.
struct Mode
{
    std::string name;
    std::string tls; // the sink's --tls
    int port = 0;
    pid_t sink = -1;
    std::string login;                // the library's server field
    std::string url;                  // curl's
    std::vector<std::string> options; // curl's
    std::vector<double> library, curl;
};

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::size_t attachmentMiB = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const std::string modeList = argc > 3 ? argv[3] : "clear,starttls";
    fs::path work = fs::temp_directory_path() / ("sendwick-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "sink");

    std::string attachment(attachmentMiB * 1024 * 1024, '\0');
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

    const std::vector<std::string> tlsOptions{"--ssl-reqd", "--cacert", (work / "ca.crt").string()};
    std::vector<Mode> modes;
    std::istringstream names(modeList);
    for (std::string name; std::getline(names, name, ',');) {
        Mode mode;
        mode.name = name;
        mode.port = veltrane::test::FreeLoopbackPort();
        const std::string at = "127.0.0.1:" + std::to_string(mode.port);
        if (name == "clear") {
            mode.tls = "none";
            mode.login = at;
            mode.url = "smtp://" + at;
        } else if (name == "starttls") {
            mode.tls = "starttls";
            mode.login = "smtp+starttls://" + at;
            mode.url = "smtp://" + at;
            mode.options = tlsOptions;
        } else if (name == "implicit") {
            mode.tls = "implicit";
            mode.login = "smtps://" + at;
            mode.url = "smtps://" + at;
            mode.options = tlsOptions;
        } else {
            std::fprintf(stderr, "unknown mode %s (clear, starttls, implicit)\n", name.c_str());
            return 2;
        }
        std::vector<std::string> sink{
            "/usr/bin/python3", SENDWICK_SINK_SCRIPT,     "--port", std::to_string(mode.port),
            "--folder",         (work / "sink").string(), "--tls",  mode.tls};
        if (mode.tls != "none")
            sink.insert(sink.end(), {"--cert", (work / "server.crt").string(), "--key",
                                     (work / "server.key").string()});
        mode.sink = Spawn(sink, (work / "sink.log").string());
        modes.push_back(std::move(mode));
    }
    for (const Mode& mode : modes)
        if (!veltrane::test::WaitForPort("127.0.0.1", mode.port)) {
            std::fprintf(stderr, "the SMTP sink did not start (see %s)\n",
                         (work / "sink.log").c_str());
            return 1;
        }

    sendwick::SystemMailClock clock;
    sendwick::SessionSettings settings;
    settings.clock = &clock;
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

    auto curl = [&](const Mode& mode) {
        std::vector<std::string> argv{"curl",
                                      "-s",
                                      "-S",
                                      "--url",
                                      mode.url,
                                      "--user",
                                      "backup:secret",
                                      "--mail-from",
                                      "robot@example.com",
                                      "--mail-rcpt",
                                      token,
                                      "--upload-file",
                                      (work / "message.eml").string()};
        argv.insert(argv.end(), mode.options.begin(), mode.options.end());
        return Wait(Spawn(argv, (work / "curl.log").string())) == 0;
    };

    const std::string loadBefore = LoadAverage();
    std::vector<double> compose;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        std::string built =
            sendwick::BuildMessage({request.from, token, request.bodyType, request.subject,
                                    request.body, request.attachments, clock.Now()});
        compose.push_back(Milliseconds(start));

        bool ok = true;
        for (Mode& mode : modes) {
            const sendwick::ServerLogin login{mode.login, "backup", "secret"};
            start = Clock::now();
            ok = sendwick::SendToRecipientViaSMTP(login, request, token, settings) && ok;
            mode.library.push_back(Milliseconds(start));
            start = Clock::now();
            ok = curl(mode) && ok;
            mode.curl.push_back(Milliseconds(start));
        }
        if (!ok) {
            std::fprintf(stderr, "a session failed in run %d (see %s)\n", run,
                         (work / "curl.log").c_str());
            return 1;
        }
        EmptyFolder(work / "sink");
    }

    for (const Mode& mode : modes)
        kill(mode.sink, SIGTERM);
    for (const Mode& mode : modes)
        waitpid(mode.sink, nullptr, 0);
    fs::remove_all(work);

    std::printf("message bytes on the wire: %zu (%zu MiB attachment)\n", message.size() + 3,
                attachmentMiB);
    std::printf("load average before: %s, after: %s\n", loadBefore.c_str(), LoadAverage().c_str());
    std::printf("runs: %d, medians:\n", runs);
    std::printf("  composing the message:             %8.1f ms\n", Median(compose));
    for (const Mode& mode : modes) {
        const double lib = Median(mode.library);
        const double ref = Median(mode.curl);
        std::printf("  %-8s library (compose+send):   %8.1f ms\n", mode.name.c_str(), lib);
        std::printf("  %-8s curl:                     %8.1f ms\n", mode.name.c_str(), ref);
        std::printf("  %-8s ratio library / curl:     %8.2f\n", mode.name.c_str(), lib / ref);
    }
    return 0;
}
