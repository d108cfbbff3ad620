// The headless service as a real process: no display, its lines on standard
// output, the same lock as the window, SIGHUP and SIGTERM.

#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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
    ASSERT_TRUE(SaveSchedule(path, table).ok());
}

// Polls for up to 20 s until `condition` holds.
bool Eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 400; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Waits up to 20 s for `text` in the file at `path`.
bool WaitForText(const std::string& path, const std::string& text)
{
    return Eventually(
        [&] { return test::FileExists(path) && ReadBytes(path).find(text) != std::string::npos; });
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
    ASSERT_TRUE(WaitForText(out, "] [ORCL] 엑스포트 시작 (SCOTT)\n")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "] [ORCL] BackUp...\n")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "] Ready.\n")) << ReadBytes(out);
    const Result<ScheduleTable> saved = LoadSchedule(data.File("Schedule.dat"));
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->size(), 1u);
    EXPECT_FALSE((*saved)[0]->strLastBackUpTime.empty()); // the run succeeded and saved

    // A window (which then shows why in a box), or a second service, on the
    // same folder is refused.
    ChildProcess window({kProgram, "--folder", data.path()}, logs.File("window.out"),
                        {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_TRUE(WaitForText(logs.File("window.out"), "already running"));
    ChildProcess second({kProgram, "--service", "--folder", data.path()}, logs.File("second.out"));
    const int secondStatus = second.WaitForExit(20000);
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 1);

    // A file that cannot be read is never taken for an empty schedule: a
    // reload keeps the table, and a start is refused.
    test::WriteBytes(data.File("Schedule.dat"), "no schedule here\n");
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitForText(out, "Schedule.dat 다시 읽기 실패, 항목 1개를 그대로 씁니다: \"" +
                                     data.File("Schedule.dat") + "\" holds no item"))
        << ReadBytes(out);
    TempDir other;
    test::WriteBytes(other.File("Schedule.dat"), "no schedule here\n");
    ChildProcess refused({kProgram, "--service", "--folder", other.path()},
                         logs.File("refused.out"));
    const int refusedStatus = refused.WaitForExit(20000);
    EXPECT_TRUE(WIFEXITED(refusedStatus) && WEXITSTATUS(refusedStatus) == 1) << refusedStatus;
    EXPECT_NE(ReadBytes(logs.File("refused.out")).find("Schedule.dat 읽기 실패"),
              std::string::npos);

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

namespace {

// Whether the process whose pid the file holds is gone (or a zombie) within 10 s.
bool ProcessGone(const std::string& pidFile)
{
    const std::string stat = "/proc/" + std::to_string(std::stoi(ReadBytes(pidFile))) + "/stat";
    return Eventually([&] {
        std::ifstream file(stat); // it may vanish at any moment
        std::string line;
        return !std::getline(file, line) || line.find(") Z ") != std::string::npos;
    });
}

} // namespace

// A stop never leaves a run half done: SIGTERM ends the export with the
// service, and the next start deletes its partial dump; a kill after the
// export succeeded leaves the steps it owed to the next start.
TEST(HeadlessService, AStoppedRunEndsItsChildAndTheNextStartFinishesIt)
{
    TempDir data, backups, logs;
    std::filesystem::create_symlink(std::string(JOB_TEST_DATA_DIR) + "/fake_rar.py",
                                    data.File("rar"));
    auto item = DueItem("ORCL", backups);
    item->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/hang_exp.sh";
    WriteSchedule(data.File("Schedule.dat"), {item});
    setenv("HANG_PID_FILE", logs.File("export.pid").c_str(), 1);
    setenv("FAKE_RAR_PID", logs.File("rar.pid").c_str(), 1);
    // The window's program (on Qt's offscreen screen) ends the same way.
    for (const char* mode : {"--service", "--folder"}) {
        SCOPED_TRACE(mode);
        std::filesystem::remove(logs.File("export.pid"));
        std::vector<std::string> argv{kProgram, mode, "--folder", data.path()};
        if (mode == std::string("--folder"))
            argv.erase(argv.begin() + 1);
        ChildProcess program(argv, logs.File("1.out"), {"QT_QPA_PLATFORM=offscreen"});
        ASSERT_TRUE(WaitForText(logs.File("export.pid"), "\n")) << ReadBytes(logs.File("1.out"));
        program.Signal(SIGTERM);
        EXPECT_EQ(program.WaitForExit(20000), 0);
        EXPECT_TRUE(ProcessGone(logs.File("export.pid"))) << "the export outlived the program";
    }

    // The next start: the abandoned dump is cleaned up, and this time the
    // export succeeds and the service is killed while it compresses.
    item->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    item->bDataCompress = true;
    WriteSchedule(data.File("Schedule.dat"), {item});
    setenv("FAKE_RAR_MODE", "hang", 1);
    {
        ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("2.out"));
        ASSERT_TRUE(WaitForText(logs.File("2.out"), "ORCL 중단된 백업 정리"))
            << ReadBytes(logs.File("2.out"));
        ASSERT_TRUE(WaitForText(logs.File("rar.pid"), "\n")) << ReadBytes(logs.File("2.out"));
        service.Signal(SIGKILL);
        service.WaitForExit(20000);
        kill(std::stoi(ReadBytes(logs.File("rar.pid"))), SIGKILL);
    }
    unsetenv("FAKE_RAR_MODE");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("3.out"));
    ASSERT_TRUE(WaitForText(logs.File("3.out"), "ORCL 이전 실행의 남은 단계를 마칩니다"))
        << ReadBytes(logs.File("3.out"));
    ASSERT_TRUE(WaitForText(logs.File("3.out"), "] Ready.\n"));
    std::vector<std::string> archives;
    for (const auto& entry : std::filesystem::directory_iterator(backups.File("ORCL")))
        if (entry.path().extension() == ".rar")
            archives.push_back(entry.path().filename().string());
    EXPECT_EQ(archives.size(), 1u);
}
