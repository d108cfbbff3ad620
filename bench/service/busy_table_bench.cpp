// A real "veltrane --service" over a table at its limit where every item is
// due: 32767 hourly items, each last run two hours ago, whose export utility
// is this program standing in (it writes a four-byte dump and the closing
// text of a success, at once). Counts the dumps the runs leave over the given
// wall time, after a start-up pause: runs per second, against the 20 a
// second that keeps an hour's due runs within the hour.
//
//   busy_table_bench [seconds=30]

#include "schedule/calendar.h"
#include "service_folder.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

// The export utility: "USER/PWD@SERVICE File=<dump> ... --stand-in".
bool StandIn(int argc, char** argv)
{
    bool asked = false;
    for (int i = 1; i < argc; ++i)
        asked = asked || std::strcmp(argv[i], "--stand-in") == 0;
    if (!asked)
        return false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "File=", 5) == 0) {
            const int fd = open(argv[i] + 5, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || write(fd, "DUMP", 4) != 4)
                std::exit(1);
            close(fd);
        }
    const char closing[] = "\nExport terminated successfully without warnings.\n";
    std::exit(write(1, closing, sizeof closing - 1) == sizeof closing - 1 ? 0 : 1);
}

// The dumps under `folder` (each item keeps its own folder there).
std::size_t Dumps(const std::string& folder)
{
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
        count += entry.path().extension() == ".DMP";
    return count;
}

std::string SelfPath()
{
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    return len > 0 ? std::string(self, static_cast<std::size_t>(len)) : std::string();
}

} // namespace

int main(int argc, char** argv)
{
    StandIn(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-busy-bench";
    const std::string backups = folder + "/backups";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(backups);
    const std::string twoHoursAgo = FormatDateTime(AddSeconds(SystemClock().Now(), -7200));
    ScheduleTable table;
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = static_cast<std::int32_t>(i + 1);
        r->bEnabled = true;
        r->strBackUpType = kKindHourly;
        r->strTime = "00:00:00";
        r->strServiceName = std::string("ORCL").append(std::to_string(i));
        r->strID = std::string("U").append(std::to_string(i)); // a file prefix of its own
        r->strPWD = "tiger";
        r->strBackUpFolder = backups + "/";
        r->strProgramPath = SelfPath();
        r->strExecutionOption = "--stand-in";
        r->strLastBackUpTime = r->history.lastSuccessTime = r->history.lastRunTime = twoHoursAgo;
        r->history.lastRunSucceeded = true;
        table.push_back(r);
    }
    const pid_t pid = bench::StartServiceOn(folder, table);
    if (pid < 0)
        return 1;
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::size_t before = Dumps(backups);
    const auto from = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const std::size_t runs = Dumps(backups) - before;
    const double wall = std::chrono::duration<double>(Steady::now() - from).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("items %zu, %.1f s of wall time: %zu runs (%zu before the count began)\n",
                table.size(), wall, runs, before);
    std::printf("runs per second: %.2f; / 20 target: %.2f\n", runs / wall, runs / wall / 20);
    if (runs == 0)
        return std::fprintf(stderr, "no run: see %s\n", folder.c_str()), 1;
    std::filesystem::remove_all(folder);
    return 0;
}
