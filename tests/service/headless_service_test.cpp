// The headless service as a real process: no display, its lines on standard
// output, the same lock as the window, SIGHUP and SIGTERM.

#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

using namespace veltrane;
using test::ChildProcess;
using test::ReadBytes;
using test::TempDir;

namespace {

const std::string kProgram = std::string(VELTRANE_PROGRAM_DIR) + "/veltrane";

// An item that is due at once and stays done for an hour: hourly at minute 59.
std::shared_ptr<ScheduleRecord> DueItem(const std::string& service, const TempDir& backups)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->bEnabled = true;
    r->strBackUpType = kKindHourly;
    r->strTime = "00:59:00";
    r->strServiceName = service;
    r->strID = "SCOTT";
    r->strPWD = "tiger";
    r->strBackUpFolder = backups.path() + "/";
    r->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    return r;
}

void WriteSchedule(const std::string& path, const ScheduleTable& table)
{
    std::string error;
    ASSERT_TRUE(SaveSchedule(path, table, error)) << error;
}

// Waits up to 20 s for `text` in the file at `path`.
bool WaitForText(const std::string& path, const std::string& text)
{
    for (int i = 0; i < 400; ++i) {
        if (test::FileExists(path) && ReadBytes(path).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace

TEST(HeadlessService, RunsTheScheduleWithoutADisplayAndAnswersItsSignals)
{
    TempDir data, backups, logs;
    WriteSchedule(data.File("Schedule.dat"), {DueItem("ORCL", backups)});
    // Nothing of a desktop: the service must not need one.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    setenv("FAKE_EXP_MODE", "english", 1);
    const std::string out = logs.File("service.out");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, out);

    ASSERT_TRUE(WaitForText(out, "서비스 시작: " + data.path() + " (항목 1개)")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "] [ORCL] BackUp...\n")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "] Ready.\n")) << ReadBytes(out);
    ScheduleTable saved;
    LoadSchedule(data.File("Schedule.dat"), saved);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_FALSE(saved[0]->strLastBackUpTime.empty()); // the run succeeded and saved

    // A window (which then shows why in a box), or a second service, on the
    // same folder is refused.
    ChildProcess window({kProgram, "--folder", data.path()}, logs.File("window.out"),
                        {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_TRUE(WaitForText(logs.File("window.out"), "already running"));
    ChildProcess second({kProgram, "--service", "--folder", data.path()}, logs.File("second.out"));
    const int secondStatus = second.WaitForExit(20000);
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 1);

    // SIGHUP reads the edited file: the new item runs, the old one is not due.
    auto old = DueItem("ORCL", backups);
    old->strLastBackUpTime = "2099-01-01 00:00:00";
    WriteSchedule(data.File("Schedule.dat"), {old, DueItem("HRDB", backups)});
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitForText(out, "Schedule.dat 다시 읽음 (항목 2개)")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "] [HRDB] BackUp...\n")) << ReadBytes(out);

    service.Signal(SIGTERM);
    const int status = service.WaitForExit(20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(ReadBytes(out).find("Veltrane 서비스 종료 (SIGTERM)\n"), std::string::npos);
    // The lines are in the history too.
    EXPECT_NE(ReadBytes(data.File("Veltrane.log")).find("Veltrane 1.0.70"), std::string::npos);
}
