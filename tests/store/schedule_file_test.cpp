#include "platform/codepage.h"
#include "store/run_state.h"
#include "store/schedule_file.h"
#include "support/temp_dir.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace veltrane;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;

namespace {

const std::string kFixture = std::string(VELTRANE_TEST_DATA_DIR) + "/Schedule-handmade.dat";

std::shared_ptr<ScheduleRecord> Numbered(std::int32_t n)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->nNo = n;
    r->strServiceName = "SVC" + std::to_string(n);
    return r;
}

// Saves, and gives the reason of a failure ("" when saved).
std::string SaveProblem(const std::string& path, const ScheduleTable& table)
{
    const Status saved = SaveSchedule(path, table);
    return saved ? std::string() : saved.error().description;
}

// Loads into `table` when it can, and gives the reason of a failure.
std::string LoadProblem(const std::string& path, ScheduleTable& table)
{
    Result<ScheduleTable> loaded = LoadSchedule(path);
    if (!loaded)
        return loaded.error().description;
    table = std::move(*loaded);
    return {};
}

std::string Save(const std::string& path, const ScheduleTable& table)
{
    const std::string error = SaveProblem(path, table);
    EXPECT_EQ(error, "");
    return error;
}

// Loads a file that must be readable.
void Load(const std::string& path, ScheduleTable& table)
{
    EXPECT_EQ(LoadProblem(path, table), "");
}

} // namespace

// A schedule that is there but holds nothing that can be read is refused, and
// the table in memory is kept: an empty one in its place would stop every
// backup without a word.
TEST(LoadSchedule, AFileWithoutItemsOrThatCannotBeReadIsRefused)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    const std::pair<const char*, std::string> cases[] = {
        {"text without columns", "this is no schedule\r\n"},
        {"UTF-16", std::string("1\0\t\0T\0r\0u\0e\0", 12)},
    };
    for (const auto& [what, bytes] : cases) {
        WriteBytes(path, bytes);
        ScheduleTable table{Numbered(7)};
        std::string error;
        EXPECT_FALSE((error = LoadProblem(path, table)).empty()) << what;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        ASSERT_EQ(table.size(), 1u) << what;
    }
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    ScheduleTable table;
    std::string error;
    EXPECT_FALSE((error = LoadProblem(path, table)).empty());
}

// A huge sparse file planted in the folder is refused unread, never taken
// into memory: Schedule.dat and Veltrane.state alike.
TEST(LoadSchedule, AFileBeyondItsLimitIsRefusedUnread)
{
    TempDir dir;
    for (const char* name : {"Schedule.dat", kRunStateFileName}) {
        WriteBytes(dir.File(name), "");
        ASSERT_EQ(truncate(dir.File(name).c_str(), off_t{3} << 30), 0);
    }
    const Result<ScheduleTable> table = LoadSchedule(dir.File("Schedule.dat"));
    const Status state = RunStateFile(dir.File(kRunStateFileName)).Load();
    ASSERT_TRUE(!table && !state);
    for (const Error& error : {table.error(), state.error()})
        EXPECT_NE(error.description.find("larger than 64 MiB (3221225472 bytes)"),
                  std::string::npos);
}

TEST(LoadSchedule, ReadsTheHandMadeFileFieldByField)
{
    ScheduleTable table{std::make_shared<ScheduleRecord>()};
    table[0]->bRunNow = true;
    Load(kFixture, table);
    ASSERT_EQ(table.size(), 4u); // its blank line is no item
    for (const auto& r : table)
        EXPECT_FALSE(r->bRunNow);

    const ScheduleRecord& full = *table[0];
    EXPECT_EQ(full.nNo, 3);
    EXPECT_TRUE(full.bEnabled);
    EXPECT_EQ(full.strBackUpType, "매일");
    EXPECT_EQ(full.nDay, 15);
    EXPECT_EQ(full.strWeek, "일");
    EXPECT_EQ(full.strTime, "02:00:00");
    EXPECT_EQ(full.strID, "scott");
    EXPECT_EQ(full.strPWD, "tiger");
    EXPECT_EQ(full.strBackUpFolder, "/backup/");
    EXPECT_EQ(full.strServiceName, "ORCL");
    EXPECT_EQ(full.strLastBackUpTime, "2026-12-01 02:00:00");
    EXPECT_EQ(full.strProgramPath, "/opt/oracle/bin/exp");
    EXPECT_EQ(full.strMailReceiveList, "a@x.com;b@y.com");
    EXPECT_EQ(full.nReservedFiles, 5);
    EXPECT_EQ(full.strTables, "EMP DEPT");
    EXPECT_EQ(full.strExecutionOption, "rows=y");
    EXPECT_EQ(full.strDescription, "설명");
    EXPECT_TRUE(full.bUseSmtpServer); // "TRUE"
    EXPECT_EQ(full.strSmtpUserID, "smtpuser");
    EXPECT_EQ(full.strSmtpUserPassword, "smtp-pass");
    EXPECT_EQ(full.strSmtpServer, "smtp.example.com");
    EXPECT_TRUE(full.bDataTransfer);  // "1"
    EXPECT_FALSE(full.bDataCompress); // "other"
    EXPECT_EQ(full.strFtpUserID, "ftpuser");
    EXPECT_EQ(full.strFtpUserPassword, "비밀번호1");
    EXPECT_EQ(full.strFtpServer, "ftp.example.com:2121");
    EXPECT_EQ(full.strFtpLocation, "/remote"); // columns beyond it are ignored

    const ScheduleRecord& six = *table[1];
    EXPECT_EQ(six.nNo, 7);
    EXPECT_FALSE(six.bEnabled);
    EXPECT_EQ(six.strBackUpType, "매주");
    EXPECT_EQ(six.nDay, 0); // empty column
    EXPECT_EQ(six.strWeek, "화");
    EXPECT_EQ(six.strTime, "23:05:00");
    EXPECT_EQ(six.strID, "");
    EXPECT_EQ(six.nReservedFiles, 0);
    EXPECT_EQ(six.strSmtpUserPassword, "");
    EXPECT_EQ(six.strFtpUserPassword, "");
    EXPECT_FALSE(six.bDataTransfer);

    const ScheduleRecord& odd = *table[2];
    EXPECT_EQ(odd.nNo, 12);                      // "12abc"
    EXPECT_FALSE(odd.bEnabled);                  // "yes" is no boolean
    EXPECT_EQ(odd.nDay, 0);                      // 99999 does not fit 16 bits
    EXPECT_EQ(odd.nReservedFiles, 0);            // "abc"
    EXPECT_FALSE(odd.bUseSmtpServer);            // "0"
    EXPECT_EQ(odd.strSmtpUserPassword, "");      // "???" does not decipher
    EXPECT_TRUE(odd.bDataTransfer);              // "tRuE"
    EXPECT_TRUE(odd.bDataCompress);              // "-1"
    EXPECT_EQ(odd.strFtpUserPassword, "ftp:pw"); // blanks inside the Base64

    const ScheduleRecord& last = *table[3];
    EXPECT_EQ(last.nNo, 9);
    EXPECT_TRUE(last.bEnabled);
    EXPECT_EQ(last.strBackUpType, "매시간");
    EXPECT_EQ(last.nDay, -3);
    EXPECT_EQ(last.nReservedFiles, 0);       // 40000 does not fit 16 bits
    EXPECT_EQ(last.strSmtpUserPassword, ""); // a Korean letter in the Base64
    EXPECT_EQ(last.strFtpUserPassword, "");
}

TEST(LoadSchedule, MissingOrEmptyFileGivesAnEmptyTable)
{
    TempDir dir;
    ScheduleTable table{Numbered(1)};
    Load(dir.File("Schedule.dat"), table);
    EXPECT_TRUE(table.empty());

    WriteBytes(dir.File("Schedule.dat"), "");
    table.push_back(Numbered(1));
    Load(dir.File("Schedule.dat"), table);
    EXPECT_TRUE(table.empty());

    WriteBytes(dir.File("Schedule.dat"), " \t\r\n\n\t\t\r"); // blank lines are no items
    Load(dir.File("Schedule.dat"), table);
    EXPECT_TRUE(table.empty());
}

TEST(LoadSchedule, NumbersRoundToTheNearestInteger)
{
    const std::string tiny = "0." + std::string(324, '0') + "1";
    const std::string huge = "1" + std::string(400, '0') + "e-20";
    const std::pair<std::string, std::int32_t> cases[] = {
        {"4", 4},
        {" 4", 4},
        {"-2", -2},
        {"2.5", 2},
        {"3.5", 4},
        {"1.6x", 2},
        {"x1", 0},
        {"", 0},
        {"99999999999", 0},
        // Beyond a double's range the written value decides, not the
        // exponent's sign: the first is 0, the second far too large.
        {tiny, 0},
        {huge, 0},
        {"-" + tiny, 0},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseScheduleLine(text).nNo, expected) << text.substr(0, 12);
    EXPECT_EQ(ParseScheduleLine("1\t\t\t" + tiny).nDay, 0);
    EXPECT_EQ(ParseScheduleLine("1\t\t\t5" + huge).nDay, 0); // refused: stays the default
}

TEST(LoadSchedule, OnlyTrueFalseAndDecimalNumbersAreBooleans)
{
    const std::pair<const char*, bool> cases[] = {
        {"TRUE", true},       {"false", false}, {"1", true},    {" -1 ", true},  {"0.0", false},
        {"1e3", true},        {"+2", true},     {"nan", false}, {"-NaN", false}, {"inf", false},
        {"+Infinity", false}, {"0x1", false},   {"yes", false}, {"", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseScheduleLine(std::string("1\t") + text).bEnabled, expected) << text;
}

TEST(LoadSchedule, OnlyARegularFileIsRead)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    ScheduleTable table{Numbered(1)};
    std::string error;
    EXPECT_FALSE((error = LoadProblem(path, table)).empty()); // would block for ever on the FIFO
    EXPECT_EQ(table.size(), 1u);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE((error = SaveProblem(path, {Numbered(1)})).empty());
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    struct stat st
    {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(SaveSchedule, WritesTheExactLineLayout)
{
    ScheduleRecord r;
    r.nNo = 42;
    r.bEnabled = true;
    r.strBackUpType = "매일";
    r.nDay = 0;
    r.strWeek = "";
    r.strTime = "02:00:00";
    r.strServiceName = "ORCL";
    r.strID = "scott";
    r.strPWD = "tiger";
    r.strBackUpFolder = "/backup/";
    r.nReservedFiles = -1;
    r.bUseSmtpServer = true;
    r.strSmtpUserPassword = "smtp-pass";
    r.bDataCompress = true;
    r.strFtpUserPassword = "";
    r.strFtpLocation = "/remote";
    TempDir dir;
    Save(dir.File("Schedule.dat"), {std::make_shared<ScheduleRecord>(r)});
    // Column 0 is the position, not nNo; columns 6..9 are ID, password, folder, service.
    const std::string expected =
        "1\tTrue\t\xB8\xC5\xC0\xCF\t0\t\t02:00:00\tscott\ttiger\t/backup/\tORCL"
        "\t\t\t\t-1\t\t\t\tTrue\t\taFuWqX2m6a2ZLMd/zZlwvA==\t\tFalse\tTrue"
        "\t\tAHIrePOncqY=\t\t/remote\r\n";
    EXPECT_EQ(ReadBytes(dir.File("Schedule.dat")), expected);
    EXPECT_EQ(r.nNo, 42);
}

TEST(SaveSchedule, RenumbersTheFileButNotTheTable)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    ScheduleTable table{Numbered(3), Numbered(7), Numbered(9)};
    Save(path, table);
    EXPECT_EQ(table[0]->nNo, 3);
    EXPECT_EQ(table[1]->nNo, 7);
    EXPECT_EQ(table[2]->nNo, 9);

    ScheduleTable loaded;
    Load(path, loaded);
    ASSERT_EQ(loaded.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(loaded[i]->nNo, i + 1);
        EXPECT_EQ(loaded[i]->strServiceName, table[i]->strServiceName);
    }
}

TEST(SaveSchedule, EmptyTableGivesEmptyFileAndBack)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    WriteBytes(path, "1\tTrue\r\n");
    Save(path, {});
    EXPECT_EQ(ReadBytes(path), "");
    ScheduleTable loaded{Numbered(1)};
    Load(path, loaded);
    EXPECT_TRUE(loaded.empty());
}

TEST(SaveSchedule, EveryFieldSurvivesARoundTrip)
{
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    const char* weekdays[] = {"일", "월", "화", "수", "목", "금", "토"};
    ScheduleTable table;
    for (int i = 0; i < 7; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = i + 1;
        r->bEnabled = i % 2 == 0;
        r->strBackUpType = kinds[i % 4];
        r->nDay = static_cast<std::int16_t>(i * 4 + 1);
        r->strWeek = weekdays[i];
        r->strTime = std::string("0").append(std::to_string(i)).append(":30:00");
        r->strServiceName = std::string("서비스").append(std::to_string(i));
        r->strID = std::string("id").append(std::to_string(i));
        r->strPWD = std::string("pw;\"x\"").append(std::to_string(i));
        r->strBackUpFolder = "/data/백업/";
        r->strLastBackUpTime =
            i ? std::string("2026-01-0").append(std::to_string(i)).append(" 01:02:03") : "";
        r->strProgramPath = "/opt/oracle/exp";
        r->strMailReceiveList = "a@b.kr;c@d.kr";
        r->nReservedFiles = static_cast<std::int16_t>(i - 1);
        r->strTables = "T1,T2";
        r->strExecutionOption = "rows=n";
        r->strDescription = std::string("설명 ").append(std::to_string(i));
        r->bUseSmtpServer = i % 3 == 0;
        r->strSmtpUserID = "smtp";
        r->strSmtpUserPassword = std::string(static_cast<std::size_t>(i * 3), 'k') + "암호";
        r->strSmtpServer = "mail.example.kr";
        r->bDataTransfer = i % 2 == 1;
        r->bDataCompress = i > 3;
        r->strFtpUserID = "ftp";
        r->strFtpUserPassword = std::string(static_cast<std::size_t>(i), 'p');
        r->strFtpServer = "ftp.example.kr:21";
        r->strFtpLocation = "/up";
        table.push_back(r);
    }
    TempDir dir;
    Save(dir.File("Schedule.dat"), table);
    ScheduleTable loaded;
    Load(dir.File("Schedule.dat"), loaded);
    ASSERT_EQ(loaded.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(FormatScheduleLine(*loaded[i], 1), FormatScheduleLine(*table[i], 1)) << i;
}

TEST(SaveSchedule, LineBreaksAndTabsInsideAFieldBecomeBlanks)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->strDescription = "first line\r\nsecond\tline\rthird\nfourth";
    TempDir dir;
    Save(dir.File("Schedule.dat"), {r, Numbered(2)});
    ScheduleTable loaded;
    Load(dir.File("Schedule.dat"), loaded);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0]->strDescription, "first line  second line third fourth");
    EXPECT_EQ(loaded[1]->strServiceName, "SVC2");
}

TEST(SaveSchedule, CreatesTheFileForItsOwnerOnlyAndKeepsAGroupsAccess)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    const std::pair<mode_t, mode_t> cases[] = {{0, 0600}, {0644, 0640}, {0664, 0660}, {0606, 0600}};
    for (const auto& [before, after] : cases) {
        unlink(path.c_str());
        if (before != 0) {
            WriteBytes(path, "");
            chmod(path.c_str(), before);
        }
        Save(path, {Numbered(1)});
        struct stat st
        {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, after) << std::oct << before;
    }
}

TEST(SaveSchedule, AReadOnlyFileIsRefusedAndKept)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    WriteBytes(path, "1\tTrue\r\n");
    chmod(path.c_str(), 0444);
    std::string error;
    EXPECT_FALSE((error = SaveProblem(path, {Numbered(1), Numbered(2)})).empty());
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), "1\tTrue\r\n");
    struct stat st
    {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(SaveSchedule, ALinkIsSavedThroughToTheFileItPointsTo)
{
    TempDir dir;
    std::filesystem::create_directory(dir.File("real"));
    const std::string target = dir.File("real/Schedule.dat");
    WriteBytes(target, "");
    const std::string link = dir.File("Schedule.dat");
    ASSERT_EQ(symlink("real/Schedule.dat", link.c_str()), 0);

    Save(link, {Numbered(1)});
    struct stat st
    {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ScheduleTable loaded;
    Load(target, loaded);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->strServiceName, "SVC1");
}

// A save killed at any moment leaves one whole generation of the file and at
// most one temporary beside it, which the next start removes.
TEST(SaveSchedule, AKilledSaveLeavesAWholeFileAndNoLastingDebris)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    constexpr std::size_t kRecords = 300;
    auto generation = [&](int g) {
        ScheduleTable table;
        for (std::size_t i = 0; i < kRecords; ++i) {
            table.push_back(Numbered(static_cast<std::int32_t>(i)));
            table.back()->strDescription = "generation " + std::to_string(g);
        }
        return table;
    };
    Save(path, generation(0));
    auto entries = [&] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
            ++n;
        return n;
    };
    std::srand(12345);
    for (int trial = 0; trial < 100; ++trial) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int g = 1;; ++g) {
                std::string error;
                (void)SaveSchedule(path, generation(g));
            }
        }
        usleep(static_cast<useconds_t>(std::rand() % 20000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);

        EXPECT_LE(entries(), 2u) << "trial " << trial;
        ScheduleTable loaded;
        Load(path, loaded);
        ASSERT_EQ(loaded.size(), kRecords) << "trial " << trial;
        for (const auto& r : loaded)
            ASSERT_EQ(r->strDescription, loaded.front()->strDescription) << "trial " << trial;
        EXPECT_EQ(entries(), 1u) << "trial " << trial;
    }
}

TEST(LoadSchedule, RemovesLeftoversOfInterruptedSavesOnly)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    WriteBytes(path, "");
    const char* leftovers[] = {"Schedule.dat.tmp", "Schedule.dat.a1B2c3", "Schedule.dat.Xy9abc"};
    const char* kept[] = {"Schedule.dat.backup", "Schedule.dat.261208", "Schedule.dat.bak",
                          "Other.dat.a1B2c3"};
    for (const char* name : leftovers)
        WriteBytes(dir.File(name), "partial");
    for (const char* name : kept)
        WriteBytes(dir.File(name), "operator's copy");
    ScheduleTable table;
    Load(path, table);
    for (const char* name : leftovers)
        EXPECT_FALSE(veltrane::test::FileExists(dir.File(name))) << name;
    for (const char* name : kept)
        EXPECT_TRUE(veltrane::test::FileExists(dir.File(name))) << name;
}

TEST(SaveSchedule, AFailedSaveKeepsTheOldFileAndSaysWhy)
{
    TempDir dir;
    const std::string path = dir.File("Schedule.dat");
    const std::string old = "1\tTrue\t\xB8\xC5\xC0\xCF\r\n";
    WriteBytes(path, old);

    // A disk that fills up part-way: the file size limit makes write() fail
    // (even for root) after the first 512 bytes of the new file.
    ScheduleTable big;
    for (int i = 0; i < 50; ++i)
        big.push_back(Numbered(i));
    struct rlimit saved
    {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 512;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tiny);
    std::string error;
    error = SaveProblem(path, big);
    bool saved_ok = error.empty();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved_ok);
    EXPECT_NE(error.find("Cannot write"), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(big.size(), 50u);
    // No temporary file is left behind.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 1u);

    // A folder that does not exist fails before anything is written.
    EXPECT_FALSE((error = SaveProblem(dir.File("missing/Schedule.dat"), big)).empty());
    EXPECT_FALSE(error.empty());
}
