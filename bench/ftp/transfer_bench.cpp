// Upload and download throughput of Hoistline against the curl command-line
// tool.
//
// Both upload the same 1 GiB file to the same local server, and download it
// again (curl's download followed by an fsync of the file, as the library
// makes its download safe on disk before it renames it), taking turns so that
// both see the same machine state, over each of:
//   ftp    plain FTP in active mode, to the tests' pyftpdlib server
//   ftpes  FTP with TLS (AUTH TLS, passive, certificate verified), to vsftpd
//   ftps   the same with TLS from the first byte (implicit), to vsftpd
//   sftp   SFTP (password login, host key checked), to OpenSSH's sshd
// vsftpd and sshd need root (sshd logs in a throw-away account made for the
// run). The library is bound by name at run time, as the program binds it.
//
// Usage: hoistline_transfer_bench [rounds (default 5)] [size in MiB (default 1024)]
//                                 [kinds, comma-separated (default ftp,ftpes,ftps,sftp)]
//                                 [directions (default up,down)]

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
// PutLocalFileViaFTP and GetRemoteFileViaFTP.
using TransferFn = int (*)(const char*, const char*, const char*, const char*, int, int,
                           const char*);

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench";

double CpuSeconds(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return CpuSeconds(usage);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid, double* cpuSeconds = nullptr)
{
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (cpuSeconds != nullptr)
        *cpuSeconds = CpuSeconds(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool WaitForPort(int port)
{
    for (int i = 0; i < 500; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (up)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void WriteTestFile(const std::string& path, std::size_t mebibytes)
{
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(1024 * 1024 / sizeof(std::uint64_t));
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < mebibytes; ++i) {
        for (auto& word : block)
            word = generator();
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * sizeof(std::uint64_t)));
    }
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One kind of server, with the same upload made by the library and by the
// curl tool.
struct Target
{
    std::string kind;
    pid_t server = -1;
    int port = 0;
    std::string host; // the library's server text
    std::string user, password;
    std::string remote;  // the library's remote path
    std::string curlUrl; // the same file for the curl tool
    std::vector<std::string> curlOptions;
    fs::path stored; // where the server keeps it
};

// Starts the server of `kind` in `work`; false with the reason printed when
// it cannot run.
bool StartServer(const std::string& kind, const fs::path& work, Target& target)
{
    target.kind = kind;
    target.port = FreePort();
    const std::string port = std::to_string(target.port);
    const fs::path folder = work / kind;
    fs::create_directories(folder / "root");
    std::vector<std::string> argv;
    if (kind == "ftp") {
        argv = {"/usr/bin/python3",
                FTP_SERVER_SCRIPT,
                "--port",
                port,
                "--root",
                (folder / "root").string(),
                "--user",
                kUser,
                "--password",
                kPassword,
                "--log",
                "/dev/null"};
        target.host = "127.0.0.1";
        target.user = kUser;
        target.password = kPassword;
        target.remote = "/stored.dmp";
        target.curlOptions = {"--ftp-port", "-", "--disable-eprt"};
        target.curlUrl = "ftp://127.0.0.1:" + port + "/stored.dmp";
        target.stored = folder / "root" / "stored.dmp";
    } else if (kind == "ftpes" || kind == "ftps") {
        argv = {"/usr/bin/python3",
                SYSTEM_SERVERS_SCRIPT,
                "vsftpd",
                "--dir",
                folder.string(),
                "--port",
                port,
                "--tls",
                kind == "ftpes" ? "explicit" : "implicit"};
        target.host = kind + "://127.0.0.1";
        target.user = "anonymous";
        target.remote = "/in/stored.dmp";
        // Both check the server's certificate against the test CA: the
        // library finds it through SSL_CERT_FILE, the curl tool is told.
        setenv("SSL_CERT_FILE", (folder / "ca.pem").c_str(), 1);
        target.curlOptions = {"--ssl-reqd", "--cacert", (folder / "ca.pem").string()};
        target.curlUrl =
            (kind == "ftpes" ? "ftp" : "ftps") + ("://127.0.0.1:" + port + "/in/stored.dmp");
        target.stored = folder / "root" / "in" / "stored.dmp";
    } else if (kind == "sftp") {
        target.user = "hoistlinebench" + std::to_string(getpid());
        target.password = "bench ssh pass";
        argv = {"/usr/bin/python3",
                SYSTEM_SERVERS_SCRIPT,
                "sshd",
                "--dir",
                folder.string(),
                "--port",
                port,
                "--user",
                target.user,
                "--password",
                target.password};
        target.host = "sftp://127.0.0.1";
        target.remote = "stored.dmp";
        target.curlUrl = "sftp://127.0.0.1:" + port + "/~/stored.dmp";
        target.stored = folder / "home" / "stored.dmp";
    } else {
        std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
        return false;
    }
    target.server = Spawn(argv, (folder / "server.out").string());
    if (target.server < 0 || !WaitForPort(target.port)) {
        std::fprintf(stderr, "%s: the server did not start (as root?), see %s\n", kind.c_str(),
                     (folder / "server.out").c_str());
        return false;
    }
    if (kind == "sftp") {
        // The host key, as an operator would take it, for both: the library
        // reads the file HOISTLINE_KNOWN_HOSTS names, the curl tool the one
        // in its HOME.
        fs::create_directories(folder / "curl-home" / ".ssh");
        const std::string knownHosts = (folder / "curl-home" / ".ssh" / "known_hosts").string();
        pid_t scan = Spawn({"/usr/bin/ssh-keyscan", "-p", port, "127.0.0.1"}, knownHosts);
        if (scan < 0 || WaitFor(scan) != 0)
            return false;
        setenv("HOISTLINE_KNOWN_HOSTS", knownHosts.c_str(), 1);
        setenv("HOME", (folder / "curl-home").c_str(), 1);
    }
    return true;
}

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::size_t mebibytes = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 1024;
    std::vector<std::string> kinds = Split(argc > 3 ? argv[3] : "ftp,ftpes,ftps,sftp");
    std::vector<std::string> directions = Split(argc > 4 ? argv[4] : "up,down");

    // In memory when possible, so that disk write-back does not blur the
    // figures: the network path is what is measured.
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path work = base / ("hoistline-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    std::string source = (work / "source.dmp").string();
    WriteTestFile(source, mebibytes);

    void* library = dlopen(HOISTLINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto put =
        library ? reinterpret_cast<TransferFn>(dlsym(library, "PutLocalFileViaFTP")) : nullptr;
    auto get =
        library ? reinterpret_cast<TransferFn>(dlsym(library, "GetRemoteFileViaFTP")) : nullptr;
    if (put == nullptr || get == nullptr) {
        std::fprintf(stderr, "cannot load the library: %s\n", dlerror());
        return 1;
    }

    const double bytes = static_cast<double>(mebibytes) * 1024 * 1024;
    bool ok = true;
    for (const auto& kind : kinds) {
        Target target;
        bool warm = true;
        if (!StartServer(kind, work, target)) {
            ok = false;
            if (target.server > 0) {
                kill(target.server, SIGTERM);
                WaitFor(target.server);
            }
            continue;
        }
        for (const auto& direction : directions) {
            const bool up = direction == "up";
            // A download reads the file the server keeps, and writes here.
            const fs::path landed = up ? target.stored : work / "downloaded.dmp";
            if (!up) {
                fs::copy_file(source, target.stored, fs::copy_options::overwrite_existing);
                fs::permissions(target.stored, fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
            }
            // Each transfer reports its throughput in MiB/s and its CPU
            // seconds, or fails; the file that landed is checked for its full
            // size and removed.
            auto finish = [&](bool moved, Clock::time_point start, double cpu, double& rate,
                              double& cpuOut) {
                double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                moved = moved && fs::exists(landed) && fs::file_size(landed) == bytes;
                fs::remove(landed);
                rate = bytes / seconds / (1024 * 1024);
                cpuOut = cpu;
                return moved;
            };
            auto viaLibrary = [&](double& rate, double& cpu) {
                auto start = Clock::now();
                double before = ThreadCpuSeconds();
                bool moved =
                    (up ? put : get)(target.host.c_str(), target.remote.c_str(),
                                     target.user.c_str(), target.password.c_str(), target.port, 0,
                                     up ? source.c_str() : landed.c_str()) == 1;
                return finish(moved, start, ThreadCpuSeconds() - before, rate, cpu);
            };
            auto viaCurlTool = [&](double& rate, double& cpu) {
                std::vector<std::string> command = {"/usr/bin/curl", "-sS"};
                command.insert(command.end(), target.curlOptions.begin(), target.curlOptions.end());
                command.insert(command.end(),
                               {"-u", target.user + ":" + target.password, up ? "-T" : "-o",
                                up ? source : landed.string(), target.curlUrl});
                auto start = Clock::now();
                pid_t curl = Spawn(command, (work / "curl.out").string());
                double childCpu = 0;
                bool moved = curl > 0 && WaitFor(curl, &childCpu) == 0;
                // The library's download is on disk (fsync) before it takes
                // the file's name; curl's is timed up to the same point.
                if (moved && !up) {
                    const int fd = open(landed.c_str(), O_RDONLY | O_CLOEXEC);
                    moved = fd >= 0 && fsync(fd) == 0;
                    if (fd >= 0)
                        close(fd);
                }
                return finish(moved, start, childCpu, rate, cpu);
            };

            // One untimed transfer by each first: it brings the file into
            // the page cache and pays the one-time start-up of the library
            // and the server.
            double rate[2], cpu[2];
            warm = viaLibrary(rate[0], cpu[0]) && viaCurlTool(rate[1], cpu[1]);
            std::vector<double> ours, curls, ratios, ourCpu, curlCpu;
            for (int round = 0; round < rounds && warm; ++round) {
                // Alternate who goes first, so that neither always meets the
                // state the other left behind.
                if (round % 2 == 0)
                    warm = viaLibrary(rate[0], cpu[0]) && viaCurlTool(rate[1], cpu[1]);
                else
                    warm = viaCurlTool(rate[1], cpu[1]) && viaLibrary(rate[0], cpu[0]);
                ours.push_back(rate[0]);
                ourCpu.push_back(cpu[0]);
                curls.push_back(rate[1]);
                curlCpu.push_back(cpu[1]);
                ratios.push_back(rate[0] / rate[1]);
                std::printf("%s %s round %d: Hoistline %.1f MiB/s (%.2f s CPU), curl %.1f MiB/s "
                            "(%.2f s CPU), ratio %.2f\n",
                            kind.c_str(), direction.c_str(), round + 1, rate[0], cpu[0], rate[1],
                            cpu[1], ratios.back());
                std::fflush(stdout);
            }
            fs::remove(target.stored);
            if (!warm)
                break;
            double load[3] = {0, 0, 0};
            getloadavg(load, 3);
            // The per-round ratio compares two transfers made moments apart,
            // which holds up better than whole-run figures on a machine
            // shared with others.
            std::printf("%s %s, median of %d rounds, %zu MiB: Hoistline %.1f MiB/s (%.2f s CPU), "
                        "curl %.1f MiB/s (%.2f s CPU), ratio of medians %.2f, median round "
                        "ratio %.2f, load average %.2f\n",
                        kind.c_str(), direction.c_str(), rounds, mebibytes, Median(ours),
                        Median(ourCpu), Median(curls), Median(curlCpu),
                        Median(ours) / Median(curls), Median(ratios), load[0]);
            std::fflush(stdout);
        }
        kill(target.server, SIGTERM);
        WaitFor(target.server);
        if (!warm) {
            std::fprintf(stderr, "%s: a transfer failed\n", kind.c_str());
            ok = false;
        }
    }

    dlclose(library);
    fs::remove_all(work);
    return ok ? 0 : 1;
}
