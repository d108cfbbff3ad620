#include "platform/single_instance.h"
#include "schedule/schedule_text.h"
#include "support/temp_dir.h"
#include "window/log_viewer.h"
#include "window/tray.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace veltrane;

TEST(BuildScheduleText, ShowsKindWeekdayDayAndTime)
{
    const struct
    {
        const char* kind;
        const char* week;
        int day;
        const char* time;
        const char* expected;
    } cases[] = {
        {"매일", "", 0, "14:30:00", "매일 14:30:00"},
        {"매주", "월", 0, "02:00:00", "매주 월 요일 02:00:00"},
        {"매달", "", 15, "03:00:00", "매달 15일 03:00:00"},
        {"매시간", "", 0, "00:30:00", "매시간 30:00"},
        {"매시간", "", 0, "가b:30:00", "매시간 30:00"},         // cut by characters
        {"매일", "월", 0, "02:00:00", "매일 월 요일 02:00:00"}, // a weekday left over
        {"매달", "", 0, "03:00:00", "매달 0일 03:00:00"},
        {"매시간", "", 0, "", "매시간 "},
        {"", "", 0, "", " "},
    };
    for (const auto& c : cases) {
        ScheduleRecord r;
        r.strBackUpType = c.kind;
        r.strWeek = c.week;
        r.nDay = static_cast<std::int16_t>(c.day);
        r.strTime = c.time;
        EXPECT_EQ(BuildScheduleText(r), c.expected);
    }
}

TEST(RowItemNumber, ReadsTheRowNumberBack)
{
    EXPECT_EQ(RowItemNumber("12"), 12);
    EXPECT_EQ(RowItemNumber(" 7x"), 7);
    EXPECT_EQ(RowItemNumber("x7"), 0);
    EXPECT_EQ(RowItemNumber(""), 0);
}

namespace {

// The desktop, as the tray sees it: what was done, in order.
struct FakeTray : TrayPlatform
{
    bool available = true;
    int menuChoice = 0;
    std::vector<std::string> calls;
    std::function<void()> duringMenu;

    bool TrayAvailable() const override { return available; }
    void AddIcon(const std::string& tip) override { calls.push_back("add " + tip); }
    void SetTip(const std::string& tip) override { calls.push_back("tip " + tip); }
    void RemoveIcon() override { calls.push_back("remove"); }
    void HideWindow() override { calls.push_back("hide"); }
    void MinimizeWindow() override { calls.push_back("minimize"); }
    void ShowWindow() override { calls.push_back("show"); }
    int ShowMenu() override
    {
        calls.push_back("menu");
        if (duringMenu)
            duringMenu();
        return menuChoice;
    }
    void EndProcess() override { calls.push_back("end"); }
    void SetFailureIcon(bool failed) override { calls.push_back(failed ? "red" : "plain"); }
    void Notify(const std::string&, const std::string& text) override
    {
        calls.push_back("notify " + text);
    }
};

using Calls = std::vector<std::string>;
const std::string kTitle = "Veltrane [Build No. : 1.0.70]";

} // namespace

TEST(ItemLog, TheNewestExportLogIsReadFromCodePage949AndAHugeOneByItsEnd)
{
    test::TempDir folder;
    ScheduleRecord orcl;
    orcl.strServiceName = "ORCL";
    orcl.strID = "SCOTT";
    orcl.strBackUpFolder = folder.path() + "/";
    EXPECT_EQ(*LatestLogOf(orcl, folder.path()), ""); // no item folder yet
    mkdir(folder.File("ORCL").c_str(), 0700);
    const std::string newest = folder.File("ORCL/SCOTT_20261207020000.LOG");
    for (const char* other : {"SCOTT_20261201020000.LOG", "SCOTT_20261208020000.VERIFY.LOG",
                              "HR_20261209020000.LOG", "SCOTT_2026120902000.LOG"})
        test::WriteBytes(folder.File("ORCL/") + other, "");
    // "테이블" in code page 949.
    test::WriteBytes(newest, "first line\r\n\xC5\xD7\xC0\xCC\xBA\xED EMP\r\n");
    EXPECT_EQ(*LatestLogOf(orcl, folder.path()), newest);
    EXPECT_EQ(ReadLogTail(newest)->text, "first line\n테이블 EMP\n");
    EXPECT_FALSE(ReadLogTail(newest)->cut);
    const Result<LogTail> tail = ReadLogTail(newest, 16); // from inside the first line
    EXPECT_EQ(tail->text, "테이블 EMP\n");
    EXPECT_TRUE(tail->cut);
    EXPECT_EQ(tail->size, 24u);
    // A "log" that is a FIFO or a link is refused at once, never shown.
    ASSERT_EQ(mkfifo(folder.File("ORCL/fifo.LOG").c_str(), 0600), 0);
    ASSERT_EQ(symlink(newest.c_str(), folder.File("ORCL/link.LOG").c_str()), 0);
    EXPECT_EQ(ReadLogTail(folder.File("ORCL/fifo.LOG")).error().code, EINVAL);
    EXPECT_EQ(ReadLogTail(folder.File("ORCL/link.LOG")).error().code, ELOOP);

    // A result line leads to the item it names: the longest service name,
    // then the user whose files it names.
    ScheduleTable table;
    for (const auto& [service, user] :
         {std::pair{"ORCL", "SCOTT"}, {"ORCL2", "HR"}, {"ORCL", "HR"}}) {
        table.push_back(std::make_shared<ScheduleRecord>());
        table.back()->strServiceName = service;
        table.back()->strID = user;
    }
    EXPECT_EQ(ItemOfResultLine(table, "[2026-12-07 02:00:09] ORCL2 백업 성공: HR_1.DMP"), table[1]);
    EXPECT_EQ(ItemOfResultLine(table, "[2026-12-07 02:00:09] ORCL 백업 성공: HR_1.DMP"), table[2]);
    EXPECT_EQ(ItemOfResultLine(table, "[2026-12-07 02:00:09] ORCL백업결과 메일전송 성공"),
              table[0]);
    EXPECT_EQ(ItemOfResultLine(table, "[2026-12-07 02:00:09] Schedule.dat 저장 실패: x"), nullptr);
}

TEST(MSysTray, HidesIntoTheTrayTheRightButtonOpensTheMenuADoubleClickRestores)
{
    FakeTray platform;
    MSysTray tray(platform);
    tray.AddTrayIcon(kTitle);
    EXPECT_EQ(platform.calls, (Calls{"hide", "add " + kTitle}));
    tray.OnIconNotification(kTrayLeftButtonUp);
    tray.OnIconNotification(0x200); // the pointer moving over the icon
    EXPECT_EQ(platform.calls.size(), 2u);

    platform.menuChoice = 0; // dismissed
    tray.OnIconNotification(kTrayRightButtonUp);
    EXPECT_EQ(platform.calls.back(), "menu");
    EXPECT_TRUE(tray.InTray());

    platform.menuChoice = kMenuRestore;
    tray.OnIconNotification(kTrayRightButtonUp);
    EXPECT_EQ(platform.calls, (Calls{"hide", "add " + kTitle, "menu", "menu", "remove", "show"}));
    EXPECT_FALSE(tray.InTray());

    tray.AddTrayIcon(kTitle); // a second time: a new icon
    EXPECT_EQ(platform.calls.back(), "add " + kTitle);
    tray.SetTip("next"); // the schedule moved on: the icon shown says so
    tray.OnIconNotification(kTrayLeftDoubleClick);
    EXPECT_EQ(Calls(platform.calls.end() - 4, platform.calls.end()),
              (Calls{"add " + kTitle, "tip next", "remove", "show"}));
    EXPECT_FALSE(tray.InTray());
}

TEST(MSysTray, NotificationsWhileTheMenuIsOpenAreIgnored)
{
    FakeTray platform;
    MSysTray tray(platform);
    tray.AddTrayIcon(kTitle);
    int nestedMenus = 0;
    platform.duringMenu = [&] {
        if (nestedMenus++ == 0)
            tray.OnIconNotification(kTrayRightButtonUp);
    };
    tray.OnIconNotification(kTrayRightButtonUp);
    EXPECT_EQ(nestedMenus, 1);
}

TEST(MSysTray, EndRemovesTheIconAndEndsTheProcess)
{
    FakeTray platform;
    MSysTray tray(platform);
    tray.AddTrayIcon(kTitle);
    platform.menuChoice = kMenuEnd;
    tray.OnIconNotification(kTrayRightButtonUp);
    EXPECT_EQ(platform.calls, (Calls{"hide", "add " + kTitle, "menu", "remove", "end"}));
}

TEST(MSysTray, WithoutANotificationAreaTheWindowIsMinimizedNotHidden)
{
    FakeTray platform;
    platform.available = false;
    MSysTray tray(platform);
    tray.AddTrayIcon(kTitle);
    EXPECT_EQ(platform.calls, (Calls{"minimize"}));
    EXPECT_FALSE(tray.InTray());
}

TEST(MSysTray, TheIconComesBackWithTheNotificationArea)
{
    FakeTray platform;
    MSysTray tray(platform);
    tray.AddTrayIcon(kTitle);
    platform.available = false; // the taskbar went away
    tray.CheckTrayHost();
    tray.CheckTrayHost();
    platform.available = true; // and came back
    tray.CheckTrayHost();
    tray.CheckTrayHost();
    EXPECT_EQ(platform.calls, (Calls{"hide", "add " + kTitle, "add " + kTitle}));
}

TEST(MSysTray, TheIconTurnsRedWhileAFailureStandsAndEachNewOneIsNamedOnce)
{
    FakeTray platform;
    MSysTray tray(platform);
    tray.SetFailures({{"A 1", "old"}}); // standing at the start: no news
    tray.AddTrayIcon(kTitle);
    tray.SetFailures({{"A 1", "old"}, {"B 1", "b"}});
    tray.SetFailures({{"A 1", "old"}, {"B 1", "b"}}); // a tick: nothing new
    tray.SetFailures({{"A 2", "a again"}, {"B 1", "b"}});
    tray.SetFailures({});
    EXPECT_EQ(platform.calls,
              (Calls{"red", "hide", "add " + kTitle, "notify b", "notify a again", "plain"}));
}

TEST(RowTexts, AGiveUpIsMarkedAndTheCauseIsTheFailedPartsOwn)
{
    ScheduleRecord r;
    r.strLastBackUpTime = "2026-12-09 02:00:00";
    EXPECT_EQ(LatestBackTimeText(r), "2026-12-09 02:00:00");
    r.strGaveUpTime = "2026-12-08 02:00:00"; // an older give-up, since backed up
    EXPECT_EQ(LatestBackTimeText(r), "2026-12-09 02:00:00");
    r.strGaveUpTime = r.strLastBackUpTime;
    EXPECT_EQ(LatestBackTimeText(r), "2026-12-09 02:00:00 (포기)");

    EXPECT_EQ(FailureCauseText(r), ""); // never ran
    r.history.lastRunTime = "2026-12-09 02:00:00";
    r.history.lastCause = "ORA-12541";
    EXPECT_EQ(FailureCauseText(r), "ORA-12541");
    r.history.lastRunSucceeded = true;
    r.history.stepsCause = "메일 서버 응답 없음";
    EXPECT_EQ(FailureCauseText(r), ""); // a warning of a success is no failure
    r.history.failedSteps = 1;
    EXPECT_EQ(FailureCauseText(r), "메일 서버 응답 없음");

    // The Schedule cell says what the rules run by; what they cannot read
    // shows as stored.
    const struct
    {
        const char *kind, *week, *time;
        int day;
        const char* expected;
    } cases[] = {
        {"매일", "", "08:44:00", 0, "매일 08시"},
        {"매시간", "", "08:44:00", 0, "매시간 44분"},
        {"매주", "월", "02:00:00", 0, "매주 월요일 02:00:00"},
        {"매달", "", "03:00:00", 15, "매달 15일"},
        {"매일", "", "가b:30:00", 0, "매일 가b:30:00"},
        {"매시간", "", "", 0, "매시간 "},
    };
    for (const auto& c : cases) {
        r.strBackUpType = c.kind;
        r.strWeek = c.week;
        r.strTime = c.time;
        r.nDay = static_cast<std::int16_t>(c.day);
        EXPECT_EQ(RunScheduleText(r), c.expected);
    }
}

TEST(SingleInstanceLock, ASecondHolderOfTheSameFolderIsRefused)
{
    test::TempDir folder;
    umask(022);
    {
        SingleInstanceLock first(folder.path());
        ASSERT_TRUE(first.Held()) << first.Error();
        // Nobody else may open it: another account holding it would keep
        // Veltrane from starting.
        struct stat st
        {};
        ASSERT_EQ(stat(folder.File(".veltrane.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07, 0u);
        SingleInstanceLock second(folder.path());
        EXPECT_FALSE(second.Held());
        EXPECT_NE(second.Error().find("already running"), std::string::npos) << second.Error();
    }
    SingleInstanceLock again(folder.path()); // released with its holder
    EXPECT_TRUE(again.Held());
}

// A link in the lock file's place would lock some other file, not the
// folder: the program does not start, and says what to remove.
TEST(SingleInstanceLock, ALinkInTheLockFilesPlaceRefusesTheStart)
{
    test::TempDir folder;
    ASSERT_EQ(symlink("/nonexistent/lock", folder.File(".veltrane.lock").c_str()), 0);
    SingleInstanceLock first(folder.path());
    EXPECT_FALSE(first.Held());
    EXPECT_NE(first.Error().find(".veltrane.lock\": it is a symbolic link; remove it"),
              std::string::npos)
        << first.Error();
}
