#include "job/archive_step.h"
#include "job/command_line.h"
#include "job/data_pump.h"
#include "job/export_step.h"
#include "job/export_texts.h"
#include "job/upload_step.h"
#include "platform/library_binder.h"
#include "platform/yielding_call.h"
#include "report/result_mail.h"
#include "support/temp_dir.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace veltrane;

namespace {

std::vector<std::string> ExportSuccessTextsForTest()
{
    return {std::begin(kExportSuccessTexts), std::end(kExportSuccessTexts)};
}

ScheduleRecord ExportItem(const char* tables, const char* option)
{
    ScheduleRecord r;
    r.strProgramPath = "/opt/oracle/bin/exp";
    r.strID = "SCOTT";
    r.strPWD = "tiger";
    r.strServiceName = "ORCL";
    r.strTables = tables;
    r.strExecutionOption = option;
    return r;
}

} // namespace

TEST(ExportCommandLine, IsAssembledInOrderWithItsBlanks)
{
    const std::string dump = "/b/ORCL/SCOTT_20070305140709.DMP";
    const std::string base = "/opt/oracle/bin/exp PARFILE=/run/p/login File=" + dump;
    const struct
    {
        const char* tables;
        const char* option;
        std::string expected;
    } cases[] = {
        {"", "", base},
        {"  ", " ", base},
        {"EMP, DEPT", "", base + " Tables=(EMP, DEPT) "},
        {"", "rows=n", base + " rows=n"},
        {" EMP ", "rows=n", base + " Tables=( EMP )  rows=n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildExportCommandLine(ExportItem(c.tables, c.option), "/opt/oracle/bin/exp",
                                         dump, "/run/p/login"),
                  c.expected)
            << "tables '" << c.tables << "' option '" << c.option << "'";
}

// The Tables field only names tables: nothing in it may close the list and
// add parameters of its own.
TEST(ExportCommandLine, TablesHoldOnlyTableNames)
{
    const std::pair<const char*, const char*> cases[] = {
        {"EMP, DEPT SCOTT.BONUS,SALES:P2024 HR$#_1 EMP%", ""},
        {"사원, 부서", ""},
        {"EMP) FILE=/tmp/x.dmp (DEPT", "\"EMP) FILE=/tmp/x.dmp (DEPT\" (쓸 수 없는 글자 ))"},
        {"EMP, \"Dept-2024\", SCOTT.\"A,B\"", ""},
        {"EMP, \"DEPT", "\"\"DEPT\" (쓸 수 없는 글자 \")"},
        {"EMP,DEPT\x01", "\"DEPT?\" (쓸 수 없는 글자 \\x01)"},
    };
    for (const auto& [tables, named] : cases) {
        const std::string problem = TablesProblem(tables);
        EXPECT_EQ(problem.empty(), *named == '\0') << tables;
        EXPECT_NE(problem.find(named), std::string::npos) << problem;
    }
}

TEST(ExportCommandLine, ShowsNoPasswordAndQuotesPathsWithBlanks)
{
    ScheduleRecord r = ExportItem("", "");
    const std::string shown =
        BuildExportCommandLine(r, "/opt/oracle home/bin/exp", "/srv/ora backups/ORCL/S_1.DMP");
    EXPECT_EQ(shown, "\"/opt/oracle home/bin/exp\" SCOTT/****@ORCL "
                     "File=\"/srv/ora backups/ORCL/S_1.DMP\"");
    EXPECT_EQ(shown.find("tiger"), std::string::npos);
}

// Whatever a path holds, the runner's splitting gives back exactly that path.
TEST(ExportCommandLine, EveryPathSurvivesTheRunnersSplitting)
{
    const std::string program = R"(/opt/it"s a\ora/exp)";
    const std::string dump = R"(/b/it"s a/\"x\/ORCL/S_1.DMP)";
    const std::string archive = "/b/-ORCL/S_1.rar";
    EXPECT_EQ(SplitCommandLine(BuildExportCommandLine(ExportItem("", ""), program, dump, dump)),
              (std::vector<std::string>{program, "PARFILE=" + dump, "File=" + dump}));
    EXPECT_EQ(SplitCommandLine(BuildArchiverCommandLine("/p q/rar", archive, dump, "-x.LOG")),
              (std::vector<std::string>{"/p q/rar", "A", "-ep", "--", archive, dump, "-x.LOG"}));
}

TEST(ExportCommandLine, ARelativeProgramIsTakenFromTheProgramFolder)
{
    veltrane::test::TempDir dir;
    veltrane::test::WriteBytes(dir.File("exp"), "#!/bin/sh\n");
    chmod(dir.File("exp").c_str(), 0755);
    EXPECT_EQ(ResolveExportProgram(dir.path(), "bin/exp"), dir.File("bin/exp"));
    EXPECT_EQ(ResolveExportProgram(dir.path(), "exp"), dir.File("exp"));
    EXPECT_EQ(ResolveExportProgram(dir.path(), "imp"), "imp"); // left to the search path
    EXPECT_EQ(ResolveExportProgram(dir.path(), "/opt/exp"), "/opt/exp");
}

TEST(FtpServerText, GivesHostAndPort)
{
    const struct
    {
        const char* text;
        const char* host;
        int port;
    } cases[] = {
        {"ftp.example.kr:2121", "ftp.example.kr", 2121},
        {"ftp.example.kr", "ftp.example.kr", 21},
        {"ftp.example.kr:0", "ftp.example.kr", 21},
        {"ftp.example.kr:-4", "ftp.example.kr", 21},
        {"ftp.example.kr:2121:more", "ftp.example.kr", 2121},
        {"ftp.example.kr: 2121 ", "ftp.example.kr", 2121},
        {"ftp.example.kr:21.6", "ftp.example.kr", 22},
        {"ftp.example.kr:40000", "ftp.example.kr", 40000},
        {"ftp.example.kr:+2121", "ftp.example.kr", 2121},
        {"ftp.example.kr:1e3", "ftp.example.kr", 1000},
        {"ftp.example.kr: 2121\t", "ftp.example.kr", 2121},
        {"sftp://ftp.example.kr:2222", "sftp://ftp.example.kr", 2222},
        {"ftps://ftp.example.kr", "ftps://ftp.example.kr", 0},
        {"ftpes://ftp.example.kr:0", "ftpes://ftp.example.kr", 0},
        {"sftp://[::1]:2222", "sftp://[::1]", 2222},
        {"[fe80::1]", "[fe80::1]", 21},
    };
    for (const auto& c : cases) {
        const Result<FtpEndpoint> e = ParseFtpServer(c.text);
        ASSERT_TRUE(e) << c.text;
        EXPECT_EQ(e->host, c.host) << c.text;
        EXPECT_EQ(e->port, c.port) << c.text;
    }
}

TEST(FtpServerText, RefusesPortsThatAreNoNumberOrTooLargeAndAnEmptyHost)
{
    const struct
    {
        const char* text;
        int code;
    } cases[] = {{"host:abc", 13}, {"host:", 13},     {"host:21x", 13},  {"host:nan", 13},
                 {"host:inf", 13}, {"host:0x15", 13}, {"host:65536", 6}, {"host:1e999", 6},
                 {"", 5},          {":21", 5},        {"sftp://", 5},    {"sftp://:22", 5}};
    for (const auto& c : cases) {
        const Result<FtpEndpoint> e = ParseFtpServer(c.text);
        ASSERT_FALSE(e) << c.text << " was accepted";
        EXPECT_EQ(e.error().code, c.code) << c.text;
        EXPECT_EQ(e.error().component, "RunBackupJob");
    }
}

TEST(LibraryBinder, NamesTheMissingLibraryOrEntryPoint)
{
    LibraryBinder missing("libNoSuchLibrary.so", "/nonexistent");
    const Result<void*> library = missing.Entry("SendMail");
    ASSERT_FALSE(library) << "a missing library was bound";
    EXPECT_NE(library.error().description.find("libNoSuchLibrary.so"), std::string::npos);
    EXPECT_EQ(library.error().code, kLibraryNotFound);

    // A real library found by the system's search, without the entry point.
    LibraryBinder math("libm.so.6", "/nonexistent");
    ASSERT_TRUE(math.Entry("cos"));
    EXPECT_EQ(*math.Entry("cos"), *math.Entry("cos"));
    const Result<void*> entry = math.Entry("PutLocalFileViaFTP");
    ASSERT_FALSE(entry) << "a missing entry point was bound";
    EXPECT_NE(entry.error().description.find("PutLocalFileViaFTP"), std::string::npos);
    EXPECT_EQ(entry.error().code, kEntryPointNotFound);
}

TEST(CallWhileYielding, KeepsYieldingUntilTheCallReturns)
{
    // The call finishes only after the caller has yielded three times, so a
    // caller that waited without yielding would never return.
    std::atomic<int> yields{0};
    int result = CallWhileYielding(
        [&] {
            while (yields.load() < 3)
                std::this_thread::yield();
            return 7;
        },
        [&] { ++yields; });
    EXPECT_EQ(result, 7);
    EXPECT_GE(yields.load(), 3);
}

TEST(CallWhileYielding, PassesOnWhatTheCallThrows)
{
    EXPECT_THROW(CallWhileYielding([]() -> int { throw std::runtime_error("boom"); }, [] {}),
                 std::runtime_error);
}

TEST(SendResultMail, AMissingLibraryIsShownAndGivesFalse)
{
    LibraryBinder missing("libNoSuchLibrary.so", "/nonexistent");
    std::vector<std::string> shown;
    MailContext context{missing, "/tmp", [&](const std::string& t) { shown.push_back(t); }, [] {}};
    ResultMail mail;
    mail.recipients = "dba@example.kr";
    EXPECT_FALSE(SendResultMail(mail, context).sent);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("libNoSuchLibrary.so"), std::string::npos);
    EXPECT_EQ(DefaultSender("", ""), "Veltrane <@>");
    EXPECT_EQ(DefaultSender("backup", "mail.example.kr"), "Veltrane <backup@mail.example.kr>");
    for (const char* server :
         {"mail.example.kr:587", "smtps://mail.example.kr:465", "smtp+starttls://mail.example.kr"})
        EXPECT_EQ(DefaultSender("backup", server), "Veltrane <backup@mail.example.kr>") << server;
}

// A failure is named by its cause, not by the utility's closing summary.
TEST(FailureCause, IsTheDatabasesReasonElseTheUtilitysElseTheLastLine)
{
    const std::string huge(12 << 20, 'x');
    const struct
    {
        std::string output;
        const char* prefix;
        std::string cause;
    } cases[] = {
        {"EXP-00056: ORACLE error 1017 encountered\nORA-01017: invalid username/password; "
         "logon denied\nEXP-00000: Export terminated unsuccessfully\n",
         "EXP-", "ORA-01017: invalid username/password; logon denied"},
        {"EXP-00002: error in writing to export file\r\nEXP-00000: Export terminated "
         "unsuccessfully\r\n",
         "EXP-", "EXP-00002: error in writing to export file"},
        {"IMP-00010: not a valid export file\nIMP-00000: Import terminated unsuccessfully\n",
         "IMP-", "IMP-00010: not a valid export file"},
        {"  exp: error while loading shared libraries  \n\n", "EXP-",
         "exp: error while loading shared libraries"},
        {"EXP-00000: Export terminated unsuccessfully\n", "EXP-",
         "EXP-00000: Export terminated unsuccessfully"},
        {" \n", "EXP-", "출력 없음"},
        {"start\n" + huge + "\n", "", std::string(kCauseCharacters, 'x') + "…"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FailureCause(c.output, c.prefix), c.cause) << c.output.substr(0, 60);
    EXPECT_EQ(FirstWarning("Export: Release\nEXP-00011: SCOTT.EMPX does not exist\nEXP-00011: "
                           "SCOTT.DEPTX does not exist\nExport terminated successfully with "
                           "warnings.\n"),
              "EXP-00011: SCOTT.EMPX does not exist");
    EXPECT_EQ(FirstWarning("Export terminated successfully without warnings.\n"), "");
    // The database's word reaches a terminal with its escape sequences written out.
    EXPECT_EQ(FailureCause("ORA-20001: 잘못됨 \x1b[2J\xc2\x9b\t끝\n", ""),
              "ORA-20001: 잘못됨 \\u001b[2J\\u009b\\t끝");
}

// The refusals of a login, in the forms of both export utilities; no other failure.
TEST(OutputWatch, TellsARefusedLoginApart)
{
    for (const auto& [output, refused] : std::initializer_list<std::pair<const char*, bool>>{
             {"ORA-28000: the account is locked\n", true},
             {"ORA-28001: the password has expired\n", true},
             {"ORA-01045: user SCOTT lacks CREATE SESSION privilege; logon denied\n", true},
             {"UDE-28000: operation generated ORACLE error 28000\n", true},
             {"ORA-12541: TNS:no listener\n", false}}) {
        OutputWatch watch("EXP-", {});
        watch.Feed(output);
        watch.Finish();
        EXPECT_EQ(watch.LoginRefused(), refused) << output;
    }
}

// The output comes in chunks of any size: what the watch makes of it is what
// it makes of the whole at once, and a text of success counts wherever it lies
// (cut by chunks, at either end, behind lines of any ending), in none of its
// near misses.
TEST(OutputWatch, JudgesTheSameWhateverTheChunks)
{
    const std::string close = "Export terminated successfully without warnings.";
    const std::string korean = "엑스포트가 경고 없이 정상적으로 종료되었습니다.";
    const std::string body = ". . exporting table  EMP  14 rows exported\r\nEXP-00011: SCOTT.X "
                             "does not exist\rORA-00942: 없음\n/u01/SCOTT_01.DMP\n";
    for (const auto& [output, succeeded] : std::initializer_list<std::pair<std::string, bool>>{
             {body + close + "\n", true},
             {close, true},
             {body + korean, true},
             {"성공적으로 끝났습니다\r\n" + body, true},
             {body + "Export terminated successfull" + body, false},
             {body + "정상적으로 종료되었습니다" + body, false},
             {"", false}}) {
        OutputWatch whole("EXP-", ExportSuccessTextsForTest());
        whole.Feed(output);
        whole.Finish();
        EXPECT_EQ(whole.Succeeded(), succeeded) << output;
        for (std::size_t size : {1, 2, 3, 7, 24, 256}) {
            OutputWatch watch("EXP-", ExportSuccessTextsForTest());
            for (std::size_t at = 0; at < output.size(); at += size)
                watch.Feed(std::string_view(output).substr(at, size));
            watch.Finish();
            EXPECT_EQ(watch.Succeeded(), succeeded) << output << " in chunks of " << size;
            EXPECT_EQ(watch.Cause(), whole.Cause()) << size;
            EXPECT_EQ(watch.Warning(), whole.Warning()) << size;
            EXPECT_EQ(watch.ListedPieces(), whole.ListedPieces()) << size;
        }
    }
}

TEST(DataPump, AnItemIsDataPumpOnlyWhenItsUtilityIsNamedExpdp)
{
    for (const auto& [path, dataPump] :
         std::vector<std::pair<std::string, bool>>{{"expdp", true},
                                                   {"/u01/app/bin/EXPDP.EXE", true},
                                                   {R"(C:\oracle\bin\Expdp.exe)", true},
                                                   {"/opt/oracle/bin/exp", false},
                                                   {"/expdp/exp", false},
                                                   {"expdp.sh", false},
                                                   {"myexpdp", false}})
        EXPECT_EQ(IsDataPumpProgram(path), dataPump) << path;
    EXPECT_EQ(DataPumpImportBeside("/u01/bin/EXPDP.EXE"), "/u01/bin/IMPDP.EXE");
    EXPECT_EQ(DataPumpImportBeside("expdp"), "impdp");
}

TEST(DataPump, TheCommandLineNamesTheDirectoryTheSetTheJobAndOneMoment)
{
    RunFiles files;
    files.filePrefix = "/b/ORCL/SCOTT_";
    files.SetStamp("20070305140709");
    const std::string job = DataPumpJobName(files);
    EXPECT_EQ(job.size(), 30u);
    EXPECT_TRUE(job.starts_with("VELTRANE_20070305140709_")) << job;
    RunFiles other = files;
    other.filePrefix = "/c/ORCL/SCOTT_";
    EXPECT_NE(DataPumpJobName(other), job);
    EXPECT_NE(DataPumpReadBackJobName(files), job);
    EXPECT_EQ(DataPumpReadBackJobName(files).size(), 30u);

    const std::string head = "expdp PARFILE=/p DIRECTORY=";
    const std::string set = " DUMPFILE=SCOTT_20070305140709_%U.DMP "
                            "LOGFILE=SCOTT_20070305140709.EXPDP.LOG JOB_NAME=" +
                            job;
    const struct
    {
        const char* tables;
        const char* option;
        std::string expected;
        const char* legacy;
    } cases[] = {
        {"", "", head + "DATA_PUMP_DIR" + set + " SCHEMAS=SCOTT FLASHBACK_TIME=SYSTIMESTAMP", ""},
        {"EMP, DEPT", "directory=BACKUPS parallel=2",
         head + "BACKUPS" + set + " TABLES=EMP,DEPT FLASHBACK_TIME=SYSTIMESTAMP parallel=2", ""},
        {"", "Flashback_Scn=123", head + "DATA_PUMP_DIR" + set + " SCHEMAS=SCOTT Flashback_Scn=123",
         ""},
        {"", "compress=n Owner=scott", "", "compress"},
        {"", "FULL=Y", head + "DATA_PUMP_DIR" + set + " FLASHBACK_TIME=SYSTIMESTAMP FULL=Y", ""},
    };
    for (const auto& c : cases) {
        ScheduleRecord r = ExportItem(c.tables, c.option);
        EXPECT_EQ(LegacyKeywordIn(c.option).value_or(""), c.legacy) << c.option;
        EXPECT_FALSE(ReservedKeywordIn(c.option)) << c.option;
        if (*c.legacy == '\0') {
            EXPECT_EQ(BuildDataPumpCommandLine(r, "expdp", files, "/p"), c.expected) << c.option;
        }
    }
    EXPECT_EQ(ReservedKeywordIn("parallel=2 dumpfile=x.dmp").value_or(""), "dumpfile");
}
