// Throughput of the command runner against `dd bs=256` reading the same stream
// from a pipe.
//
// The program is also its own stream source: "runner_bench --emit BYTES" writes
// BYTES bytes of export-like output (ASCII lines, or ASCII and code page 949
// Korean lines alternating) to
// its standard output in 64 KiB writes. Both readers get the same source
// program, so the difference is the cost of reading, decoding and handing out
// 256-byte chunks.
//
// Usage: runner_bench [MiB=64] [rounds=5] [korean|english]

#include "export_lines.h"
#include "job/exe_cmd.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Emit(long long bytes, bool korean)
{
    return veltrane::bench::WriteExportLines(1, bytes, korean) ? 0 : 1;
}

struct Quiet : veltrane::ExeCmdListener
{
    void ReceiveOutputs(std::string&) override {}
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--emit")
        return Emit(std::atoll(argv[2]), std::string(argv[3]) == "korean");

    const long long mib = argc > 1 ? std::atoll(argv[1]) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string content = argc > 3 ? argv[3] : "korean";
    const long long bytes = mib * 1024 * 1024;
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return 1;
    self[len] = '\0';
    const std::string source =
        std::string(self) + " --emit " + std::to_string(bytes) + " " + content;
    const std::string ddLine = source + " | dd bs=256 of=/dev/null status=none";

    std::vector<double> runner;
    std::vector<double> dd;
    for (int round = 0; round < rounds; ++round) {
        Quiet quiet;
        veltrane::CExeCmd cmd(&quiet);
        auto start = Clock::now();
        const veltrane::CommandResult result = cmd.ExecuteCommand(source);
        runner.push_back(Seconds(Clock::now() - start));
        if (!result.started || cmd.Outputs().empty()) {
            std::fprintf(stderr, "the runner read nothing: %s\n", result.failure.c_str());
            return 1;
        }

        start = Clock::now();
        if (std::system(ddLine.c_str()) != 0) {
            std::fprintf(stderr, "dd failed\n");
            return 1;
        }
        dd.push_back(Seconds(Clock::now() - start));
    }

    const double r = Median(runner);
    const double d = Median(dd);
    std::printf("stream: %lld MiB of %s export lines, %d rounds, medians\n", mib,
                content == "korean" ? "English and Korean" : "English", rounds);
    std::printf("runner (256-byte chunks, no-op listener): %.3f s  %.1f MiB/s\n", r, mib / r);
    std::printf("dd bs=256 from a pipe:                    %.3f s  %.1f MiB/s\n", d, mib / d);
    std::printf("runner time / dd time: %.2f\n", r / d);
    return 0;
}
