// A talkative export through "veltrane --run-item 1 --folder F" as a whole
// program (start, lock, schedule read, the run with its log, judging and
// lines, the schedule's save), against the same stand-in export writing into
// "dd bs=256 of=/dev/null", alternating with it in the same run. The export
// utility is this program standing in (window/run_bench_support.h): N MiB of
// export lines, English and Korean in code page 949 unless told otherwise,
// then the closing text of a success.
//
// Usage: run_item_bench [MiB=64] [rounds=7] [korean|english]

#include "program_run.h"
#include "service/service_folder.h"
#include "window/run_bench_support.h"

#include <filesystem>

using namespace veltrane;
using namespace veltrane::bench;
using Steady = std::chrono::steady_clock;

namespace {

struct Timed
{
    double seconds = -1; // wall time; -1 when it failed
    double cpu = 0;      // user and system time of it and its children
};

// Runs `args` with its standard output thrown away; fails unless it ends
// with 0.
Timed TimeProgram(const std::vector<std::string>& args)
{
    const bench::ProgramRun run = bench::RunProgram(args);
    return {run.EndedWithAtMost(0) ? run.seconds : -1, run.cpu};
}

} // namespace

int main(int argc, char** argv)
{
    if (int code = 0; StandInExport(argc, argv, code))
        return code;
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string content = argc > 3 ? argv[3] : "korean";
    const long long bytes = mib * 1024 * 1024;
    const std::string self = SelfPath();

    ScratchFolder folder("/tmp");
    if (folder.path().empty())
        return 1;
    const std::string backups = folder.path() + "/backups";
    auto record = std::make_shared<ScheduleRecord>();
    record->nNo = 1;
    record->bEnabled = true;
    record->strServiceName = "ORCL";
    record->strID = "SCOTT";
    record->strPWD = "tiger";
    record->strBackUpFolder = backups + "/";
    record->strProgramPath = self;
    record->strExecutionOption = StandInOption(bytes, content, 0, 0);
    if (!WriteServiceFolder(folder.path(), {record}))
        return 1;

    const std::string dump = folder.path() + "/dd.DMP";
    const std::vector<std::string> runItem = {VELTRANE_PROGRAM, "--run-item", "1", "--folder",
                                              folder.path()};
    const std::vector<std::string> intoDd = {"/bin/sh", "-c",
                                             "'" + self + "' SCOTT/tiger@ORCL File='" + dump +
                                                 "' " + record->strExecutionOption +
                                                 " | dd bs=256 of=/dev/null status=none"};

    std::vector<double> run, dd, runCpu, ddCpu, ratios;
    // One untimed round of each first: the page cache and the code page's
    // table in place.
    for (int round = -1; round < rounds; ++round) {
        std::system(("rm -rf '" + backups + "' '" + dump + "'").c_str());
        std::filesystem::create_directories(backups);
        Timed a;
        Timed b;
        // The order alternates, so neither always runs on a machine the other
        // just warmed.
        if (round % 2 == 0) {
            a = TimeProgram(runItem);
            b = TimeProgram(intoDd);
        } else {
            b = TimeProgram(intoDd);
            a = TimeProgram(runItem);
        }
        if (a.seconds < 0 || b.seconds < 0) {
            std::fprintf(stderr, "round %d: %s failed; see %s\n", round,
                         a.seconds < 0 ? "--run-item" : "the export into dd",
                         folder.path().c_str());
            return 1;
        }
        if (round < 0) {
            // What the run left: its dump and its log of the whole output.
            for (const auto& entry : std::filesystem::recursive_directory_iterator(backups))
                if (entry.is_regular_file())
                    std::printf("the run left %s, %ju bytes\n",
                                entry.path().lexically_relative(backups).c_str(),
                                static_cast<std::uintmax_t>(entry.file_size()));
            continue;
        }
        run.push_back(a.seconds);
        dd.push_back(b.seconds);
        runCpu.push_back(a.cpu);
        ddCpu.push_back(b.cpu);
        ratios.push_back(a.seconds / b.seconds);
    }
    const double mibs = static_cast<double>(mib);
    std::printf("%lld MiB of %s export lines, %d rounds, medians; load average %.2f\n", mib,
                content == "korean" ? "English and Korean" : "English", rounds, LoadAverage());
    std::printf("--run-item:      %.3f s (%.1f MiB/s), CPU %.3f s\n", Median(run),
                mibs / Median(run), Median(runCpu));
    std::printf("export into dd:  %.3f s (%.1f MiB/s), CPU %.3f s\n", Median(dd), mibs / Median(dd),
                Median(ddCpu));
    std::printf("ratio of medians %.2f, median of round ratios %.2f (target <= 1.5)\n",
                Median(run) / Median(dd), Median(ratios));
    return 0;
}
