// The metrics file at the table's limit: writing it for 32767 items (every
// run and every minute do), against saving Schedule.dat of the same table
// (every successful run does), measured in the same run. The items mix
// successes, failures, items that never ran and disabled ones.

#include "limit_table.h"
#include "service/metrics_file.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

using namespace veltrane;
using veltrane::bench::LimitTable;
using Steady = std::chrono::steady_clock;

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Milliseconds(const std::function<void()>& work)
{
    const auto start = Steady::now();
    work();
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-metrics-bench";
    std::filesystem::create_directories(folder);
    const ScheduleTable table = LimitTable();
    Settings settings;
    const LocalDateTime now = *ParseDateTime("2026-12-08 10:17:42");
    const std::string metrics = folder + "/" + kMetricsFileName;
    const std::string schedule = folder + "/" + std::string(kScheduleFileName);

    std::vector<double> write, format, save;
    std::size_t bytes = 0;
    for (int round = 0; round < rounds; ++round) {
        write.push_back(Milliseconds([&] {
            if (!WriteMetricsFile(metrics, FormatMetrics(table, settings, now)))
                std::abort();
        }));
        format.push_back(Milliseconds([&] { bytes = FormatMetrics(table, settings, now).size(); }));
        save.push_back(Milliseconds([&] {
            if (!SaveSchedule(schedule, table))
                std::abort();
        }));
    }
    const double reference = Median(save);
    std::printf("items %zu, rounds %d, metrics %zu bytes, Schedule.dat %ju bytes\n", table.size(),
                rounds, bytes, static_cast<std::uintmax_t>(std::filesystem::file_size(schedule)));
    std::printf("Schedule.dat save (reference): %.1f ms median\n", reference);
    std::printf("metrics write (text and file): %.1f ms median; / reference: %.2f\n", Median(write),
                Median(write) / reference);
    std::printf("metrics text alone: %.1f ms median; / reference: %.2f\n", Median(format),
                Median(format) / reference);
    std::filesystem::remove_all(folder);
    return 0;
}
