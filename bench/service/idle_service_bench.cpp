// A real "veltrane --service" over a table at its limit (32767 enabled items
// of every kind, none due and none overdue: each ran a moment ago): the CPU
// time (user and system, from /proc/<pid>/stat) it uses per second of wall
// time once started, ticks, the minute's metrics write and all.

#include "limit_table.h"
#include "service_folder.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

// utime + stime of `pid`, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-idle-bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    // Every item enabled and just run: none due, none overdue for an hour.
    const std::string justNow = FormatDateTime(SystemClock().Now());
    ScheduleTable table = bench::LimitTable();
    for (const auto& r : table) {
        r->bEnabled = true;
        r->strLastBackUpTime = r->history.lastSuccessTime = r->history.lastRunTime = justNow;
        r->history.lastRunSucceeded = true;
    }
    const pid_t pid = bench::StartServiceOn(folder, table);
    if (pid < 0)
        return 1;
    // Past its start (reading the table, the first tick, the first metrics).
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpuStart = CpuSeconds(pid);
    const auto wallStart = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds(pid) - cpuStart;
    const double wall = std::chrono::duration<double>(Steady::now() - wallStart).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("items %zu, %.1f s of wall time: %.3f s of CPU\n", table.size(), wall, cpu);
    std::printf("CPU per second of wall time: %.2f ms; / 2 ms target: %.2f\n", cpu / wall * 1000,
                cpu / wall * 1000 / 2);
    std::filesystem::remove_all(folder);
    return 0;
}
