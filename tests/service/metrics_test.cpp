// The metrics file: written by a real service's runs, linted by promtool and
// passed on by a real node_exporter; the heartbeat follows the clock.

#include "service/schedule_service.h"
#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/manual_clock.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace veltrane;
using namespace veltrane::test;

namespace {

std::shared_ptr<ScheduleRecord> Item(int no, const char* service, std::string program)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->nNo = no;
    r->bEnabled = true;
    r->strBackUpType = kKindHourly;
    r->strTime = "00:59:00"; // due at once, then not for an hour
    r->strServiceName = service;
    r->strID = "SCOTT";
    r->strProgramPath = std::move(program);
    return r;
}

struct Lines final : RunObserver
{
    void Stage(const std::string&) override {}
    void Detail(const std::string&) override {}
    void Line(const std::string& line) override { text += line + "\n"; }
    void Message(const std::string&, bool) override {}
    std::string text;
};

} // namespace

TEST(Metrics, ARealServicesRunsReachNodeExporter)
{
    TempDir data, scrape, logs;
    const std::string good = "{item=\"1\",service=\"ORCL\",user=\"SCOTT\"}";
    const std::string failed = "{item=\"2\",service=\"인사\\\"DB\",user=\"SCOTT\"}";
    const std::string compress = "{item=\"1\",service=\"ORCL\",step=\"compress\",user=\"SCOTT\"}";
    auto compressed = Item(1, "ORCL", JOB_TEST_DATA_DIR "/fake_exp.py");
    compressed->bDataCompress = true; // no archiver in the folder: a failed later step
    ASSERT_TRUE(SaveSchedule(data.File("Schedule.dat"),
                             {compressed, Item(2, "인사\"DB", data.File("none"))}));
    WriteBytes(data.File("Veltrane.ini"), "[Veltrane]\nMetricsFile=v.prom\n");
    const std::string file = data.File("v.prom");
    WriteBytes(file, "");                                         // the service replaces it
    std::filesystem::create_symlink(file, scrape.File("v.prom")); // as the setup says
    const double started = static_cast<double>(std::time(nullptr));
    ChildProcess service({VELTRANE_PROGRAM_DIR "/veltrane", "--service", "--folder", data.path()});
    // Item 2 runs after item 1: once its failure is in, both ran.
    for (int i = 0; i < 400 && ReadBytes(file).find("veltrane_last_run_success" + failed + " 0") ==
                                   std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
    ChildProcess lint({"sh", "-c", "promtool check metrics <" + file}, logs.File("lint"));
    EXPECT_EQ(lint.WaitForExit(20000), 0) << ReadBytes(logs.File("lint"));
    const std::string port = std::to_string(FreeLoopbackPort());
    ChildProcess exporter({"prometheus-node-exporter", "--web.listen-address=127.0.0.1:" + port,
                           "--collector.disable-defaults", "--collector.textfile",
                           "--collector.textfile.directory=" + scrape.path()});
    ASSERT_TRUE(WaitForPort("127.0.0.1", std::stoi(port)));
    ChildProcess curl({"curl", "-sfo", logs.File("got"), "http://127.0.0.1:" + port + "/metrics"});
    ASSERT_EQ(curl.WaitForExit(20000), 0);
    std::map<std::string, double> got;
    std::istringstream lines(ReadBytes(logs.File("got")));
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with('#'))
            got[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ')));
    const double now = static_cast<double>(std::time(nullptr));
    for (const auto& [series, least, most] : std::vector<std::tuple<std::string, double, double>>{
             {"node_textfile_scrape_error", 0, 0},
             {"veltrane_heartbeat_timestamp_seconds", started, now},
             {"veltrane_last_success_timestamp_seconds" + good, started - 1, now},
             {"veltrane_last_success_timestamp_seconds" + failed, -1, -1}, // none is made up
             {"veltrane_last_dump_bytes" + good, 1, 1e6},
             {"veltrane_last_run_success" + good, 1, 1}, // the export, told apart
             {"veltrane_last_run_step_success" + compress, 0, 0},
             {"veltrane_consecutive_failures" + failed, 1, 6},
             {"veltrane_next_run_timestamp_seconds" + good, now, now + 7200}})
        EXPECT_TRUE(got.contains(series) ? got[series] >= least && got[series] <= most : least < 0)
            << series << " " << got[series];
}

TEST(Metrics, FollowTheClockAndSayOnceThatTheyCannotBeWritten)
{
    TempDir data;
    ManualClock clock;
    Lines lines;
    ScheduleService service(lines, clock, data.path());
    WriteBytes(data.File("Veltrane.ini"), "[Veltrane]\nMetricsFile=later/m.prom\n");
    service.LoadSettings();
    service.SetTable({Item(3, "A\\B\n\"C", "exp"), Item(4, "OLD", "exp")});
    service.Table()[0]->strBackUpType = kKindDaily; // at 00:59: not due now, and never ran
    service.Table()[1]->bEnabled = false;
    service.Table()[1]->history.lastRunTime = "2026-12-06 03:00:00";
    service.Table()[1]->strTime = "25:61:00"; // a schedule that can never run
    for (const std::string time :
         {"09:00:10", "09:00:50", "09:01:00", "mkdir", "09:01:30", "09:02:00"}) {
        if (time == "mkdir")
            std::filesystem::create_directory(data.File("later"));
        else
            clock.Set("2026-12-07 " + time);
        service.Tick();
    }
    EXPECT_TRUE(std::regex_match(lines.text,
                                 std::regex("\\[2026-12-07 09:00:10\\] 메트릭 파일 쓰기 실패: .*\n"
                                            "\\[2026-12-07 09:02:00\\] 메트릭 파일 다시 씀: " +
                                            data.File("later/m.prom") + "\n")))
        << lines.text;
    const std::string text = ReadBytes(data.File("later/m.prom"));
    const std::string label = "{item=\"3\",service=\"A\\\\B\\n\\\"C\",user=\"SCOTT\"} ";
    const std::string old = "{item=\"4\",service=\"OLD\",user=\"SCOTT\"} ";
    for (const auto& [sample, present] :
         std::map<std::string, bool>{{"veltrane_enabled" + label + "1\n", true},
                                     {"veltrane_last_run_success" + label, false},
                                     {"veltrane_last_run_success" + old + "0\n", true},
                                     {"veltrane_next_run_timestamp_seconds" + old, false},
                                     {"veltrane_schedule_valid" + label + "1\n", true},
                                     {"veltrane_schedule_valid" + old + "0\n", true}})
        EXPECT_EQ(text.find(sample) != std::string::npos, present) << sample << "\n" << text;
}

// With nothing changed the minute's write is skipped, but never for so long
// that the heartbeat goes stale; a change is written at once.
TEST(Metrics, AnUnchangedTableIsRewrittenForItsHeartbeatOnly)
{
    TempDir data;
    ManualClock clock;
    Lines lines;
    ScheduleService service(lines, clock, data.path());
    // Late 2 h 4 min 12 s after a due time.
    WriteBytes(data.File("Veltrane.ini"), "[Veltrane]\nOverdueAlertHours=2.07\n");
    service.LoadSettings();
    service.SetTable({Item(3, "ORCL", "exp"), Item(5, "LATE", "exp")});
    service.Table()[0]->strBackUpType = kKindDaily; // not due at these times
    // Ran today and failed: late at 09:04:13, when only the clock moved.
    ScheduleRecord& late = *service.Table()[1];
    late.strBackUpType = kKindDaily;
    late.strTime = "07:04:00";
    late.strLastBackUpTime = late.history.lastRunTime = "2026-12-07 07:04:00";
    late.history.lastSuccessTime = "2026-12-06 07:04:00";
    const auto heartbeat = [&] {
        const std::string text = ReadBytes(data.File("Veltrane.prom"));
        return text.substr(text.rfind('\n', text.size() - 2) + 1);
    };
    std::string last;
    for (const auto& [time, disable, written] :
         std::vector<std::tuple<const char*, bool, bool>>{{"09:00:10", false, true},
                                                          {"09:01:10", false, false},
                                                          {"09:02:59", false, false},
                                                          {"09:03:00", false, true},
                                                          {"09:03:30", true, true},
                                                          {"09:04:00", false, false},
                                                          {"09:05:00", false, true}}) {
        clock.Set(std::string("2026-12-07 ") + time);
        if (disable)
            service.SetItemsEnabled(3, false);
        else
            service.Tick();
        EXPECT_EQ(heartbeat() != last, written) << time;
        last = heartbeat();
    }
    for (const char* sample : {"veltrane_enabled{item=\"3\",service=\"ORCL\",user=\"SCOTT\"} 0\n",
                               "veltrane_overdue{item=\"5\",service=\"LATE\",user=\"SCOTT\"} 1\n"})
        EXPECT_NE(ReadBytes(data.File("Veltrane.prom")).find(sample), std::string::npos) << sample;
}

// MetricsFile comes from a file the service's group may edit: outside the
// data folder only a *.prom file in a folder closed to others is written.
TEST(Metrics, OutsideTheDataFolderOnlyAClosedFoldersPromFileIsWritten)
{
    TempDir data, elsewhere;
    for (const auto& [folder, mode] :
         {std::pair{"closed", 0755u}, {"open", 0777u}, {"group", 0775u}}) {
        std::filesystem::create_directory(elsewhere.File(folder));
        chmod(elsewhere.File(folder).c_str(), mode);
    }
    std::filesystem::remove(data.File("../escape.prom")); // in /tmp, open to all
    for (const auto& [target, written] :
         std::vector<std::pair<std::string, bool>>{{"m.prom", true},
                                                   {elsewhere.File("closed/m.prom"), true},
                                                   {elsewhere.File("closed/victim"), false},
                                                   {elsewhere.File("open/m.prom"), false},
                                                   {elsewhere.File("group/m.prom"), false},
                                                   {"../escape.prom", false}}) {
        ManualClock clock;
        Lines lines;
        ScheduleService service(lines, clock, data.path());
        WriteBytes(data.File("Veltrane.ini"), "[Veltrane]\nMetricsFile=" + target + "\n");
        service.LoadSettings();
        service.Tick();
        EXPECT_EQ(FileExists(target.starts_with('/') ? target : data.File(target)), written)
            << target << "\n"
            << lines.text;
    }
}
