// The item list's refresh at the table's limit: 32767 rows, every row with
// its "Next Run" cell, in the real main window (offscreen). Beside it, the
// "Next Run" computation alone for the same items, to show its share.

#include "platform/clock.h"
#include "schedule/due_rules.h"
#include "support/quiet_tray.h"
#include "window/system_main.h"

#include <QApplication>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

struct FixedClock final : Clock
{
    LocalDateTime Now() const override { return *ParseDateTime("2026-12-08 10:17:42"); }
};

// Every kind, run and never run, enabled and not.
void Fill(ScheduleTable& table)
{
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    const char* weekdays[] = {"일", "월", "화", "수", "목", "금", "토"};
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = static_cast<std::int32_t>(i + 1);
        r->bEnabled = i % 5 != 0;
        r->strBackUpType = kinds[i % 4];
        r->strWeek = weekdays[i % 7];
        r->nDay = static_cast<std::int16_t>(1 + i % 30);
        char time[16];
        std::snprintf(time, sizeof time, "%02zu:30:00", i % 24);
        r->strTime = time;
        r->strServiceName = "ORCL" + std::to_string(i);
        r->strID = "SCOTT";
        r->strBackUpFolder = "/backup/oracle/";
        r->strProgramPath = "/opt/oracle/bin/exp";
        if (i % 3 != 0) {
            char last[32];
            std::snprintf(last, sizeof last, "2026-12-%02zu 02:00:00", 1 + i % 7);
            r->strLastBackUpTime = last;
        }
        table.push_back(r);
    }
}

double Milliseconds(Steady::time_point start)
{
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-list-bench";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(folder + "/Schedule.dat");

    FixedClock clock;
    test::QuietTray tray;
    SystemMain window(clock, folder, &tray);
    // Only the refresh is measured: no launch pass runs the items meanwhile.
    window.tm_Clock.stop();
    window.tmScheduleLaunch.stop();
    Fill(window.Service().Table());
    window.show();

    std::vector<double> nextRun, refresh;
    std::size_t due = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Steady::now();
        due = 0;
        for (const auto& record : window.Service().Table())
            due += NextDueTime(*record, clock.Now()).has_value();
        nextRun.push_back(Milliseconds(start));

        start = Steady::now();
        window.RefreshItemList();
        QApplication::processEvents();
        refresh.push_back(Milliseconds(start));
    }
    const double refreshMs = Median(refresh);
    const double nextRunMs = Median(nextRun);
    std::printf("rows %d, with a next run %zu\n", window.lvList->topLevelItemCount(), due);
    std::printf("Next Run computation alone: %.1f ms (median of %d)\n", nextRunMs, rounds);
    std::printf("list refresh, Next Run included: %.1f ms (median of %d)\n", refreshMs, rounds);
    std::printf("refresh / 200 ms target: %.2f; Next Run's share of the refresh: %.2f\n",
                refreshMs / 200.0, nextRunMs / refreshMs);
    std::filesystem::remove_all(folder);
    return 0;
}
