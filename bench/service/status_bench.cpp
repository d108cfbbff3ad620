// "veltrane --status" and "--status --json" on a folder at the table's limit
// (32767 items, each with a history in Veltrane.state), each a whole run of
// the program, against two references measured in the same run: the program
// doing nothing but "--version", and reading Schedule.dat alone in process.

#include "limit_table.h"
#include "platform/file_io.h"
#include "program_run.h"
#include "store/run_state.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds one run of the program with `args` takes, its output thrown
// away; -1 when it ends other than with 0 or 1.
double TimeProgram(const std::vector<std::string>& args)
{
    const bench::ProgramRun run = bench::RunProgram(args);
    return run.EndedWithAtMost(1) ? run.seconds * 1000 : -1;
}

// The table at its limit, with its histories in Veltrane.state.
void WriteFolder(const std::string& folder)
{
    const ScheduleTable table = bench::LimitTable();
    RunState state;
    state.items = ItemStatesOf(table);
    if (!SaveSchedule(folder + "/Schedule.dat", table) ||
        !WriteFileAtomically(folder + "/Veltrane.state", FormatRunState(state), 0640)) {
        std::fprintf(stderr, "cannot write the folder %s\n", folder.c_str());
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    const std::string program = VELTRANE_PROGRAM;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-status-bench";
    std::filesystem::create_directories(folder);
    WriteFolder(folder);
    std::vector<double> status, json, version, load;
    for (int round = 0; round < rounds; ++round) {
        status.push_back(TimeProgram({program, "--status", "--folder", folder}));
        json.push_back(TimeProgram({program, "--status", "--json", "--folder", folder}));
        version.push_back(TimeProgram({program, "--version"}));
        const auto start = Steady::now();
        const Result<ScheduleTable> table = ReadSchedule(folder + "/Schedule.dat");
        load.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
        if (!table || table->size() != kMaxScheduleRecords || status.back() < 0 || json.back() < 0)
            return std::fprintf(stderr, "a run failed\n"), 1;
    }
    const double s = Median(status), j = Median(json), v = Median(version), l = Median(load);
    std::printf("items %zu, rounds %d (medians)\n", kMaxScheduleRecords, rounds);
    std::printf("veltrane --version:           %8.1f ms\n", v);
    std::printf("Schedule.dat read alone:      %8.1f ms (in process)\n", l);
    std::printf("veltrane --status:            %8.1f ms  = %.1f x --version, %.1f x the read\n", s,
                s / v, s / l);
    std::printf("veltrane --status --json:     %8.1f ms  = %.1f x --version, %.1f x the read\n", j,
                j / v, j / l);
    std::filesystem::remove_all(folder);
    return 0;
}
