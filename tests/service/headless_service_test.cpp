// The headless service as a real process: no display, its lines on standard
// output, the same lock as the window, SIGHUP and SIGTERM.

#include "platform/codepage.h"
#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

using namespace veltrane;
using test::ChildProcess;
using test::Eventually;
using test::ReadBytes;
using test::TempDir;
using test::WaitForText;

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
    // No core file can take the passwords the service holds.
    EXPECT_TRUE(std::regex_search(ReadBytes("/proc/" + std::to_string(service.pid()) + "/limits"),
                                  std::regex("Max core file size +0 +0 ")));
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
    // Nor is an empty file (a copy that failed on a full disk) while items
    // are in use.
    test::WriteBytes(data.File("Schedule.dat"), "");
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitForText(out, "Schedule.dat 다시 읽기 실패, 항목 1개를 그대로 씁니다: \"" +
                                     data.File("Schedule.dat") + "\" holds no item\n"))
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
    // export succeeds and the service is killed while it compresses, before
    // it uploads (to a port nobody listens on).
    item->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    item->bDataCompress = item->bDataTransfer = true;
    item->strFtpServer = "127.0.0.1:1";
    WriteSchedule(data.File("Schedule.dat"), {item});
    setenv("FAKE_RAR_MODE", "hang", 1);
    {
        ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("2.out"));
        ASSERT_TRUE(WaitForText(logs.File("2.out"), "ORCL 중단된 백업 정리"))
            << ReadBytes(logs.File("2.out"));
        ASSERT_TRUE(WaitForText(logs.File("rar.pid"), "\n")) << ReadBytes(logs.File("2.out"));
        service.Signal(SIGKILL);
        service.WaitForExit(20000);
        // The archiver dies with the program, whatever killed it.
        EXPECT_TRUE(ProcessGone(logs.File("rar.pid"))) << "the archiver outlived the program";
    }
    unsetenv("FAKE_RAR_MODE");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("3.out"));
    ASSERT_TRUE(WaitForText(logs.File("3.out"), "ORCL 이전 실행의 남은 단계를 마칩니다"))
        << ReadBytes(logs.File("3.out"));
    ASSERT_TRUE(WaitForText(logs.File("3.out"), "] Ready.\n"));
    // The steps done now count for the run, in its item's history.
    EXPECT_TRUE(WaitForText(data.File("Veltrane.state"),
                            "\tcompress,transfer\ttransfer\tData FTP 전송 실패"));
    std::vector<std::string> archives;
    for (const auto& entry : std::filesystem::directory_iterator(backups.File("ORCL")))
        if (entry.path().extension() == ".rar")
            archives.push_back(entry.path().filename().string());
    EXPECT_EQ(archives.size(), 1u);
}

// A kill -9 the moment after a good export: the export dies with the program,
// what it left running is stopped at the next start before anything else,
// and the backup is recorded and finished there: never deleted, never
// exported again.
TEST(HeadlessService, AKillAfterAGoodExportCostsNoBackup)
{
    TempDir data, backups, logs;
    std::filesystem::create_symlink(std::string(JOB_TEST_DATA_DIR) + "/fake_rar.py",
                                    data.File("rar"));
    auto item = DueItem("ORCL", backups);
    item->bDataCompress = true;
    WriteSchedule(data.File("Schedule.dat"), {item});
    setenv("FAKE_EXP_MODE", "english", 1);
    setenv("FAKE_EXP_LINGER", logs.File("helper.pid").c_str(), 1);
    const auto files = [&](const std::string& extension) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(backups.File("ORCL")))
            if (entry.path().extension() == extension)
                found.push_back(entry.path());
        return found;
    };
    {
        ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("1.out"));
        ASSERT_TRUE(WaitForText(logs.File("helper.pid"), "\n")) << ReadBytes(logs.File("1.out"));
        // The log follows the output while the export still runs.
        ASSERT_EQ(files(".LOG").size(), 1u);
        ASSERT_TRUE(WaitForText(files(".LOG")[0], "Export terminated successfully"));
        service.Signal(SIGKILL);
        service.WaitForExit(20000);
    }
    unsetenv("FAKE_EXP_LINGER");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("2.out"));
    ASSERT_TRUE(WaitForText(logs.File("2.out"), "이전 실행이 남긴 프로세스를 중지했습니다"))
        << ReadBytes(logs.File("2.out"));
    EXPECT_TRUE(ProcessGone(logs.File("helper.pid")));
    ASSERT_TRUE(WaitForText(logs.File("2.out"), "ORCL 이전 실행의 엑스포트가 성공해 있습니다"));
    ASSERT_TRUE(WaitForText(logs.File("2.out"), "] Ready.\n")) << ReadBytes(logs.File("2.out"));
    EXPECT_EQ(files(".DMP").size(), 1u);
    EXPECT_EQ(files(".rar").size(), 1u);
    const Result<ScheduleTable> saved = LoadSchedule(data.File("Schedule.dat"));
    ASSERT_TRUE(saved);
    EXPECT_FALSE((*saved)[0]->strLastBackUpTime.empty());
    EXPECT_EQ(ReadBytes(logs.File("2.out")).find("엑스포트 시작"), std::string::npos);
}

namespace {

// Nothing of a desktop: a QApplication would abort the program here.
void NoDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        unsetenv(name);
}

// Runs the program with `args` to its end, its output in `out`: its exit
// status, 128 + the signal that ended it.
int RunProgram(std::vector<std::string> args, const std::string& out)
{
    args.insert(args.begin(), kProgram);
    std::filesystem::remove(out);
    return ChildProcess(args, out).ExitCode(60000);
}

struct CommandCase
{
    std::vector<std::string> args;
    int status;
    std::vector<std::string> texts; // in its output
};

void RunCases(const std::vector<CommandCase>& cases, const TempDir& data, const TempDir& logs)
{
    for (const CommandCase& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--folder", data.path()});
        const std::string out = logs.File("command.out");
        EXPECT_EQ(RunProgram(args, out), c.status) << c.args[0] << "\n" << ReadBytes(out);
        for (const std::string& text : c.texts)
            EXPECT_NE(ReadBytes(out).find(text), std::string::npos) << c.args[0] << ": " << text;
    }
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

// The commands beside a running service and after it, none of them with Qt:
// where a QApplication would start, this environment aborts the program.
TEST(HeadlessCommands, StatusAndRunItemTellTheTruthWithoutQt)
{
    NoDisplay();
    TempDir data, backups, logs;
    const std::string failing = logs.File("failing_exp"); // a refused login
    test::WriteBytes(failing, "#!/bin/sh\nFAKE_EXP_MODE=error exec " JOB_TEST_DATA_DIR
                              "/fake_exp.py \"$@\"\n");
    std::filesystem::permissions(failing, std::filesystem::perms::owner_all);
    auto bad = DueItem("HRDB", backups);
    bad->strProgramPath = failing;
    WriteSchedule(data.File("Schedule.dat"), {DueItem("ORCL", backups), bad});
    ASSERT_EQ(RunProgram({"--folder", data.path()}, logs.File("window.out")), 128 + SIGABRT);

    const std::string out = logs.File("service.out");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, out);
    ASSERT_TRUE(WaitForText(out, "ORCL 백업 성공")) << ReadBytes(out);
    ASSERT_TRUE(WaitForText(out, "HRDB 백업 실패: ORA-01017")) << ReadBytes(out);
    RunCases(
        {{{"--status"}, 1, {"ORCL", "HRDB", "성공", "실패", "ORA-01017", "SCOTT_", " 바이트 "}},
         {{"--run-item", "1"}, 2, {"항목 1 실행 안 함", "already running"}},
         {{"--stauts"}, 2, {"unknown option \"--stauts\""}},
         {{"--status", "-platform", "xcb"}, 2, {"is an option of the window"}}},
        data, logs);
    ASSERT_EQ(RunProgram({"--status", "--json", "--folder", data.path()}, logs.File("status.json")),
              1);
    const char* check = R"(
import json, re, sys
d = json.load(open(sys.argv[1]))
iso = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
keys = {"number", "service", "user", "enabled", "schedule", "next_run", "last_run",
        "last_run_succeeded", "last_run_seconds", "last_cause", "last_run_steps",
        "last_run_steps_cause", "schedule_problem", "last_success", "last_success_dump",
        "last_success_bytes", "consecutive_failures", "overdue", "overdue_since", "healthy",
        "running", "run_started", "run_stage", "last_log"}
good, bad = d["items"]
assert d["healthy"] is False and set(good) == keys and set(bad) == keys, d
assert (good["number"], good["service"], good["user"]) == (1, "ORCL", "SCOTT"), good
assert good["last_run_succeeded"] and good["healthy"] and good["last_success_bytes"] > 0, good
assert all(iso.match(good[k]) for k in ("next_run", "last_run", "last_success")), good
assert good["last_success_dump"].startswith("SCOTT_") and good["overdue"] is False, good
assert bad["last_run_succeeded"] is False and bad["consecutive_failures"] >= 1, bad
assert "ORA-01017" in bad["last_cause"] and bad["last_success"] is None, bad
assert bad["last_log"].endswith(".LOG") and bad["running"] is False, bad
assert good["last_run_steps"] == {} and bad["last_run_steps"] is None, d
)";
    ChildProcess python({"python3", "-c", check, logs.File("status.json")}, logs.File("py.out"));
    EXPECT_EQ(python.WaitForExit(20000), 0) << ReadBytes(logs.File("py.out"));

    // After the service: the histories outlive it, and a run of one item
    // ends by its verdict, a later step's failure included (no archiver).
    service.Signal(SIGTERM);
    ASSERT_EQ(service.WaitForExit(20000), 0);
    auto compressed = DueItem("ARCH", backups);
    compressed->bDataCompress = true;
    WriteSchedule(data.File("Schedule.dat"), {DueItem("ORCL", backups), bad, compressed});
    RunCases({{{"--status"}, 1, {"ORCL", "HRDB", "ORA-01017"}},
              {{"--run-item", "1"}, 0, {"] [ORCL] BackUp...\n", "항목 1 실행 결과: 성공\n"}},
              {{"--run-item=2"}, 1, {"HRDB 백업 실패", "항목 2 실행 결과: 실패 (엑스포트)"}},
              {{"--run-item", "3"}, 1, {"ARCH 백업 성공", "항목 3 실행 결과: 실패 (압축)"}},
              {{"--run-item", "4"}, 2, {"Schedule.dat에 없습니다"}}},
             data, logs);
    // The export of item 3 succeeded, its archive did not: no full success.
    RunCases({{{"--status"}, 1, {"성공 (압축 실패)", "압축 실패: File or command not found"}}},
             data, logs);
    ASSERT_EQ(RunProgram({"--status", "--json", "--folder", data.path()}, logs.File("status.json")),
              1);
    ChildProcess arch({"python3", "-c",
                       "import json, sys\na = json.load(open(sys.argv[1]))['items'][2]\n"
                       "assert a['last_run_steps'] == {'compress': False} and not a['healthy'], a\n"
                       "assert a['last_run_steps_cause'].startswith('압축 실패'), a",
                       logs.File("status.json")},
                      logs.File("py.out"));
    EXPECT_EQ(arch.WaitForExit(20000), 0) << ReadBytes(logs.File("py.out"));
    EXPECT_NE(ReadBytes(data.File("Veltrane.log")).find(cp949::FromUtf8("항목 1 실행 결과: 성공")),
              std::string::npos);
}

TEST(HeadlessCommands, CheckFindsWhatWouldFailAndWritesNothing)
{
    NoDisplay();
    TempDir data, backups, logs;
    const auto listing = [&] {
        std::string files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(data.path()))
            files += entry.path().string() + " " +
                     std::to_string(entry.last_write_time().time_since_epoch().count()) + "\n";
        return files;
    };
    // One item per fault, and what --check says of it.
    const std::vector<std::pair<std::function<void(ScheduleRecord&)>, std::string>> faults = {
        {[&](ScheduleRecord& r) { r.strProgramPath = data.File("no_exp"); },
         "엑스포트 유틸리티를 실행할 수 없습니다: " + data.File("no_exp")},
        {[&](ScheduleRecord& r) { r.strBackUpFolder = backups.File("gone/"); },
         "백업 폴더를 만들 수 없습니다: " + backups.File("gone/")},
        {[](ScheduleRecord& r) { r.bDataCompress = true; }, "압축 프로그램을 실행할 수 없습니다"},
        {[](ScheduleRecord& r) { r.bDataTransfer = true, r.strFtpServer = "ftp.example:x"; },
         "FTP 서버를 읽을 수 없습니다"},
        {[](ScheduleRecord& r) { r.strMailReceiveList = "dba"; }, "메일 주소가 아닌 수신자"},
        {[](ScheduleRecord& r) { r.strTime = "25:61:00"; },
         "일정대로 실행되지 않습니다: 읽을 수 없는 시각입니다: \"25:61:00\""},
        {[](ScheduleRecord& r) { r.strTables = "EMP) FILE=x ("; },
         "Tables 목록에 테이블 이름이 아닌 항목"},
        // A Data Pump item (its utilities present) whose option would
        // switch it to the original export's ways.
        {[&](ScheduleRecord& r) {
             r.strProgramPath = data.File("expdp"), r.strExecutionOption = "Log=x";
         },
         "Export Option의 Log은(는) 원래 엑스포트의 키워드입니다"},
    };
    for (const char* client : {"expdp", "impdp"})
        std::filesystem::copy_file("/bin/true", data.File(client));
    auto off = DueItem("OFF", backups); // disabled: not checked
    off->bEnabled = false;
    off->strProgramPath = "nowhere";
    ScheduleTable table{DueItem("ORCL", backups), off};
    WriteSchedule(data.File("Schedule.dat"), table);
    const std::string before = listing();
    RunCases({{{"--check"}, 0, {"문제 없음\n"}}}, data, logs);
    EXPECT_EQ(listing(), before); // no Veltrane.ini, no lock, nothing
    for (const auto& [fault, finding] : faults) {
        table.push_back(DueItem("DB" + std::to_string(table.size() + 1), backups));
        fault(*table.back());
    }
    WriteSchedule(data.File("Schedule.dat"), table);
    const std::string schedule = listing();
    std::vector<std::string> findings{"문제 " + std::to_string(faults.size()) + "건\n"};
    for (std::size_t i = 0; i < faults.size(); ++i)
        findings.push_back("항목 " + std::to_string(i + 3) + " (DB" + std::to_string(i + 3) +
                           ", SCOTT): " + faults[i].second);
    RunCases({{{"--check"}, 1, findings}}, data, logs);
    EXPECT_EQ(listing(), schedule);
    // None of them ran: the one that never can is what makes --status fail.
    RunCases({{{"--status"}, 1, {"일정 오류: 읽을 수 없는 시각입니다", "일정 오류 1개"}}}, data,
             logs);
}

// The mail verdicts of --check are the mail library's, as a run's are: a
// recipient domain with a null MX, and the sender "<@>" of empty SMTP fields.
TEST(HeadlessCommands, CheckJudgesTheMailAsTheRunsDo)
{
    NoDisplay();
    std::string error;
    ASSERT_TRUE(test::EnterPrivateNetwork(error)) << error;
    TempDir data, backups, logs;
    test::WriteBytes(logs.File("resolv.conf"), "nameserver 127.0.0.1\n");
    ASSERT_TRUE(test::BindMountFile(logs.File("resolv.conf"), "/etc/resolv.conf", error)) << error;
    ChildProcess dns({"/usr/sbin/dnsmasq", "-d", "-R", "-h", "-C/dev/null", "-a127.0.0.1", "-z",
                      "-uroot", "-mnomail.example.org,.", "-mexample.org,mail.example.org",
                      "--host-record=mail.example.org,127.0.0.1"},
                     logs.File("dns.log"));
    ASSERT_TRUE(test::WaitForPort("127.0.0.1", 53)) << ReadBytes(logs.File("dns.log"));
    ScheduleTable table;
    for (const char* to : {"ops@example.org", "x@nomail.example.org", "ops@example.org"}) {
        table.push_back(DueItem("DB" + std::to_string(table.size() + 1), backups));
        table.back()->strMailReceiveList = to;
        table.back()->strSmtpUserID = table.size() < 3 ? "backup" : "";
        table.back()->strSmtpServer = table.size() < 3 ? "mail.example.org" : "";
    }
    WriteSchedule(data.File("Schedule.dat"), table);
    const std::string cannot = ", SCOTT): 메일을 보낼 수 없습니다: ";
    RunCases(
        {{{"--check"},
          1,
          {"문제 2건\n", "(DB2" + cannot + "x@nomail.example.org: nomail.example.org takes no mail",
           "(DB3" + cannot + "sender Veltrane <@>: sender address \"@\" lacks a user"}}},
        data, logs);
    umount2("/etc/resolv.conf", MNT_DETACH);
}

// A reader that takes nothing (a stalled journal) costs lines, counted and
// said once it reads again, never a run; SIGHUP storms cost no line of
// Veltrane.log.
TEST(HeadlessService, AStalledReaderCostsLinesNeverTheSchedule)
{
    TempDir data, backups;
    WriteSchedule(data.File("Schedule.dat"), {DueItem("ORCL", backups)});
    const std::string fifo = data.File("stdout");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GT(fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    while (write(filler, "\n", 1) == 1) {
    }
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, fifo);
    const std::string log = data.File("Veltrane.log");
    const auto logged = [&](const std::string& text) {
        return WaitForText(log, cp949::FromUtf8(text));
    };
    ASSERT_TRUE(logged("ORCL 백업 성공"));
    const std::string reloaded = "] Schedule.dat " + cp949::FromUtf8("다시 읽음");
    for (int i = 0; i < 400 && Count(ReadBytes(log), reloaded) < 1500; ++i)
        for (int k = 0; k < 50; ++k) {
            service.Signal(SIGHUP);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    // With nobody reading, a new item still runs (copied in as an operator
    // does: a whole file renamed into place).
    WriteSchedule(data.File("new.dat"), {DueItem("ORCL", backups), DueItem("HRDB", backups)});
    std::filesystem::rename(data.File("new.dat"), data.File("Schedule.dat"));
    service.Signal(SIGHUP);
    ASSERT_TRUE(logged("HRDB 백업 성공"));

    std::string out;
    std::size_t dropped = 0;
    const std::string notice = "줄을 버렸습니다\n";
    ASSERT_TRUE(Eventually([&] {
        char buffer[65536];
        for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
            out.append(buffer, n);
        return out.find(notice) != std::string::npos;
    }));
    for (std::size_t at = out.find("] 출력 "); at != std::string::npos;
         at = out.find("] 출력 ", at + 1))
        dropped += std::stoul(out.substr(at + 9));
    EXPECT_EQ(Count(out, notice), 1u);
    // Every reload line is on standard output or counted, give or take the
    // few lines of the last run that went with them.
    const std::size_t written = Count(out, "] Schedule.dat 다시 읽음");
    const std::size_t kept = Count(ReadBytes(log), reloaded);
    EXPECT_GE(written + dropped, kept);
    EXPECT_LE(written + dropped, kept + 10);
    EXPECT_GT(dropped, 0u);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.WaitForExit(20000), 0);
    close(reader);
    close(filler);
}

// Under systemd (Type=notify, WatchdogSec=) the service says it is ready and
// keeps the watchdog fed, also while an export is silent for seconds.
TEST(HeadlessService, TellsTheServiceManagerItIsReadyAndAlive)
{
    TempDir data, backups;
    WriteSchedule(data.File("Schedule.dat"), {DueItem("ORCL", backups)});
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = data.File("notify");
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::string out = data.File("service.out");
    test::WriteBytes(out, "");
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, out,
                         {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=2000000", "FAKE_EXP_SILENCE=4"});
    std::vector<std::string> messages; // with what standard output said by then
    for (int i = 0; i < 60 && ReadBytes(out).find("ORCL 백업 성공") == std::string::npos; ++i) {
        char buffer[256];
        if (const ssize_t n = recv(socket, buffer, sizeof buffer, 0); n > 0)
            messages.push_back(std::string(buffer, n) + "|" + ReadBytes(out));
    }
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.front().starts_with("READY=1\nSTATUS=항목 1개|")) << messages.front();
    std::size_t duringExport = 0;
    for (const std::string& m : messages)
        duringExport += m.starts_with("WATCHDOG=1|") && m.find("엑스포트 시작") != m.npos &&
                        m.find("백업 성공") == m.npos;
    EXPECT_GE(duringExport, 2u);
    close(socket);
}

// A wrong password, with a backlog of three items that the database refuses:
// each login is tried once per due time, across a reload and a restart, and a
// reload takes effect between two runs of the backlog. The database's cause,
// escape sequences and all, reaches no output raw.
TEST(HeadlessService, ARefusedLoginIsTriedOncePerDueTimeAcrossReloadsAndRestarts)
{
    NoDisplay();
    TempDir data, backups, logs;
    const std::string refused = logs.File("refused_exp");
    test::WriteBytes(refused,
                     "#!/bin/sh\nFAKE_EXP_MODE=error FAKE_EXP_SILENCE=1 exec " JOB_TEST_DATA_DIR
                     "/fake_exp.py \"$@\"\n");
    std::filesystem::permissions(refused, std::filesystem::perms::owner_all);
    setenv("FAKE_EXP_MODE", "english", 1);
    setenv("FAKE_EXP_ERROR",
           "ORA-01017: invalid username/password; logon denied\x1b[2J\x1b]0;x\a\n", 1);
    setenv("FAKE_EXP_LOGONS", logs.File("logons").c_str(), 1);
    ScheduleTable items;
    for (const char* name : {"A", "B", "C"}) {
        items.push_back(DueItem(name, backups));
        items.back()->strProgramPath = refused;
    }
    WriteSchedule(data.File("Schedule.dat"), items);
    const std::string out = logs.File("service.out");
    {
        ChildProcess service({kProgram, "--service", "--folder", data.path()}, out);
        ASSERT_TRUE(WaitForText(out, "] [A] 엑스포트 시작")) << ReadBytes(out);
        service.Signal(SIGHUP);
        ASSERT_TRUE(WaitForText(out, "C 로그인 거부")) << ReadBytes(out);
        const std::string text = ReadBytes(out);
        EXPECT_LT(text.find("다시 읽음"), text.find("] [B] 엑스포트 시작")) << text;
        service.Signal(SIGTERM);
        ASSERT_EQ(service.WaitForExit(20000), 0);
    }
    // Started anew, then read anew with an item that logs in: only that one runs.
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("again.out"));
    ASSERT_TRUE(WaitForText(logs.File("again.out"), "서비스 시작")) << ReadBytes(out);
    items.push_back(DueItem("GOOD", backups));
    WriteSchedule(data.File("Schedule.dat"), items);
    service.Signal(SIGHUP);
    ASSERT_TRUE(WaitForText(logs.File("again.out"), "GOOD 백업 성공"))
        << ReadBytes(logs.File("again.out"));
    EXPECT_EQ(ReadBytes(logs.File("logons")),
              "SCOTT/tiger@A\nSCOTT/tiger@B\nSCOTT/tiger@C\nSCOTT/tiger@GOOD\n");
    RunCases({{{"--status"}, 1, {"logon denied\\u001b[2J\\u001b]0;x\\u0007"}}}, data, logs);
    for (const std::string& file : {out, data.File("Veltrane.log"), logs.File("command.out")})
        EXPECT_EQ(ReadBytes(file).find('\x1b'), std::string::npos) << file;
    // The logons file goes with this test's folder: a later test's export
    // must not try to write it.
    unsetenv("FAKE_EXP_ERROR");
    unsetenv("FAKE_EXP_LOGONS");
}
