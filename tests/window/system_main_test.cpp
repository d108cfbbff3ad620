// The main window on the offscreen platform, driven through its real widgets.

#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/manual_clock.h"
#include "support/quiet_tray.h"
#include "support/temp_dir.h"
#include "window/system_main.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace veltrane;
using veltrane::test::ManualClock;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;

namespace {

const std::string kJobData = JOB_TEST_DATA_DIR;

class MainWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* library : {kMailLibraryFile, kFtpLibraryFile})
            std::filesystem::create_symlink(std::string(VELTRANE_PROGRAM_DIR) + "/" + library,
                                            program.File(library));
    }

    // Writes Schedule.dat before the window starts.
    void Schedule(const std::vector<ScheduleRecord>& records)
    {
        ScheduleTable table;
        for (const auto& r : records)
            table.push_back(std::make_shared<ScheduleRecord>(r));
        std::string error;
        ASSERT_TRUE(SaveSchedule(program.File("Schedule.dat"), table, error)) << error;
    }

    SystemMain& Window(const Clock& clock)
    {
        window = std::make_unique<SystemMain>(clock, program.path(), &tray);
        window->SetMessagePresenter(
            [this](SystemMain::MessageKind, const std::string& text) { messages.push_back(text); });
        return *window;
    }

    std::string Panel(int n) const { return window->StatusText(n); }

    TempDir program, backups;
    ManualClock clock{"2026-12-07 14:10:00"};
    test::QuietTray tray;
    std::unique_ptr<SystemMain> window;
    std::vector<std::string> messages;
};

ScheduleRecord Item(std::int32_t number, const char* service)
{
    ScheduleRecord r;
    r.nNo = number;
    r.bEnabled = true;
    r.strBackUpType = "매일";
    r.strTime = "14:30:00";
    r.strServiceName = service;
    r.strID = "SCOTT";
    r.strPWD = "tiger";
    return r;
}

QStringList Column(QTreeWidget* list, int column)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(column);
    return texts;
}

} // namespace

TEST_F(MainWindow, StartsWithoutAScheduleFile)
{
    SystemMain& w = Window(clock);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Veltrane [Build No. : 1.0.70]"));
    QStringList headers;
    for (int i = 0; i < w.lvList->columnCount(); ++i)
        headers << w.lvList->headerItem()->text(i);
    EXPECT_EQ(headers, (QStringList{"No", "ProfileName", "User ID", "Schedule", "Path",
                                    "Latest Back Time", "Program Path"}));
    EXPECT_EQ(w.lvList->topLevelItemCount(), 0);
    EXPECT_EQ(Panel(1), "Ready");
    EXPECT_EQ(Panel(2), "");
    EXPECT_EQ(w.lstErrorList->count(), 0);
    EXPECT_TRUE(w.tm_Clock.isActive());
    EXPECT_EQ(w.tm_Clock.interval(), 1000);
    EXPECT_TRUE(w.tmScheduleLaunch.isActive());
    EXPECT_EQ(w.tmScheduleLaunch.interval(), 1000);
    QStringList buttons;
    for (QPushButton* b :
         {w.cmdBackUpNow, w.cmdSave, w.cmdToSysTray, w.cmdItemDelete, w.cmdInsertItem})
        buttons << b->text();
    EXPECT_EQ(buttons, (QStringList{"선택항목백업", "저장", "시스템 트레이로", "항목 삭제",
                                    "백업항목 추가"}));
}

TEST_F(MainWindow, ShowsTheScheduleItemsWithTheirCheckBoxes)
{
    ScheduleRecord weekly = Item(3, "ORCL");
    weekly.strBackUpType = "매주";
    weekly.strWeek = "월";
    weekly.strTime = "02:00:00";
    weekly.strBackUpFolder = "/backup/";
    weekly.strLastBackUpTime = "2026-12-01 02:00:05";
    weekly.strProgramPath = "/opt/oracle/bin/exp";
    ScheduleRecord off = Item(9, "TEST");
    off.bEnabled = false;
    Schedule({weekly, off});
    SystemMain& w = Window(clock);
    ASSERT_EQ(w.lvList->topLevelItemCount(), 2);
    QTreeWidgetItem* row = w.lvList->topLevelItem(0);
    QStringList cells;
    for (int i = 0; i < 7; ++i)
        cells << row->text(i);
    EXPECT_EQ(cells, (QStringList{"1", "ORCL", "SCOTT", "매주 월 요일 02:00:00", "/backup/",
                                  "2026-12-01 02:00:05", "/opt/oracle/bin/exp"}));
    EXPECT_EQ(row->checkState(0), Qt::Checked);
    EXPECT_EQ(w.lvList->topLevelItem(1)->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(row->flags() & Qt::ItemIsEditable);
}

TEST_F(MainWindow, BackUpNowFlagsEveryRecordWithTheSelectedNumber)
{
    SystemMain& w = Window(clock);
    auto& table = w.Service().Table();
    for (auto [number, name] : {std::pair{5, "A"}, std::pair{5, "B"}, std::pair{6, "C"}})
        table.push_back(std::make_shared<ScheduleRecord>(Item(number, name)));
    w.RefreshItemList();
    w.show();

    QTest::mouseClick(w.cmdBackUpNow, Qt::LeftButton);
    for (const auto& r : table)
        EXPECT_FALSE(r->bRunNow) << "nothing selected";

    QRect rowRect = w.lvList->visualItemRect(w.lvList->topLevelItem(0));
    QTest::mouseClick(w.lvList->viewport(), Qt::LeftButton, {}, rowRect.center());
    QTest::mouseClick(w.cmdBackUpNow, Qt::LeftButton);
    EXPECT_TRUE(table[0]->bRunNow);
    EXPECT_TRUE(table[1]->bRunNow);
    EXPECT_FALSE(table[2]->bRunNow);
}

TEST_F(MainWindow, ResizingMovesTheListsAndTheButtonsWithTheEdges)
{
    SystemMain& w = Window(clock);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QRect list = w.lvList->geometry();
    const QRect results = w.lstErrorList->geometry();
    const QRect buttons = w.frOperation->geometry();

    w.resize(w.size() + QSize(600 / kTwipsPerPixel, 600 / kTwipsPerPixel));
    QApplication::processEvents();
    EXPECT_EQ(w.lvList->geometry(), list.adjusted(0, 0, 40, 40));
    EXPECT_EQ(w.lstErrorList->geometry(), results.translated(0, 40).adjusted(0, 0, 40, 0));
    EXPECT_EQ(w.frOperation->geometry(), buttons.translated(40, 0));

    const QRect before = w.lvList->geometry();
    w.showMinimized();
    QApplication::processEvents();
    w.showNormal();
    QApplication::processEvents();
    EXPECT_EQ(w.lvList->geometry(), before);

    w.resize(20, 20); // too small: the negative sizes are skipped, nothing breaks
    QApplication::processEvents();
    EXPECT_GE(w.lvList->width(), 0);
}

TEST_F(MainWindow, ALaunchTickRunsADueItemAndTheListShowsItsLatestBackTime)
{
    ScheduleRecord due = Item(1, "ORCL");
    due.strBackUpFolder = backups.path() + "/";
    due.strProgramPath = kJobData + "/fake_exp.py";
    Schedule({due});
    setenv("FAKE_EXP_MODE", "english", 1);
    SystemMain& w = Window(clock);
    EXPECT_EQ(w.lvList->topLevelItem(0)->text(5), "");

    w.LaunchTick();
    EXPECT_EQ(w.lvList->topLevelItem(0)->text(5), "2026-12-07 14:10:00");
    ASSERT_GE(w.lstErrorList->count(), 1);
    EXPECT_EQ(w.lstErrorList->item(0)->text(), "[2026-12-07 14:10:00] ORCL백업결과 메일전송 성공");
    EXPECT_EQ(Panel(1), "Ready.");

    w.LaunchTick(); // ran within this hour: not due again
    EXPECT_EQ(w.lstErrorList->count(), 1);
}

TEST_F(MainWindow, TheClockKeepsTickingDuringASilentExport)
{
    ScheduleRecord item = Item(1, "ORCL");
    item.strBackUpType = "";
    item.bRunNow = true;
    item.strBackUpFolder = backups.path() + "/";
    item.strProgramPath = kJobData + "/fake_exp.py";
    setenv("FAKE_EXP_SILENCE", "3", 1);
    SystemClock wallClock;
    SystemMain& w = Window(wallClock);
    w.Service().Table().push_back(std::make_shared<ScheduleRecord>(item));
    w.show();

    QSet<QString> seen;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { seen.insert(w.lbTime->text()); });
    sampler.start(100);
    w.LaunchTick();
    unsetenv("FAKE_EXP_SILENCE");
    // Three seconds of silence: the clock label showed at least three times.
    EXPECT_GE(seen.size(), 3) << seen.values().join(", ").toStdString();
    EXPECT_NE(w.lstErrorList->count(), 0);
}

TEST_F(MainWindow, ToTheTrayHidesTheWindowIntoTheTray)
{
    SystemMain& w = Window(clock);
    w.show();
    QTest::mouseClick(w.cmdToSysTray, Qt::LeftButton);
    EXPECT_TRUE(w.Tray().InTray());
}

namespace {

// Whether some process holds an flock on the file (from /proc/locks, which
// names locked files by device and inode), without touching the lock.
bool SomeoneLocks(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::istringstream locks(ReadBytes("/proc/locks"));
    for (std::string line; std::getline(locks, line);)
        if (line.find("FLOCK") != std::string::npos && line.find(inode) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(Program, ASecondCopyFromTheSameFolderRefusesToStart)
{
    TempDir folder;
    const std::string program = folder.File("veltrane");
    std::filesystem::copy_file(std::string(VELTRANE_PROGRAM_DIR) + "/veltrane", program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};
    veltrane::test::ChildProcess first({program}, folder.File("first.log"), env);
    // Wait until the first copy holds its lock.
    for (int i = 0; i < 200 && !SomeoneLocks(folder.File(".veltrane.lock")); ++i)
        QTest::qWait(50);
    ASSERT_TRUE(SomeoneLocks(folder.File(".veltrane.lock"))) << ReadBytes(folder.File("first.log"));
    veltrane::test::ChildProcess second({program}, folder.File("second.log"), env);
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        QTest::qWait(50);
        refused = ReadBytes(folder.File("second.log")).find("already running") != std::string::npos;
    }
    EXPECT_TRUE(refused) << ReadBytes(folder.File("second.log"));
    EXPECT_TRUE(first.Running());
}
