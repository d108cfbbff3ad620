// Whole backup runs: a stand-in export utility and archiver run as real child
// processes, the mail goes to a real SMTP server and the uploads to a real FTP
// server, through the real libraries bound by name.

#include "job/backup_run.h"
#include "job/data_pump.h"
#include "job/export_texts.h"
#include "job/run_files.h"
#include "job/run_observer.h"
#include "platform/codepage.h"
#include "platform/private_files.h"
#include "platform/process_tree.h"
#include "report/result_report.h"
#include "service/schedule_service.h"
#include "store/run_state.h"
#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/ftp_item.h"
#include "support/manual_clock.h"
#include "support/net.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace veltrane;
using veltrane::test::ChildProcess;
using veltrane::test::FileExists;
using veltrane::test::Hex;
using veltrane::test::ManualClock;
using veltrane::test::ReadBytes;
using veltrane::test::RecordingHost;
using veltrane::test::TempDir;

namespace {

const std::string kData = VELTRANE_TEST_DATA_DIR;
const std::string kMailerData = MAILER_TEST_DATA_DIR;
const std::string kStamp = "20070305140709";
const std::string kRunTime = "2007-03-05 14:07:09";

void WriteSchedule(const std::string& path, const ScheduleTable& table)
{
    const Status saved = SaveSchedule(path, table);
    ASSERT_TRUE(saved) << saved.error().description;
}

ScheduleTable LoadedSchedule(const std::string& path)
{
    Result<ScheduleTable> loaded = LoadSchedule(path);
    EXPECT_TRUE(loaded) << loaded.error().description;
    return loaded ? std::move(*loaded) : ScheduleTable();
}

std::string Line(const std::string& text)
{
    return "[" + kRunTime + "] " + text;
}

class BackupRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        namespace fs = std::filesystem;
        for (const char* library : {kMailLibraryFile, kFtpLibraryFile})
            fs::create_symlink(std::string(VELTRANE_PROGRAM_DIR) + "/" + library,
                               program.File(library));
        fs::create_symlink(kData + "/fake_rar.py", program.File("rar"));
        setenv("FAKE_EXP_MODE", "english", 1);
        setenv("FAKE_EXP_ARGS", work.File("exp-args").c_str(), 1);

        item = std::make_shared<ScheduleRecord>();
        item->nNo = 1;
        item->bEnabled = true;
        item->strBackUpFolder = backups.path() + "/";
        item->strServiceName = "ORCL";
        item->strID = "SCOTT";
        item->strPWD = "tiger";
        item->strProgramPath = kData + "/fake_exp.py";
        item->strDescription = "야간 백업";
        service.SetTable({item});
    }

    std::string ItemFile(const std::string& extension) const
    {
        return backups.path() + "/ORCL/SCOTT_" + kStamp + extension;
    }

    void Run() { service.RunBackupJob(*item); }

    // The line of a successful export whose files carry `stamp`.
    std::string SuccessLine(const std::string& stamp = kStamp,
                            const std::string& service = "ORCL") const
    {
        const std::string name = "SCOTT_" + stamp + ".DMP";
        const auto bytes = std::filesystem::file_size(backups.File(service + "/" + name));
        return Line(service + " 백업 성공: " + name + " (" + std::to_string(bytes) +
                    " 바이트, 0초)");
    }

    // Veltrane.state owing `steps` of the run of kStamp, and the files that
    // run left; then a start that resumes them.
    void Interrupted(const std::string& steps, const std::string& log, const std::string& dump,
                     const std::string& more = {})
    {
        std::filesystem::create_directories(backups.File("ORCL"));
        test::WriteBytes(ItemFile(".LOG"), cp949::FromUtf8(log));
        test::WriteBytes(ItemFile(".DMP"), dump);
        test::WriteBytes(program.File("Veltrane.state"),
                         "pending\t1\tORCL\tSCOTT\t" + item->strBackUpFolder + "\t" + kRunTime +
                             "\t" + backups.File("ORCL/SCOTT_") + "\t" + kStamp + "\t" + steps +
                             "\n" + more);
    }
    void Resume(const std::shared_ptr<ScheduleRecord>& record)
    {
        host.lines.clear();
        ScheduleService resumed(host, clock, program.path());
        resumed.SetTable({record});
        resumed.Environment().ReportStateFile();
        resumed.ResumeInterruptedRuns();
    }
    std::string Lines() const
    {
        std::string all;
        for (const std::string& line : host.lines)
            all += line + "\n";
        return all;
    }

    TempDir program, backups, work;
    ManualClock clock{kRunTime};
    RecordingHost host;
    ScheduleService service{host, clock, program.path()};
    std::shared_ptr<ScheduleRecord> item;
};

} // namespace

TEST_F(BackupRun, SuccessfulExportWritesItsFilesRecordsTheRunAndMails)
{
    Run();
    EXPECT_TRUE(FileExists(ItemFile(".DMP")));
    EXPECT_EQ(ReadBytes(ItemFile(".LOG")),
              "\nExport: Release 10.2.0.1.0 - Production\n"
              "Export terminated successfully without warnings.\n\r\n");
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);

    const ScheduleTable saved = LoadedSchedule(program.File("Schedule.dat"));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]->strLastBackUpTime, kRunTime);

    // No recipients and no upload: the success line alone.
    EXPECT_EQ(host.lines, std::vector<std::string>{SuccessLine()});
    EXPECT_TRUE(item->history.lastRunSucceeded);
    EXPECT_EQ(item->history.lastSuccessTime, kRunTime);
    EXPECT_EQ(item->history.lastSuccessDump, "SCOTT_" + kStamp + ".DMP");
    EXPECT_EQ(host.panel1, (std::vector<std::string>{"[ORCL] BackUp...", "Ready."}));
    ASSERT_FALSE(host.panel2.empty());
    EXPECT_EQ(host.panel2.front(),
              item->strProgramPath + " SCOTT/****@ORCL File=" + ItemFile(".DMP"));
    for (const auto& shown : host.panel2)
        EXPECT_EQ(shown.find("tiger"), std::string::npos) << shown;
    EXPECT_EQ(ReadBytes(work.File("exp-args")),
              "USERID=SCOTT/tiger@ORCL\nFILE=" + ItemFile(".DMP") + "\n");
    EXPECT_TRUE(host.criticals.empty());
}

// The log holds the output's bytes as the utility wrote them, those that are
// no character of the code page (a lead byte alone) among them.
TEST_F(BackupRun, TheLogKeepsTheOutputAsWritten)
{
    setenv("FAKE_EXP_RAW", "\x81 \xC7\xD1\xB1\xDB \xFE\r\n", 1);
    Run();
    unsetenv("FAKE_EXP_RAW");
    EXPECT_EQ(ReadBytes(ItemFile(".LOG")),
              "\nExport: Release 10.2.0.1.0 - Production\n\x81 \xC7\xD1\xB1\xDB \xFE\r\n"
              "Export terminated successfully without warnings.\n\r\n");
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);
}

TEST_F(BackupRun, OnlyTheExactClosingTextsCountAsSuccess)
{
    const struct
    {
        const char* mode;
        bool success;
    } cases[] = {{"korean", true}, {"english", true}, {"lowercase", false}, {"error", false}};
    for (const auto& c : cases) {
        setenv("FAKE_EXP_MODE", c.mode, 1);
        item->strLastBackUpTime.clear();
        item->nExportFailCount = 0;
        host.lines.clear();
        Run();
        // A refused login ("error") gives up at once; other failures wait to be retried.
        const bool refused = c.mode == std::string("error");
        EXPECT_EQ(item->strLastBackUpTime, c.success || refused ? kRunTime : "") << c.mode;
        EXPECT_EQ(item->nExportFailCount, c.success || refused ? 0 : 1) << c.mode;
        if (!c.success) {
            EXPECT_EQ(host.panel2.back(), "엑스포트중 에러가 발행하여 중단되었습니다.");
            // The line names the item and the utility's last word.
            ASSERT_FALSE(host.lines.empty());
            EXPECT_EQ(host.lines.front(),
                      Line(std::string("ORCL 백업 실패: ") +
                           (refused ? "ORA-01017: invalid username/password; logon denied"
                                    : "export terminated successfully without warnings.")))
                << c.mode;
        }
    }
}

// A failed run is tried again after a growing wait, never at the next tick,
// and the sixth counted failure gives up until the item's next time; the
// count and the owed try outlive a reload and a restart (Veltrane.state).
// Each item counts its own failures. A failed run has no backup to compress.
TEST_F(BackupRun, FailuresAreRetriedAfterAGrowingWaitThenGiveUp)
{
    setenv("FAKE_EXP_MODE", "error", 1);
    setenv("FAKE_EXP_ERROR", "ORA-12541: TNS:no listener\n", 1);
    setenv("FAKE_EXP_LOGONS", work.File("logons").c_str(), 1);
    item->bDataCompress = true;
    item->strBackUpType = kKindHourly; // due all hour, until it ran
    item->strTime = "00:59:00";
    auto other = std::make_shared<ScheduleRecord>(*item);
    other->nNo = 2;
    other->strServiceName = "HRDB";
    other->strBackUpType.clear(); // runs only when asked
    service.SetTable({item, other});
    ASSERT_TRUE(service.SaveScheduleOrReport());
    const auto logons = [&] {
        std::istringstream lines(ReadBytes(work.File("logons")));
        return std::count(std::istream_iterator<std::string>(lines), {}, "SCOTT/tiger@ORCL");
    };
    const std::pair<const char*, int> steps[] = {
        // the time of a tick, the tries by then
        {"14:07:09", 1}, {"14:12:08", 1}, {"14:12:09", 2}, {"14:22:09", 3}, {"14:42:08", 3},
        {"14:42:09", 4}, {"15:22:09", 5}, {"16:22:08", 5}, {"16:22:09", 6}, {"17:30:00", 6}};
    for (const auto& [at, tries] : steps) {
        clock.Set(std::string("2007-03-05 ") + at);
        if (at == std::string("14:42:09")) {
            ASSERT_TRUE(service.LoadSchedule()); // a reload keeps the count
        }
        service.Tick();
        EXPECT_EQ(logons(), tries) << at;
        if (at == std::string("14:22:09")) {
            ASSERT_EQ(service.MarkRunNow(2), 1u);
            service.Tick();
            EXPECT_EQ(service.Table()[1]->nExportFailCount, 1);
            ScheduleService restarted(host, clock, program.path());
            ASSERT_TRUE(restarted.LoadSchedule());
            EXPECT_EQ(restarted.Table()[0]->nExportFailCount, 3);
            EXPECT_EQ(restarted.Table()[0]->strRetryAfter, "2007-03-05 14:42:09");
        }
    }
    const std::string gaveUp =
        "[2007-03-05 16:22:09] ORCL 엑스포트중 에러가 발행하여 중단되었습니다."; // named
    EXPECT_NE(std::find(host.lines.begin(), host.lines.end(), gaveUp), host.lines.end());
    EXPECT_EQ(service.Table()[0]->history.failuresInARow, 6);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(backups.path()))
        EXPECT_TRUE(entry.is_directory() || entry.path().extension() == ".LOG") << entry.path();
    // The give-up is not forgotten by a restart, though Schedule.dat was not saved.
    ScheduleService restarted(host, clock, program.path());
    ASSERT_TRUE(restarted.LoadSchedule());
    EXPECT_EQ(restarted.Table()[0]->strLastBackUpTime, "2007-03-05 16:22:09");
    unsetenv("FAKE_EXP_ERROR");
    unsetenv("FAKE_EXP_LOGONS");
}

// A queued run takes its item when it starts: edited meanwhile, it runs as
// it is then; disabled or deleted meanwhile, it is skipped and says so.
TEST_F(BackupRun, AQueuedRunTakesItsItemWhenItStarts)
{
    setenv("FAKE_EXP_LOGONS", work.File("logons").c_str(), 1);
    ScheduleTable items;
    for (const char* name : {"A", "B", "C", "D"}) {
        items.push_back(std::make_shared<ScheduleRecord>(*item));
        items.back()->nNo = static_cast<std::int32_t>(items.size());
        items.back()->strServiceName = name;
        items.back()->bRunNow = true;
    }
    service.SetTable(items);
    int starts = 0;
    service.OnBetweenRuns([&] {
        if (++starts != 2) // after A's run
            return;
        ItemProperties edited = PropertiesFromRecord(*items[1]);
        edited.strPWD = "lion";
        service.EditItem(items[1], edited);
        service.SetItemsEnabled(3, false);
        service.DeleteItems(4);
    });
    service.Tick();
    unsetenv("FAKE_EXP_LOGONS");
    EXPECT_EQ(ReadBytes(work.File("logons")), "SCOTT/tiger@A\nSCOTT/lion@B\n");
    for (const char* line : {"C 대기 중이던 백업을 건너뜁니다: 사용하지 않는 항목입니다",
                             "D 대기 중이던 백업을 건너뜁니다: 항목이 없습니다"})
        EXPECT_NE(std::find(host.lines.begin(), host.lines.end(), Line(line)), host.lines.end())
            << line;
    EXPECT_FALSE(items[2]->bRunNow);
}

TEST_F(BackupRun, AMissingExportUtilityIsShownAndCountedAsAFailure)
{
    item->strProgramPath = "/nonexistent/bin/exp";
    item->bDataCompress = true;
    std::filesystem::remove(program.File("rar"));
    Run();
    EXPECT_EQ(host.criticals, std::vector<std::string>{"File or command not found"});
    EXPECT_EQ(item->nExportFailCount, 1);
    EXPECT_EQ(ReadBytes(ItemFile(".LOG")), "\r\n");
    // The program that could not be started is named in a result line, which
    // the history keeps too.
    const std::string line =
        Line("ORCL 백업 실패: File or command not found (/nonexistent/bin/exp)");
    const std::string retry = Line("ORCL 다시 시도: 2007-03-05 14:12:09 (5분 뒤, 실패 1회)");
    EXPECT_EQ(host.lines, (std::vector<std::string>{line, retry}));
    EXPECT_EQ(ReadBytes(program.File("Veltrane.log")),
              cp949::FromUtf8(line + "\r\n" + retry + "\r\n"));

    // The archiver, in turn, after a good export.
    item->strProgramPath = kData + "/fake_exp.py";
    host.lines.clear();
    Run();
    EXPECT_EQ(host.lines,
              (std::vector<std::string>{SuccessLine("20070305140710"),
                                        Line("ORCL 압축 실패: File or command not found (" +
                                             program.File("rar") + ")")}));
}

// A run broken off by an error before its export is a failed run too: the
// sixth gives up, so a broken item does not write a line every second.
TEST_F(BackupRun, TheErrorPathCountsTowardGivingUp)
{
    item->strBackUpFolder = backups.File("missing") + "/";
    for (int run = 1; run <= 6; ++run)
        Run();
    EXPECT_EQ(host.lines.size(), 11u); // six causes, five retries
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);
    EXPECT_EQ(item->nExportFailCount, 0);
    EXPECT_EQ(item->history.failuresInARow, 6);
}

TEST_F(BackupRun, ALogThatCannotBeWrittenEndsTheRunThroughTheErrorPath)
{
    // The item folder exists as a file: the folder is not created, and the log
    // cannot be created inside it.
    test::WriteBytes(backups.File("ORCL"), "not a folder");
    Run();
    ASSERT_EQ(host.lines.size(), 2u); // the error, and when it is tried again
    EXPECT_NE(host.lines[0].find("-RunBackupJob-20"), std::string::npos) << host.lines[0];
    EXPECT_EQ(host.panel1.back(), "Ready.");
}

// A hung export is stopped at its time limit with what it started, counts as
// a failed export, and the next due item runs in the same pass.
TEST_F(BackupRun, AHungExportIsStoppedAtItsLimitAndTheNextItemRuns)
{
    ScheduleService scheduler(host, clock, program.path());
    Settings settings;
    settings.exportTimeoutMinutes = 0.05; // 3 seconds
    scheduler.SetSettings(settings);
    setenv("HANG_PID_FILE", work.File("helper.pid").c_str(), 1);
    ScheduleTable items;
    for (const char* service : {"HUNG", "ORCL"}) {
        auto record = std::make_shared<ScheduleRecord>(*item);
        record->strServiceName = service;
        record->bRunNow = true;
        if (service == std::string("HUNG"))
            record->strProgramPath = kData + "/hang_exp.sh";
        items.push_back(record);
    }
    scheduler.SetTable(items);
    scheduler.Tick();

    EXPECT_EQ(host.lines.front(), Line("HUNG 엑스포트 시간 초과 (0.05분)"));
    EXPECT_EQ(scheduler.Table()[0]->nExportFailCount, 1);
    EXPECT_EQ(ReadBytes(backups.File("HUNG/SCOTT_" + kStamp + ".LOG")),
              "Export: Release 10.2.0.1.0 - Production\n\r\n");
    const pid_t helper = std::stoi(ReadBytes(work.File("helper.pid")));
    const std::string stat = "/proc/" + std::to_string(helper) + "/stat";
    EXPECT_TRUE(!FileExists(stat) || ReadBytes(stat).find(") Z ") != std::string::npos)
        << "the export's own child still runs";
    EXPECT_EQ(scheduler.Table()[1]->strLastBackUpTime, kRunTime); // the next item ran
}

TEST_F(BackupRun, TheDumpIsReadBackWhenAskedAndAFailureIsReported)
{
    Settings settings;
    settings.verifyDump = true; // "imp" beside the export utility
    service.SetSettings(settings);
    setenv("FAKE_IMP_ARGS", work.File("imp-args").c_str(), 1);
    setenv("FAKE_IMP_MODE", "ok", 1);
    item->bDataCompress = true;
    Run();
    EXPECT_EQ(host.lines, (std::vector<std::string>{SuccessLine(), Line("ORCL 덤프 검증 성공")}));
    EXPECT_EQ(ReadBytes(work.File("imp-args")),
              "USERID=SCOTT/tiger@ORCL\nFILE=" + ItemFile(".DMP") +
                  "\nFULL=y\nSHOW=y\nLOG=" + ItemFile(".VERIFY.LOG") + "\n");
    EXPECT_NE(std::find(host.panel2.begin(), host.panel2.end(),
                        kData + "/imp SCOTT/****@ORCL File=" + ItemFile(".DMP") +
                            " Full=y Show=y Log=" + ItemFile(".VERIFY.LOG")),
              host.panel2.end());

    host.lines.clear();
    setenv("FAKE_IMP_MODE", "error", 1);
    Run();
    EXPECT_EQ(host.lines, (std::vector<std::string>{
                              SuccessLine("20070305140710"),
                              Line("ORCL 덤프 검증 실패: IMP-00010: not a valid export file, "
                                   "header failed verification")}));
    EXPECT_TRUE(FileExists(ItemFile(".rar"))); // the dump is still compressed
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);
}

// An item is late once its own due time is more than OverdueAlertHours past;
// each due time is alerted once, across restarts and reloads too.
TEST_F(BackupRun, AnOverdueItemIsAlertedOncePerDueTime)
{
    item->strBackUpType = "매일";
    item->strTime = "13:00:00";
    WriteSchedule(program.File("Schedule.dat"), {item});
    const std::string alert = "[2007-03-06 15:00:01] ORCL 백업 지연: 마지막 성공 없음 (예정 "
                              "2007-03-06 13:00:00)";
    for (int start = 0; start < 2; ++start) {
        ScheduleService scheduler(host, clock, program.path()); // watches from kRunTime
        scheduler.LoadSettings();                               // OverdueAlertHours=2
        ASSERT_TRUE(scheduler.LoadSchedule());
        for (const char* now :
             {"2007-03-06 15:00:00", "2007-03-06 15:00:01", "2007-03-08 10:00:00"}) {
            clock.Set(now);
            scheduler.CheckOverdue();
            ASSERT_TRUE(scheduler.LoadSchedule()); // a reload forgets nothing
        }
        clock.Set(kRunTime);
    }
    EXPECT_EQ(host.lines, std::vector<std::string>{alert});
}

// A schedule the operator copied in during a run of the service is kept, and
// the run's result is written into its item: neither is lost.
TEST_F(BackupRun, ARunWritesItsResultIntoAScheduleCopiedInMeanwhile)
{
    service.SetTable({});
    ASSERT_TRUE(service.LoadSchedule()); // no file yet
    service.SetTable({item});
    service.KeepOutsideChanges(true);
    auto copied = std::make_shared<ScheduleRecord>(*item);
    copied->strDescription = "운영자의 사본";
    WriteSchedule(program.File("Schedule.dat"), {copied});
    Run();
    const ScheduleTable saved = LoadedSchedule(program.File("Schedule.dat"));
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]->strDescription, "운영자의 사본");
    EXPECT_EQ(saved[0]->strLastBackUpTime, kRunTime);
    EXPECT_EQ(service.Table()[0]->strDescription, "운영자의 사본");
    EXPECT_EQ(host.lines.back(),
              Line("Schedule.dat 다시 읽음: 실행 중에 바뀐 파일에 결과를 씁니다"));
}

TEST_F(BackupRun, KoreanOutputIsLoggedInCodePage949)
{
    setenv("FAKE_EXP_MODE", "korean", 1);
    Run();
    const std::string log = ReadBytes(ItemFile(".LOG"));
    EXPECT_NE(log.find(cp949::FromUtf8("정상적으로 종료되었습니다.")), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 3), "\n\r\n");
}

// Success with warnings stays a success, and names the first warning: the
// dump lacks the table it warns of.
TEST_F(BackupRun, ASuccessWithWarningsNamesItsFirstWarning)
{
    setenv("FAKE_EXP_MODE", "warnings", 1);
    Run();
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);
    EXPECT_EQ(host.lines, std::vector<std::string>{
                              SuccessLine() + " (경고: EXP-00011: SCOTT.EMPX does not exist)"});
    EXPECT_EQ(item->history.lastCause, "EXP-00011: SCOTT.EMPX does not exist");
}

// The login is on no command line any account can read, and the backups are
// their owner's and group's only, whatever the umask.
TEST_F(BackupRun, TheLoginIsOnNoCommandLineAndTheBackupsAreClosedToOthers)
{
    umask(022);
    for (const TempDir* open : {&program, &backups})
        chmod(open->path().c_str(), 0755); // any account may come this far
    struct Scanner : RecordingHost
    {
        int seen = 0; // command lines holding the password, while the run yields
        void Idle() override
        {
            RecordingHost::Idle();
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                std::ifstream file(entry.path() / "cmdline");
                const std::string line{std::istreambuf_iterator<char>(file), {}};
                seen += line.find("tiger") != std::string::npos;
            }
        }
    } scanner;
    ScheduleService scanned(scanner, clock, program.path());
    const Result<std::string> folder = SecretFolder(program.path());
    ASSERT_TRUE(folder) << folder.error().description;
    const std::string secrets = *folder;
    test::WriteBytes(secrets + "/login-left", "USERID=SCOTT/tiger@ORCL"); // a killed run's
    scanned.ResumeInterruptedRuns();
    setenv("FAKE_EXP_SILENCE", "1", 1);
    scanned.RunBackupJob(*item);
    unsetenv("FAKE_EXP_SILENCE");

    EXPECT_EQ(scanner.seen, 0);
    EXPECT_GT(scanner.yields, 5);
    EXPECT_EQ(ReadBytes(work.File("exp-args")),
              "USERID=SCOTT/tiger@ORCL\nFILE=" + ItemFile(".DMP") + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(secrets)) << "a file holding the password stayed";
    for (const std::string& path :
         {backups.File("ORCL"), ItemFile(".DMP"), ItemFile(".LOG"), program.File("Veltrane.log")}) {
        struct stat st
        {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07, 0u) << path;
        // Another account, for real: it cannot read the dump.
        const std::string command =
            "setpriv --reuid=65534 --regid=65534 --clear-groups cat '" + path + "' >/dev/null 2>&1";
        EXPECT_NE(std::system(command.c_str()), 0) << path;
    }
}

// A service or user name leads nowhere but to its own folder.
TEST_F(BackupRun, ServiceAndUserNamesThatLeaveTheFolderAreRefused)
{
    // A name beside the backup folder that no other test or program uses.
    const std::string beside =
        "../" + std::filesystem::path(backups.path()).filename().string() + "-escaped";
    for (const auto& [service, user] : std::vector<std::pair<std::string, std::string>>{
             {beside, "SCOTT"}, {"ORCL", "a/b"}, {"..", "SCOTT"}, {"ORCL", "x\ty"}}) {
        item->strServiceName = service;
        item->strID = user;
        host.lines.clear();
        Run();
        ASSERT_FALSE(host.lines.empty());
        EXPECT_NE(host.lines.front().find("cannot name a folder"), std::string::npos)
            << host.lines.front();
    }
    EXPECT_FALSE(FileExists(backups.File(beside)));
    EXPECT_TRUE(std::filesystem::is_empty(backups.path()));
}

// A night of failures on a full disk: each failure's partial dump is deleted
// at once and never takes a good backup's place.
TEST_F(BackupRun, AFullDiskNeverCostsAGoodBackup)
{
    std::string error;
    ASSERT_TRUE(test::EnterPrivateNetwork(error)) << error;
    ASSERT_EQ(mount("tmpfs", backups.path().c_str(), "tmpfs", 0, "size=2600k"), 0)
        << strerror(errno);
    item->nReservedFiles = 2;
    setenv("FAKE_EXP_DUMP_BYTES", "1000000", 1);
    std::vector<std::string> good;
    for (const char* time : {"2007-03-03 14:07:09", "2007-03-04 14:07:09", "2007-03-05 14:07:09",
                             "2007-03-05 14:07:10", "2007-03-05 14:07:11"}) {
        clock.Set(time);
        Run();
        const std::string dump =
            backups.File("ORCL/SCOTT_" + FormatFileStamp(clock.Now()) + ".DMP");
        if (item->strLastBackUpTime == time)
            good.push_back(dump);
        else
            EXPECT_FALSE(FileExists(dump)) << "a failed run's dump stayed";
    }
    unsetenv("FAKE_EXP_DUMP_BYTES");
    ASSERT_EQ(good.size(), 2u) << "the third dump should not fit";
    // The utility's own word reaches the line, also when its log does not
    // fit on the disk either.
    ASSERT_GE(host.lines.size(), 2u);
    EXPECT_EQ(host.lines.end()[-2].find("[2007-03-05 14:07:11] ORCL 백업 실패: EXP-00002: error "
                                        "in writing to export file"),
              0u)
        << host.lines.end()[-2];
    for (const std::string& dump : good)
        EXPECT_GT(ReadBytes(dump).size(), 1000000u);
    umount(backups.path().c_str());
}

// Two items of one folder, service and user started in the same second.
TEST_F(BackupRun, RunsOfTheSameSecondNeverShareTheirFiles)
{
    auto twin = std::make_shared<ScheduleRecord>(*item);
    twin->strTables = "EMP";
    Run();
    service.RunBackupJob(*twin);
    const std::string second = backups.File("ORCL/SCOTT_20070305140710.DMP");
    EXPECT_EQ(ReadBytes(ItemFile(".DMP")), "DUMP USERID=SCOTT/tiger@ORCL FILE=" + ItemFile(".DMP"));
    EXPECT_NE(ReadBytes(second).find("TABLES=(EMP)"), std::string::npos);
    EXPECT_EQ(twin->strLastBackUpTime, kRunTime);
}

// The first tick after a start runs a daily backup whose hour passed while the
// program was not running, once; a latest back time in the future (a clock
// that was ahead) holds nothing back.
TEST_F(BackupRun, TheFirstTickRunsMissedBackupsAndIgnoresFutureTimes)
{
    ScheduleService scheduler(host, clock, program.path());
    scheduler.LoadSettings();
    item->strBackUpType = kKindDaily;
    item->strTime = "02:00:00";
    item->strLastBackUpTime = "2007-03-04 02:00:05";
    auto ahead = std::make_shared<ScheduleRecord>(*item);
    ahead->strServiceName = "HRDB";
    ahead->strTime = "14:00:00";
    ahead->strLastBackUpTime = "2030-01-01 00:00:00";
    scheduler.SetTable({item, ahead});
    scheduler.Tick();
    EXPECT_EQ(item->strLastBackUpTime, kRunTime);
    EXPECT_EQ(ahead->strLastBackUpTime, kRunTime);
    EXPECT_EQ(host.lines,
              (std::vector<std::string>{
                  Line("ORCL 놓친 백업을 지금 실행합니다 (예정 2007-03-05 02:00:00)"),
                  Line("HRDB Latest Back Time이 미래입니다 (2030-01-01 00:00:00): 시계가 앞서 "
                       "있었던 것으로 보고 일정대로 실행합니다"),
                  SuccessLine(), SuccessLine(kStamp, "HRDB")}));
}

namespace {

class BackupRunWithFtp : public BackupRun
{
protected:
    void SetUp() override
    {
        BackupRun::SetUp();
        ASSERT_TRUE(ftp.ok());
        test::UploadTo(ftp, *item);
    }

    std::string Stored(const std::string& extension) const
    {
        return ftp.DiskPath("/backup/SCOTT_" + kStamp + extension);
    }

    hoistline::test::FtpTestServer ftp;
};

std::string ZipListing(const std::string& archive)
{
    std::string listing = testing::TempDir() + "/listing";
    std::string command = "/usr/bin/python3 -c \"import zipfile,sys; print(' '.join(sorted("
                          "zipfile.ZipFile(sys.argv[1]).namelist())))\" '" +
                          archive + "' > " + listing;
    EXPECT_EQ(std::system(command.c_str()), 0);
    return ReadBytes(listing);
}

} // namespace

TEST_F(BackupRunWithFtp, UploadsTheDumpThenTheLog)
{
    Run();
    // Each is stored under a temporary name and renamed once it is whole.
    auto renames = hoistline::test::WithVerb(ftp.Commands(), "RNTO");
    EXPECT_EQ(renames, (std::vector<std::string>{"RNTO /backup/SCOTT_" + kStamp + ".DMP",
                                                 "RNTO /backup/SCOTT_" + kStamp + ".LOG"}));
    EXPECT_EQ(ReadBytes(Stored(".DMP")), ReadBytes(ItemFile(".DMP")));
    EXPECT_EQ(ReadBytes(Stored(".LOG")), ReadBytes(ItemFile(".LOG")));
    EXPECT_EQ(host.panel1.back(), "Ready.");
    EXPECT_NE(std::find(host.panel1.begin(), host.panel1.end(), "Transfer Complete."),
              host.panel1.end());
    EXPECT_EQ(host.lines.back(), Line("ORCLData FTP 전송 성공"));
}

// A failed export has no backup: its log alone is neither compressed nor sent.
TEST_F(BackupRunWithFtp, AFailedExportSendsNothing)
{
    setenv("FAKE_EXP_MODE", "error", 1);
    item->bDataCompress = true;
    Run();
    EXPECT_TRUE(hoistline::test::WithVerb(ftp.Commands(), "STOR").empty());
    EXPECT_FALSE(FileExists(ItemFile(".rar")));
    EXPECT_FALSE(FileExists(ItemFile(".DMP")));
    EXPECT_TRUE(FileExists(ItemFile(".LOG")));
    ASSERT_FALSE(host.lines.empty());
    EXPECT_EQ(host.lines.front(),
              Line("ORCL 백업 실패: ORA-01017: invalid username/password; logon denied"));
}

// The archive that did not reach the server stays, the only compressed copy.
TEST_F(BackupRunWithFtp, ARefusedLoginIsATransferFailureAndKeepsTheArchive)
{
    item->strFtpUserPassword = "wrong";
    item->bDataCompress = true;
    Run();
    EXPECT_NE(std::find(host.panel1.begin(), host.panel1.end(), "Transfer Fail."),
              host.panel1.end());
    EXPECT_EQ(host.lines.back(),
              Line("ORCLData FTP 전송 실패: login refused: 530 Authentication failed."));
    EXPECT_TRUE(FileExists(ItemFile(".rar")));
}

// An archive the archiver did not finish is no backup: it is deleted, and the
// dump and log go to the server instead.
TEST_F(BackupRunWithFtp, AFailedCompressionSendsTheDumpAndLogInstead)
{
    setenv("FAKE_RAR_MODE", "fail", 1);
    item->bDataCompress = true;
    Run();
    unsetenv("FAKE_RAR_MODE");
    EXPECT_FALSE(FileExists(ItemFile(".rar")));
    EXPECT_EQ(ReadBytes(Stored(".DMP")), ReadBytes(ItemFile(".DMP")));
    EXPECT_EQ(ReadBytes(Stored(".LOG")), ReadBytes(ItemFile(".LOG")));
    EXPECT_FALSE(FileExists(Stored(".rar")));
    EXPECT_EQ(host.lines,
              (std::vector<std::string>{SuccessLine(),
                                        Line("ORCL 압축 실패: ERROR: Write error in the file " +
                                             ItemFile(".rar") +
                                             " (종료 코드 5): 덤프와 로그를 그대로 전송합니다"),
                                        Line("ORCLData FTP 전송 성공 (압축 대신 덤프와 로그)")}));
}

TEST_F(BackupRunWithFtp, APortOfLettersEndsTheRunThroughTheErrorPath)
{
    item->strFtpServer = "127.0.0.1:abc";
    Run();
    EXPECT_EQ(host.lines.back(), Line("The FTP port \"abc\" is not a number-RunBackupJob-13"));
    EXPECT_EQ(host.panel2.back(), "The FTP port \"abc\" is not a number-RunBackupJob-13");
    EXPECT_EQ(host.panel1.back(), "Ready.");
}

TEST_F(BackupRunWithFtp, AMissingFtpLibraryEndsTheRunThroughTheErrorPath)
{
    std::filesystem::remove(program.File(kFtpLibraryFile));
    Run();
    const std::string& last = host.lines.back();
    EXPECT_EQ(last.rfind("[" + kRunTime + "] The library libHoistline.so cannot be loaded", 0), 0u)
        << last;
    EXPECT_EQ(last.substr(last.size() - 19), "-libHoistline.so-53");
    EXPECT_TRUE(hoistline::test::WithVerb(ftp.Commands(), "STOR").empty());
}

namespace {

// Runs inside a private network of its own, so that the mail library finds
// its server on port 25 of 127.0.0.1.
class BackupRunWithMail : public BackupRun
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(test::EnterPrivateNetwork(error)) << error;
        BackupRun::SetUp();
        // The backups on a file system of their own, so that the free space
        // the report shows is known.
        ASSERT_EQ(mount("tmpfs", backups.path().c_str(), "tmpfs", 0, "size=64m"), 0)
            << strerror(errno);
        item->strMailReceiveList = "dba@example.kr";
        item->bUseSmtpServer = true;
        item->strSmtpServer = "127.0.0.1";
        item->strSmtpUserID = "backup";
        item->strSmtpUserPassword = "secret";
    }

    void TearDown() override { umount(backups.path().c_str()); }

    // The page a run of the item mails; its folder is on the 64 MiB of SetUp.
    std::string Page(ReportKind kind, const std::string& dump, const std::string& cause = "",
                     const ResultReport& m = {})
    {
        return BuildResultReportHtml({kind, "ORCL", "SCOTT", kRunTime, dump, cause, "", "",
                                      m.lastSuccess, "64.0 MiB", "야간 백업", m.dumpSize,
                                      m.runLength, m.failuresInARow, m.hint});
    }

    void StartSink()
    {
        std::filesystem::create_directory(work.File("sink"));
        sink = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", kMailerData + "/smtp_sink.py", "--port",
                                     "25", "--folder", work.File("sink"), "--user", "backup",
                                     "--password", "secret"},
            work.File("sink.log"));
        ASSERT_TRUE(test::WaitForPort("127.0.0.1", 25)) << ReadBytes(work.File("sink.log"));
    }

    // Takes a mail the sink received (the first by default) apart into
    // `folder` (one file per part) and returns the parser's summary; empty
    // when that failed.
    std::string ParseFirstMail(const std::string& folder, const std::string& mail = "0001")
    {
        std::filesystem::create_directory(folder);
        const std::string command = "/usr/bin/python3 " + kMailerData + "/parse_message.py " +
                                    work.File("sink/" + mail + ".eml") + " " + folder + " > " +
                                    work.File("summary");
        return std::system(command.c_str()) == 0 ? ReadBytes(work.File("summary")) : std::string();
    }

    std::unique_ptr<ChildProcess> sink;
};

// The mail line of a report that reached the tests' sink, which offers no
// STARTTLS: the login went in clear, and the line says so.
std::string SentInClear(const std::string& text)
{
    return Line(text + " (경고: password sent in clear to 127.0.0.1:25 (no STARTTLS offered))");
}

} // namespace

TEST_F(BackupRunWithMail, MailsTheReportThroughTheServerWithItsLogin)
{
    StartSink();
    Run();
    ASSERT_EQ(host.lines,
              (std::vector<std::string>{SuccessLine(), SentInClear("ORCL백업결과 메일전송 성공")}))
        << ReadBytes(program.File("SendResult.Log"));

    const std::string parsed = work.File("parsed");
    const std::string summary = ParseFirstMail(parsed);
    ASSERT_FALSE(summary.empty());
    EXPECT_NE(summary.find("subject " + Hex("[DB Backup : SCOTT@ORCL]완료.")), std::string::npos)
        << summary;
    EXPECT_NE(summary.find(" backup@127.0.0.1\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("part 0 text/plain -\npart 1 text/html -"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("defects 0\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("SCOTT_" + kStamp + ".LOG"), std::string::npos) << summary;
    // The page and its text carry the dump's size and the export's length.
    ASSERT_GT(item->history.lastSuccessBytes, 0);
    const std::string size = SizeText(item->history.lastSuccessBytes);
    EXPECT_EQ(ReadBytes(parsed + "/part1"),
              Page(ReportKind::kSuccess, ItemFile(".DMP"), "",
                   {.dumpSize = size, .runLength = RunLengthText(item->history.lastRunSeconds)}));
    EXPECT_NE(ReadBytes(parsed + "/part0").find("덤프 크기: " + size + "\r\n"), std::string::npos);
    EXPECT_EQ(ReadBytes(parsed + "/part2"), ReadBytes(ItemFile(".LOG")));
    EXPECT_EQ(ReadBytes(work.File("sink/0001.env")), "backup@127.0.0.1\ndba@example.kr\n");
}

TEST_F(BackupRunWithMail, GivingUpMailsTheCauseOnceWithTheLastLog)
{
    StartSink();
    setenv("FAKE_EXP_MODE", "error", 1);
    Run(); // a refused login gives up on its first run
    EXPECT_EQ(host.lines.back(), SentInClear("ORCL실패메일전송 성공"));
    EXPECT_FALSE(FileExists(work.File("sink/0002.eml"))); // one mail per give-up

    const std::string parsed = work.File("parsed");
    const std::string summary = ParseFirstMail(parsed);
    ASSERT_FALSE(summary.empty());
    EXPECT_NE(summary.find("subject " + Hex("[DB Backup : SCOTT@ORCL]실패.")), std::string::npos)
        << summary;
    const std::string cause = "ORA-01017: invalid username/password; logon denied";
    EXPECT_EQ(ReadBytes(parsed + "/part1"),
              Page(ReportKind::kFailure, "", cause,
                   {.lastSuccess = "없음", .failuresInARow = "1회", .hint = FailureHint(cause)}));
    EXPECT_EQ(ReadBytes(parsed + "/part2"), ReadBytes(ItemFile(".LOG")));
}

TEST_F(BackupRunWithMail, RecipientsThatAreNoAddressFailTheLineAfterTheOthersGotIt)
{
    StartSink();
    item->strMailReceiveList = "dba;dba@example.kr; ;@x";
    Run();
    EXPECT_EQ(host.lines.back(),
              SentInClear("ORCL백업결과 메일전송 실패 (주소가 아닌 수신자: \"dba\" \"@x\")"));
    EXPECT_EQ(ReadBytes(work.File("sink/0001.env")), "backup@127.0.0.1\ndba@example.kr\n");

    host.lines.clear();
    item->strMailReceiveList = " ; ";
    Run();
    EXPECT_EQ(host.lines.size(), 1u); // nobody to send to: no mail, no line
}

TEST_F(BackupRunWithMail, AWrongPasswordIsAFailedMailAndTheRunGoesOn)
{
    StartSink();
    item->strSmtpUserPassword = "wrong";
    item->bDataCompress = true;
    Run();
    EXPECT_EQ(host.lines.back(), Line("ORCL백업결과 메일전송 실패: dba@example.kr: 535 5.7.8 "
                                      "Authentication credentials invalid; password sent in clear "
                                      "to 127.0.0.1:25 (no STARTTLS offered)"));
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(FileExists(ItemFile(".rar")));
}

TEST_F(BackupRunWithMail, AStallingServerDoesNotFreezeTheWindow)
{
    // A server that takes the connection, says nothing for two seconds and
    // hangs up.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(25);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::thread silent([listener] {
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 30000) != 1)
            return;
        const int peer = accept(listener, nullptr, nullptr);
        pollfd quiet{peer, POLLIN, 0};
        poll(&quiet, 1, 2000); // the stall; the client sends nothing before the greeting
        close(peer);
    });

    int yieldsAtExportEnd = -1;
    struct Watch : RecordingHost
    {
        int* mark;
        void Stage(const std::string& text) override
        {
            if (text == "[ORCL] BackUp...")
                *mark = yields;
            RecordingHost::Stage(text);
        }
    } watch;
    watch.mark = &yieldsAtExportEnd;
    ScheduleService watched(watch, clock, program.path());
    watched.RunBackupJob(*item);
    silent.join();
    close(listener);

    ASSERT_EQ(watch.lines.size(), 2u);
    EXPECT_EQ(
        watch.lines[1].find(Line("ORCL백업결과 메일전송 실패: dba@example.kr: connection closed")),
        0u)
        << watch.lines[1];
    // The library waits on the silent server; the caller was served all along.
    EXPECT_GT(watch.yields - yieldsAtExportEnd, 20);
}

// The off-site copy failing is told to the recipients, with the server's word.
TEST_F(BackupRunWithMail, AFailedUploadIsMailedWithItsReason)
{
    StartSink();
    hoistline::test::FtpTestServer ftp;
    ASSERT_TRUE(ftp.ok());
    test::UploadTo(ftp, *item);
    item->strFtpUserPassword = "wrong";
    Run();
    const std::string failed = "ORCLData FTP 전송 실패: login refused: 530 Authentication failed.";
    EXPECT_EQ(host.lines,
              (std::vector<std::string>{SuccessLine(), SentInClear("ORCL백업결과 메일전송 성공"),
                                        Line(failed), SentInClear("ORCL실패메일전송 성공")}));
    const std::string parsed = work.File("parsed");
    const std::string summary = ParseFirstMail(parsed, "0002");
    EXPECT_NE(summary.find("subject " + Hex("[DB Backup : SCOTT@ORCL]전송 실패.")),
              std::string::npos)
        << summary;
    EXPECT_EQ(ReadBytes(parsed + "/part1"),
              Page(ReportKind::kUploadFailed, ItemFile(".DMP"), failed.substr(4),
                   {.hint = FailureHint(failed.substr(4))}));
}

// The library takes its attachments as one ";"-separated text: a folder
// with a ";" in its name must not split the log's path in two.
TEST_F(BackupRunWithMail, APathWithASemicolonIsAttachedWhole)
{
    StartSink();
    const std::string folder = backups.File("a;b");
    std::filesystem::create_directory(folder);
    item->strBackUpFolder = folder + "/";
    Run();
    ASSERT_FALSE(ParseFirstMail(work.File("parsed")).empty());
    EXPECT_EQ(ReadBytes(work.File("parsed/part2")),
              ReadBytes(folder + "/ORCL/SCOTT_" + kStamp + ".LOG"));
}

TEST_F(BackupRun, FoldersWithBlanksAndQuotesReachTheChildrenWhole)
{
    const std::string folder = backups.File("it\"s a \\\"b");
    std::filesystem::create_directory(folder);
    item->strBackUpFolder = folder + "/";
    item->bDataCompress = true;
    Run();
    const std::string dump = folder + "/ORCL/SCOTT_" + kStamp + ".DMP";
    EXPECT_EQ(ReadBytes(work.File("exp-args")), "USERID=SCOTT/tiger@ORCL\nFILE=" + dump + "\n");
    EXPECT_EQ(ZipListing(folder + "/ORCL/SCOTT_" + kStamp + ".rar"),
              "SCOTT_" + kStamp + ".DMP SCOTT_" + kStamp + ".LOG\n");
}

TEST_F(BackupRun, ARelativeBackupFolderIsTakenFromTheProgramFolder)
{
    item->strBackUpFolder = "";
    item->strServiceName = "-ORCL";
    item->bDataCompress = true;
    Run();
    const std::string dump = program.File("-ORCL/SCOTT_" + kStamp + ".DMP");
    EXPECT_EQ(ReadBytes(work.File("exp-args")), "USERID=SCOTT/tiger@-ORCL\nFILE=" + dump + "\n");
    EXPECT_TRUE(veltrane::test::FileExists(program.File("-ORCL/SCOTT_" + kStamp + ".rar")));
}

// A start after a kill judges each export still owed by what the run left: a
// log with the closing text and a dump with bytes is the good backup it was,
// recorded as a run records it and finished; anything else was cut.
TEST_F(BackupRun, AnExportOwedAtTheLastEndIsJudgedByWhatItLeft)
{
    const std::string good = "Export terminated successfully without warnings.\n";
    struct Case
    {
        std::string log;
        std::string dump;
        bool kept;
    };
    item->bDataCompress = true;
    for (const Case& c : std::vector<Case>{
             {good, "DUMP", true},
             {"EXP-00002: error in writing to export file\n", "DUMP", false},
             {good, "", false},
             {good + std::string(kLogFailedMark) + "덤프 파일이 없습니다\n", "DUMP", false}}) {
        SCOPED_TRACE(c.log);
        Interrupted("export", c.log, c.dump);
        auto owed = std::make_shared<ScheduleRecord>(*item);
        Resume(owed);
        EXPECT_EQ(FileExists(ItemFile(".DMP")), c.kept) << Lines();
        EXPECT_EQ(FileExists(ItemFile(".rar")), c.kept);
        EXPECT_EQ(owed->strLastBackUpTime, c.kept ? kRunTime : "");
        EXPECT_EQ(owed->history.lastSuccessTime, c.kept ? kRunTime : "");
        if (c.kept) {
            EXPECT_EQ(LoadedSchedule(program.File("Schedule.dat"))[0]->strLastBackUpTime, kRunTime);
            EXPECT_NE(Lines().find(" 백업 성공: SCOTT_" + kStamp + ".DMP (4 바이트"),
                      std::string::npos)
                << Lines();
        }
        EXPECT_TRUE(RunStateFile(program.File("Veltrane.state")).Pending().empty());
        std::filesystem::remove_all(backups.File("ORCL"));
        std::filesystem::remove(program.File("Schedule.dat"));
    }
}

// Veltrane.state may be edited by whoever can write the data folder: a
// pending run whose files are not its item's (another folder, another name)
// is ignored with a line and dropped, and nothing it names is deleted.
TEST_F(BackupRun, APendingRunNamingFilesOutsideItsItemIsIgnored)
{
    test::TempDir elsewhere;
    const std::string victim = elsewhere.File("SCOTT_" + kStamp + ".DMP");
    for (const auto& [prefix, stamp] :
         {std::pair{elsewhere.File("SCOTT_"), kStamp},
          {backups.File("ORCL/../../") + FileNameOf(elsewhere.path()) + "/SCOTT_", kStamp},
          {backups.File("ORCL/SCOTT_"), kStamp + "/x"}}) {
        test::WriteBytes(victim, "DUMP");
        test::WriteBytes(program.File("Veltrane.state"),
                         "pending\t1\tORCL\tSCOTT\t" + item->strBackUpFolder + "\t" + kRunTime +
                             "\t" + prefix + "\t" + stamp + "\texport\n");
        Resume(std::make_shared<ScheduleRecord>(*item));
        EXPECT_EQ(ReadBytes(victim), "DUMP");
        EXPECT_NE(Lines().find("Veltrane.state의 이전 실행 기록을 무시합니다"), std::string::npos)
            << Lines();
        EXPECT_TRUE(RunStateFile(program.File("Veltrane.state")).Pending().empty());
    }
}

// An export that says it ended well but leaves no dump, or an empty one, is a
// failed run, and its log no longer passes for a good backup's.
TEST_F(BackupRun, ASuccessTextWithoutADumpIsAFailure)
{
    for (const auto& [mode, cause] : {std::pair{"nodump", "덤프 파일이 없습니다"},
                                      std::pair{"emptydump", "덤프 파일이 비어 있습니다"}}) {
        setenv("FAKE_EXP_MODE", mode, 1);
        host.lines.clear();
        Run();
        EXPECT_TRUE(item->strLastBackUpTime.empty());
        EXPECT_NE(Lines().find(std::string("ORCL 백업 실패: ") + cause), std::string::npos)
            << Lines();
        EXPECT_FALSE(FileExists(ItemFile(".DMP")));
        EXPECT_FALSE(LogHoldsExportSuccess(ItemFile(".LOG")));
        std::filesystem::remove_all(backups.File("ORCL"));
    }
}

// Steps owed in a Veltrane.state that cannot be written are not done at every
// start again, and that is said; a damaged one is said, copied aside, and
// what could be read of it is done.
TEST_F(BackupRun, AStateFileThatCannotBeWrittenOrIsDamagedIsSaid)
{
    item->bDataTransfer = true;
    item->strFtpServer = "127.0.0.1:1";
    const std::string state = program.File("Veltrane.state");
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged);
        Interrupted("transfer", "Export terminated successfully without warnings.\n", "DUMP",
                    damaged ? "garbage\npending\t1\tORC" : "");
        chmod(state.c_str(), damaged ? 0660 : 0440);
        Resume(std::make_shared<ScheduleRecord>(*item));
        EXPECT_EQ(Lines().find("Data FTP 전송 실패") != std::string::npos, damaged) << Lines();
        EXPECT_EQ(Lines().find("시작할 때마다 되풀이됩니다") != std::string::npos, !damaged);
        EXPECT_EQ(Lines().find("손상: 읽을 수 없는 줄 2개") != std::string::npos, damaged);
    }
    EXPECT_TRUE(ReadBytes(state + ".damaged").ends_with("garbage\npending\t1\tORC"));
    EXPECT_EQ(ReadBytes(state).find("pending"), std::string::npos);
}

namespace {

// The stand-in database of the Data Pump clients, serving `folder` as the
// directory object DATA_PUMP_DIR.
class FakeDatabase
{
public:
    explicit FakeDatabase(const TempDir& work)
        : socket_(work.File("db.sock")), config_(work.File("db.json")),
          server_({"/usr/bin/python3", kData + "/fake_database.py", socket_, config_},
                  work.File("db.out"))
    {
        setenv("FAKE_DB_SOCKET", socket_.c_str(), 1);
        EXPECT_TRUE(test::Eventually([&] { return FileExists(socket_ + ".jobs"); }));
    }
    void Serve(const std::string& folder, int tableSeconds = 0)
    {
        test::WriteBytes(config_, R"({"service": "ORCL", "users": {"SCOTT": "tiger"},
            "directories": {"DATA_PUMP_DIR": ")" +
                                      folder + R"("}, "tables": {"SCOTT": {"EMP": 14, "DEPT": 4}},
            "table_seconds": )" + std::to_string(tableSeconds) +
                                      R"(, "fatal_tables": ["BROKEN"]})");
    }
    // The jobs in the database, with their state.
    std::string Jobs() const { return ReadBytes(socket_ + ".jobs"); }

private:
    std::string socket_, config_;
    ChildProcess server_;
};

class DataPumpRun : public BackupRun
{
protected:
    void SetUp() override
    {
        BackupRun::SetUp();
        item->strProgramPath = kData + "/expdp";
        db.Serve(backups.File("ORCL"));
    }
    // The files of the item folder, by name.
    std::vector<std::string> Folder() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(backups.File("ORCL")))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> SetOf(const std::string& stamp, int pieces) const
    {
        std::vector<std::string> names{"SCOTT_" + stamp + ".EXPDP.LOG", "SCOTT_" + stamp + ".LOG"};
        for (int piece = 1; piece <= pieces; ++piece)
            names.push_back("SCOTT_" + stamp + "_0" + std::to_string(piece) + ".DMP");
        return names;
    }

    FakeDatabase db{work};
};

} // namespace

TEST_F(DataPumpRun, TheVerdictFollowsTheExitStatusAndTheClosingLine)
{
    const std::string missing = "덤프 파일이 항목 폴더 " + backups.File("ORCL") +
                                "에 없습니다: 디렉터리 객체 DATA_PUMP_DIR가 이 폴더를 가리켜야";
    const struct
    {
        const char* tables;
        const char* option;
        const char* password;
        bool elsewhere; // the directory object points to another folder
        const char* nlsLang;
        std::string line;
        std::size_t files; // left in the item folder
    } cases[] = {
        {"", "", "tiger", false, "", "ORCL 백업 성공: SCOTT_" + kStamp + "_01.DMP (", 3},
        {"", "PARALLEL=2", "tiger", false, "", "_01.DMP 외 1개 (", 4},
        {"EMP", "", "tiger", false, "KOREAN_KOREA.KO16MSWIN949", "ORCL 백업 성공: ", 3},
        {"EMP, NOPE", "", "tiger", false, "",
         "실패: ORA-39166: Object SCOTT.NOPE was not found or could not be exported", 2},
        {"", "", "wrong", false, "", "ORA-01017: invalid username/password; logon denied", 1},
        // A job stopped by a fatal error is dropped from the database too.
        {"EMP,BROKEN", "", "tiger", false, "", "ORA-01115: IO error reading block", 2},
        {"", "directory=NOPE", "tiger", false, "", "ORA-39087: directory name NOPE is invalid", 1},
        {"", "", "tiger", true, "", missing, 1},
        {"", "Owner=SCOTT", "tiger", false, "", "Owner은(는) 원래 엑스포트의 키워드", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        host.lines.clear();
        item->strTables = c.tables;
        item->strExecutionOption = c.option;
        item->strPWD = c.password;
        setenv("NLS_LANG", c.nlsLang, 1);
        db.Serve(c.elsewhere ? work.path() : backups.File("ORCL"));
        Run();
        EXPECT_NE(Lines().find(c.line), std::string::npos) << Lines();
        EXPECT_EQ(Folder().size(), c.files) << Lines();
        EXPECT_EQ(item->history.lastRunSucceeded, c.files >= 3);
        EXPECT_EQ(db.Jobs(), "{}");
        std::filesystem::remove_all(backups.File("ORCL"));
    }
    unsetenv("NLS_LANG");
    // A missing table may be accepted as a warning; the log then tells of
    // a good backup.
    Settings settings;
    settings.dataPumpErrorsAsWarnings = true;
    service.SetSettings(settings);
    item->strTables = "EMP,NOPE";
    item->strExecutionOption.clear();
    Run();
    EXPECT_NE(Lines().find(" (경고: ORA-39166: Object SCOTT.NOPE"), std::string::npos) << Lines();
    EXPECT_TRUE(LogHoldsExportSuccess(ItemFile(".LOG")));
}

TEST_F(DataPumpRun, AJobIsKilledInTheDatabaseAtTheTimeLimitAndAtTheProgramsEnd)
{
    db.Serve(backups.File("ORCL"), 60);
    Settings settings;
    settings.exportTimeoutMinutes = 0.05; // 3 seconds
    service.SetSettings(settings);
    Run();
    EXPECT_EQ(host.lines.front(), Line("ORCL 엑스포트 시간 초과 (0.05분)"));
    EXPECT_EQ(db.Jobs(), "{}");
    const std::vector<std::string> logs = {"SCOTT_" + kStamp + ".EXPDP.LOG",
                                           "SCOTT_" + kStamp + ".LOG"};
    EXPECT_EQ(Folder(), logs); // the database's log stays, the dump pieces went

    // A SIGTERM ends the program the same way: its children stopped, then
    // the job ended in the database. The run itself never goes on.
    settings.exportTimeoutMinutes = 0;
    service.SetSettings(settings);
    std::thread([this] { Run(); }).detach();
    ASSERT_TRUE(test::Eventually([&] { return db.Jobs().find("EXECUTING") != std::string::npos; }));
    posix::StopRunningChildren(1000);
    EXPECT_EQ(db.Jobs(), "{}");
    EXPECT_EQ(Folder(),
              (std::vector<std::string>{logs[0], logs[1], "SCOTT_20070305140710.EXPDP.LOG",
                                        "SCOTT_20070305140710.LOG"}));
}

TEST_F(DataPumpRun, AJobLeftRunningByAnInterruptedRunIsKilledAtTheNextStart)
{
    db.Serve(backups.File("ORCL"), 60);
    RunFiles files;
    files.filePrefix = backups.File("ORCL/SCOTT_");
    files.SetStamp(kStamp);
    std::filesystem::create_directories(backups.File("ORCL"));
    ChildProcess client({kData + "/expdp", "SCOTT/tiger@ORCL", "DUMPFILE=" + DumpSetSpec(files),
                         "JOB_NAME=" + DataPumpJobName(files)});
    ASSERT_TRUE(test::Eventually([&] { return FileExists(files.DumpPiece(1)); }));
    client.Stop(); // the client's end leaves the job running
    Interrupted("export", "Starting \"SCOTT\".\"...\"\n", "");
    std::filesystem::remove(files.dump);
    Resume(item);
    EXPECT_EQ(db.Jobs(), "{}");
    EXPECT_FALSE(FileExists(files.DumpPiece(1))) << Lines();
}

TEST_F(DataPumpRun, RetentionKeepsWholeSetsAndTheReadBackReadsEveryPiece)
{
    item->nReservedFiles = 1;
    item->strExecutionOption = "parallel=2";
    Settings settings;
    settings.verifyDump = true; // impdp beside expdp
    service.SetSettings(settings);
    for (int run = 0; run < 3; ++run)
        Run();
    EXPECT_EQ(std::count(host.lines.begin(), host.lines.end(), Line("ORCL 덤프 검증 성공")), 3)
        << Lines();
    std::vector<std::string> kept = SetOf("20070305140710", 2);
    for (const std::string& name : SetOf("20070305140711", 2))
        kept.push_back(name);
    kept.push_back("SCOTT_20070305140710.VERIFY.LOG");
    kept.push_back("SCOTT_20070305140711.VERIFY.LOG");
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Folder(), kept);

    // A piece cut short fails the read-back of a later start.
    RunFiles files;
    files.filePrefix = backups.File("ORCL/SCOTT_");
    files.SetStamp("20070305140711");
    std::filesystem::resize_file(files.DumpPiece(2), 300);
    test::WriteBytes(program.File("Veltrane.state"),
                     "pending\t1\tORCL\tSCOTT\t" + item->strBackUpFolder + "\t" + kRunTime + "\t" +
                         files.filePrefix + "\t20070305140711\tverify\n");
    Resume(std::make_shared<ScheduleRecord>(*item));
    EXPECT_NE(Lines().find("ORCL 덤프 검증 실패: ORA-27046: file size is not a multiple"),
              std::string::npos)
        << Lines();
}

namespace {

class DataPumpRunWithFtp : public BackupRunWithFtp
{
protected:
    FakeDatabase db{work};
};

} // namespace

TEST_F(DataPumpRunWithFtp, ASetIsCompressedAndSentWhole)
{
    item->strProgramPath = kData + "/expdp";
    item->strExecutionOption = "parallel=2";
    db.Serve(backups.File("ORCL"));
    item->bDataCompress = true;
    Run();
    const std::string set = "SCOTT_" + kStamp;
    EXPECT_EQ(ZipListing(Stored(".rar")),
              set + ".EXPDP.LOG " + set + ".LOG " + set + "_01.DMP " + set + "_02.DMP\n");

    item->bDataCompress = false;
    Run();
    const std::string next = "RNTO /backup/SCOTT_20070305140710";
    EXPECT_EQ(hoistline::test::WithVerb(ftp.Commands(), "RNTO"),
              (std::vector<std::string>{"RNTO /backup/" + set + ".rar", next + "_01.DMP",
                                        next + "_02.DMP", next + ".LOG"}));
}
