// Upload throughput of Hoistline against the curl command-line tool.
//
// Both upload the same 1 GiB file to the same local FTP server, in active
// mode, taking turns so that both see the same machine state. The library
// is bound by name at run time, as the program binds it.
//
// Usage: hoistline_upload_bench [rounds (default 5)] [size in MiB (default 1024)]

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
using PutFn = int (*)(const char*, const char*, const char*, const char*, int, int, const char*);

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

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::size_t mebibytes = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 1024;

    // In memory when possible, so that disk write-back does not blur the
    // figures: the network path is what is measured.
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path work = base / ("hoistline-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "root");
    std::string source = (work / "source.dmp").string();
    WriteTestFile(source, mebibytes);

    int port = FreePort();
    pid_t server = Spawn({"/usr/bin/python3", FTP_SERVER_SCRIPT, "--port", std::to_string(port),
                          "--root", (work / "root").string(), "--user", kUser, "--password",
                          kPassword, "--log", "/dev/null"},
                         (work / "server.out").string());
    void* library = dlopen(HOISTLINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto put = library ? reinterpret_cast<PutFn>(dlsym(library, "PutLocalFileViaFTP")) : nullptr;
    if (server < 0 || !WaitForPort(port) || put == nullptr) {
        std::fprintf(stderr, "cannot start: server or library missing (%s)\n",
                     library ? "server" : dlerror());
        return 1;
    }

    // One untimed upload first: it brings the file into the page cache and
    // pays the one-time start-up of the library and the server.
    put("127.0.0.1", "/warm-up.dmp", kUser, kPassword, port, 0, source.c_str());
    fs::remove(work / "root" / "warm-up.dmp");

    const double bytes = static_cast<double>(mebibytes) * 1024 * 1024;
    const fs::path stored = work / "root" / "stored.dmp";
    // Each upload reports its throughput in MiB/s and its CPU seconds, or
    // fails; the stored file is checked for its full size and removed.
    auto finish = [&](bool uploaded, Clock::time_point start, double cpu, double& rate,
                      double& cpuOut) {
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        uploaded = uploaded && fs::exists(stored) && fs::file_size(stored) == bytes;
        fs::remove(stored);
        rate = bytes / seconds / (1024 * 1024);
        cpuOut = cpu;
        return uploaded;
    };
    auto viaLibrary = [&](double& rate, double& cpu) {
        auto start = Clock::now();
        double before = ThreadCpuSeconds();
        bool uploaded =
            put("127.0.0.1", "/stored.dmp", kUser, kPassword, port, 0, source.c_str()) == 1;
        return finish(uploaded, start, ThreadCpuSeconds() - before, rate, cpu);
    };
    auto viaCurlTool = [&](double& rate, double& cpu) {
        std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/stored.dmp";
        auto start = Clock::now();
        pid_t curl = Spawn({"/usr/bin/curl", "-sS", "--ftp-port", "-", "--disable-eprt", "-u",
                            std::string(kUser) + ":" + kPassword, "-T", source, url},
                           (work / "curl.out").string());
        double childCpu = 0;
        bool uploaded = curl > 0 && WaitFor(curl, &childCpu) == 0;
        return finish(uploaded, start, childCpu, rate, cpu);
    };

    std::vector<double> ours, curls, ratios, ourCpu, curlCpu;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double rate[2], cpu[2];
        // Alternate who goes first, so that neither always meets the state
        // the other left behind.
        if (round % 2 == 0)
            ok = viaLibrary(rate[0], cpu[0]) && viaCurlTool(rate[1], cpu[1]);
        else
            ok = viaCurlTool(rate[1], cpu[1]) && viaLibrary(rate[0], cpu[0]);
        ours.push_back(rate[0]);
        ourCpu.push_back(cpu[0]);
        curls.push_back(rate[1]);
        curlCpu.push_back(cpu[1]);
        ratios.push_back(rate[0] / rate[1]);
        std::printf("round %d: Hoistline %.1f MiB/s (%.2f s CPU), curl %.1f MiB/s (%.2f s CPU), "
                    "ratio %.2f\n",
                    round + 1, rate[0], cpu[0], rate[1], cpu[1], ratios.back());
    }

    kill(server, SIGTERM);
    WaitFor(server);
    dlclose(library);
    fs::remove_all(work);
    if (!ok) {
        std::fprintf(stderr, "an upload failed\n");
        return 1;
    }
    // The per-round ratio compares two uploads made moments apart, which
    // holds up better than whole-run figures on a machine shared with others.
    std::printf("median of %d rounds, %zu MiB: Hoistline %.1f MiB/s (%.2f s CPU), curl %.1f MiB/s "
                "(%.2f s CPU), ratio of medians %.2f, median round ratio %.2f\n",
                rounds, mebibytes, Median(ours), Median(ourCpu), Median(curls), Median(curlCpu),
                Median(ours) / Median(curls), Median(ratios));
    return 0;
}
