// The launch timer's work at the table's limit: one tick over 32767 enabled
// items of which none is due and none overdue (the overdue check, then the
// launch pass), and each of the two alone; and the first tick of a minute,
// which compares every item with its record and walks the whole table.

#include "job/run_observer.h"
#include "schedule/due_rules.h"
#include "service/schedule_service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

// The system clock's cost, at a fixed time: one local time conversion.
struct FixedClock final : Clock
{
    LocalDateTime Now() const override
    {
        SystemClock().Now();
        return fixed;
    }
    LocalDateTime fixed = *ParseDateTime("2026-12-08 10:17:42");
};

struct NoHost final : RunObserver
{
    void Stage(const std::string&) override {}
    void Detail(const std::string&) override {}
    void Line(const std::string&) override {}
    void Message(const std::string&, bool) override {}
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 101;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-tick-bench";
    std::filesystem::create_directories(folder);
    FixedClock clock;
    NoHost host;
    ScheduleService service(host, clock, folder);
    service.LoadSettings();
    // Every kind, each run at a time that keeps it from being due now.
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    ScheduleTable table;
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->bEnabled = true;
        r->strBackUpType = kinds[i % 4];
        r->strTime = "03:45:00";
        r->strWeek = "월";
        r->nDay = 20;
        r->strLastBackUpTime = "2026-12-08 10:05:00";
        table.push_back(r);
    }
    service.SetTable(std::move(table));
    std::vector<double> tick, overdue, pass;
    for (int round = 0; round < rounds; ++round) {
        auto start = Steady::now();
        service.Tick();
        tick.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
        start = Steady::now();
        service.CheckOverdue();
        overdue.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
        start = Steady::now();
        service.LaunchDueItems();
        pass.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    // Each tick its minute's first, in the 25 minutes before the hourly
    // items come due at 10:45.
    std::vector<double> minute;
    for (int round = 0; round < 25; ++round) {
        clock.fixed = AddSeconds(clock.fixed, 60);
        const auto start = Steady::now();
        service.Tick();
        minute.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    std::printf("items %zu, rounds %d\n", service.Table().size(), rounds);
    std::printf("one tick (overdue check and launch pass): %.3f ms median; / 2 ms target: %.2f\n",
                Median(tick), Median(tick) / 2.0);
    std::printf("overdue check alone: %.3f ms median; / 2 ms target: %.2f\n", Median(overdue),
                Median(overdue) / 2.0);
    std::printf("launch pass alone: %.3f ms median; / 2 ms target: %.2f\n", Median(pass),
                Median(pass) / 2.0);
    std::printf("a minute's first tick: %.3f ms median\n", Median(minute));
    std::filesystem::remove_all(folder);
    return 0;
}
