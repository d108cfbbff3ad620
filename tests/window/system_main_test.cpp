// The main window on the offscreen platform, driven through its real widgets.

#include "platform/codepage.h"
#include "store/run_state.h"
#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/manual_clock.h"
#include "support/message_box.h"
#include "support/quiet_tray.h"
#include "support/temp_dir.h"
#include "support/x_desktop.h"
#include "window/item_rows.h"
#include "window/qt_tray_platform.h"
#include "window/system_main.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QTreeWidget>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace veltrane;
using veltrane::test::ManualClock;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WaitFor;
using veltrane::test::WaitUntil;
using veltrane::test::XDesktop;

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
        ASSERT_TRUE(SaveSchedule(program.File("Schedule.dat"), table).ok());
    }

    SystemMain& Window(const Clock& clock)
    {
        window = std::make_unique<SystemMain>(clock, program.path(), &tray);
        window->SetMessagePresenter(
            [this](SystemMain::MessageKind, const std::string& text) { messages.push_back(text); });
        return *window;
    }

    std::string Panel(int n) const { return window->StatusText(n); }

    // The runs execute on the window's worker: the window's own thread goes
    // on, showing what they tell, until they are done.
    void WaitForRuns()
    {
        while (window->Service().RunInProgress())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

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

} // namespace

TEST_F(MainWindow, StartsWithoutAScheduleFile)
{
    SystemMain& w = Window(clock);
    // "[*]" is where Qt marks unsaved changes; nothing is unsaved yet.
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Veltrane [Build No. : 1.0.70][*]"));
    EXPECT_FALSE(w.isWindowModified());
    QStringList headers;
    for (int i = 0; i < w.lvList->columnCount(); ++i)
        headers << w.lvList->headerItem()->text(i);
    EXPECT_EQ(headers,
              (QStringList{"No", "ProfileName", "User ID", "Schedule", "Path", "Latest Back Time",
                           "Program Path", "Next Run", "Last Result", "Cause"}));
    EXPECT_TRUE(w.lvList->header()->isSectionHidden(9)); // until the operator shows it
    EXPECT_EQ(w.lvList->topLevelItemCount(), 0);
    EXPECT_EQ(Panel(1), "Ready");
    EXPECT_EQ(Panel(2), "");
    EXPECT_EQ(w.lstErrorList->count(), 0);
    EXPECT_TRUE(w.tm_Clock.isActive());
    EXPECT_EQ(w.tm_Clock.interval(), 1000);
    EXPECT_TRUE(w.tmScheduleLaunch.isActive());
    EXPECT_EQ(w.tmScheduleLaunch.interval(), 1000);
    // Each button with an Alt key of its own.
    QStringList buttons;
    QSet<QKeySequence> keys;
    for (QPushButton* b :
         {w.cmdBackUpNow, w.cmdSave, w.cmdToSysTray, w.cmdItemDelete, w.cmdInsertItem}) {
        buttons << b->text().section('(', 0, 0);
        keys << QKeySequence::mnemonic(b->text());
    }
    EXPECT_EQ(buttons, (QStringList{"선택항목백업", "저장", "시스템 트레이로", "항목 삭제",
                                    "백업항목 추가"}));
    EXPECT_EQ(keys.size(), 5);
    EXPECT_FALSE(keys.contains(QKeySequence()));
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
    for (int i = 0; i < 9; ++i)
        cells << row->text(i);
    EXPECT_EQ(cells, (QStringList{"1", "ORCL", "SCOTT", "매주 월요일 02:00:00", "/backup/",
                                  "2026-12-01 02:00:05", "/opt/oracle/bin/exp",
                                  "2026-12-08 02:00:01", ""}));
    EXPECT_EQ(row->checkState(0), Qt::Checked);
    EXPECT_EQ(w.lvList->topLevelItem(1)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(w.lvList->topLevelItem(1)->text(7), "-"); // disabled: never runs
    EXPECT_FALSE(row->flags() & Qt::ItemIsEditable);
    w.lvList->topLevelItem(1)->setCheckState(0, Qt::Checked); // its next run shows at once
    EXPECT_EQ(w.lvList->topLevelItem(1)->text(7), "2026-12-07 14:10:00"); // due in this hour
}

TEST_F(MainWindow, AFailedRowSaysWhyAndAMonthlyItemShowsItsDayEvenAMonthAhead)
{
    ScheduleRecord monthly = Item(1, "ORCL");
    monthly.strBackUpType = "매달";
    monthly.nDay = 31; // 2026-12-31 is too soon after its last run; January has one
    monthly.strLastBackUpTime = "2026-12-07 00:00:05";
    monthly.history.lastRunTime = monthly.strLastBackUpTime;
    monthly.history.lastCause = "ORA-12541: TNS:no listener";
    Schedule({monthly});
    RunState state;
    state.items.push_back({KeyOf(monthly), monthly.history, {}, {}});
    test::WriteBytes(program.File(kRunStateFileName), FormatRunState(state));
    SystemMain& w = Window(clock);
    QTreeWidgetItem* row = w.lvList->topLevelItem(0);
    EXPECT_EQ(row->text(3), "매달 31일");
    EXPECT_EQ(row->text(7), "2027-01-31 00:00:00");
    EXPECT_EQ(row->text(9), "ORA-12541: TNS:no listener");
    for (int column : {1, 8})
        EXPECT_TRUE(row->data(column, Qt::ToolTipRole).toString().contains("ORA-12541"));
}

TEST_F(MainWindow, BackUpNowFlagsEveryRecordWithTheSelectedNumber)
{
    SystemMain& w = Window(clock);
    ScheduleTable items;
    for (auto [number, name] : {std::pair{5, "A"}, std::pair{5, "B"}, std::pair{6, "C"}})
        items.push_back(std::make_shared<ScheduleRecord>(Item(number, name)));
    w.Service().SetTable(items);
    const ScheduleTable& table = w.Service().Table();
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
    EXPECT_TRUE(messages.empty());

    // A disabled item is not flagged, and the operator is told why.
    table[2]->bEnabled = false;
    w.lvList->setCurrentItem(w.lvList->topLevelItem(2));
    QTest::mouseClick(w.cmdBackUpNow, Qt::LeftButton);
    EXPECT_FALSE(table[2]->bRunNow);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("사용하지 않는 항목"), std::string::npos);
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

    w.resize(300, 400); // narrower than the button bar, which runs off the left edge
    QApplication::processEvents();
    EXPECT_LT(w.frOperation->x(), 0);
    EXPECT_EQ(w.frOperation->geometry().right(), w.lvList->geometry().right());

    w.resize(20, 20); // too small: the negative sizes are skipped, nothing breaks
    QApplication::processEvents();
    EXPECT_GE(w.lvList->width(), 0);
}

TEST_F(MainWindow, StartsWithItsFrameCentredAndComesBackFromTheTrayAsItWasHidden)
{
    SystemMain& w = Window(clock);
    QtTrayPlatform desktop(w, QIcon(), [](int) {});
    w.resize(600, 400);
    w.show();
    QApplication::processEvents();
    EXPECT_EQ(w.frameGeometry().center(), w.screen()->availableGeometry().center());

    for (bool maximized : {false, true}) {
        if (maximized)
            w.showMaximized();
        QApplication::processEvents();
        const QRect before = w.geometry();
        desktop.HideWindow();
        desktop.ShowWindow();
        QApplication::processEvents();
        EXPECT_EQ(w.isMaximized(), maximized);
        EXPECT_EQ(w.geometry(), before);
    }
}

TEST_F(MainWindow, PanelTwoShowsTheChunksLastWholeLineAndATooLongOneInItsTooltip)
{
    SystemMain& w = Window(clock);
    w.show();
    QLabel* panel = w.statusBar()->findChildren<QLabel*>().at(1);
    std::string huge;
    while (huge.size() < (1u << 20))
        huge += "테이블 ";
    // A chunk shows at once; a text set right after it shows at the end of
    // the panel's display interval.
    const struct
    {
        std::string text, shownStart;
        bool tip;
    } cases[] = {
        {"ting table EMP\r\n. . exporting table DEPT  4 rows\r\n\r\n", ". . exporting table DEPT",
         false},
        {"Export: Release 10.2.0.1.0\r\n" + std::string(400, '.') + "\n42 rows", "42 rows", false},
        {"x\n" + huge, "테이블 테이블", true},
    };
    for (const auto& c : cases) {
        w.SetStatusText(2, c.text);
        EXPECT_EQ(Panel(2), c.text);
        EXPECT_TRUE(WaitUntil([&] {
            return panel->text().startsWith(QString::fromStdString(c.shownStart));
        })) << panel->text().toStdString();
        EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()),
                  panel->contentsRect().width());
        EXPECT_EQ(panel->toolTip().startsWith(QString::fromStdString(huge.substr(0, 30))), c.tip);
    }
}

namespace {

// Counts the paints of one widget.
struct PaintCounter : QObject
{
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

// An export that prints megabytes, 256 bytes a chunk: every byte reaches the
// log, while panel 2 is painted at the screen's rate and the event loop runs
// at a bounded rate, not once per chunk.
TEST_F(MainWindow, ATalkativeExportIsLoggedWholeWithoutAPaintOrAPassPerChunk)
{
    // Lines of 33 times "테이블" in code page 949: 3 UTF-8 bytes a character
    // once read, so cuts at round sizes fall inside characters.
    std::string line;
    for (int i = 0; i < 33; ++i)
        line += "\xC5\xD7\xC0\xCC\xBA\xED";
    std::string output;
    while (output.size() < (2u << 20))
        output += line + "\n";
    output += "Export terminated successfully without warnings.\n";
    test::WriteBytes(program.File("output.txt"), output);
    const std::string exporter = program.File("exp.sh");
    // It leaves a dump, as a good export does.
    test::WriteBytes(exporter,
                     "#!/bin/sh\nfor a; do case $a in File=*) echo DUMP >\"${a#File=}\";; "
                     "esac; done\nexec cat '" +
                         program.File("output.txt") + "'\n");
    chmod(exporter.c_str(), 0755);
    ScheduleRecord item = Item(1, "ORCL");
    item.strBackUpType = "";
    item.bRunNow = true;
    item.strBackUpFolder = backups.path() + "/";
    item.strProgramPath = exporter;
    SystemMain& w = Window(clock);
    w.Service().SetTable({std::make_shared<ScheduleRecord>(item)});
    w.show();
    PaintCounter counter;
    w.statusBar()->findChildren<QLabel*>().at(1)->installEventFilter(&counter);

    const auto start = std::chrono::steady_clock::now();
    w.LaunchTick();
    WaitForRuns();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(w.Service().Table()[0]->strLastBackUpTime, "2026-12-07 14:10:00");
    EXPECT_TRUE(ReadBytes(backups.File("ORCL/SCOTT_20261207141000.LOG")) == output + "\r\n");
    // Over 8192 chunks; a display interval of 16 ms.
    EXPECT_LE(counter.paints, 70 * seconds + 10) << seconds << " s";
}

TEST_F(MainWindow, ALaunchTickRunsADueItemAndTheListShowsItsLatestBackTime)
{
    ScheduleRecord due = Item(1, "ORCL");
    due.strBackUpFolder = backups.path() + "/";
    due.strProgramPath = kJobData + "/fake_exp.py";
    due.strMailReceiveList = "operator"; // no address: the mail's result line, without a network
    Schedule({due});
    setenv("FAKE_EXP_MODE", "english", 1);
    SystemMain& w = Window(clock);
    EXPECT_EQ(w.lvList->topLevelItem(0)->text(5), "");

    w.LaunchTick();
    WaitForRuns();
    EXPECT_EQ(w.lvList->topLevelItem(0)->text(5), "2026-12-07 14:10:00");
    ASSERT_EQ(w.lstErrorList->count(), 2);
    EXPECT_TRUE(w.lstErrorList->item(0)->text().startsWith(
        "[2026-12-07 14:10:00] ORCL 백업 성공: SCOTT_20261207141000.DMP"))
        << w.lstErrorList->item(0)->text().toStdString();
    EXPECT_TRUE(w.lstErrorList->item(1)->text().startsWith(
        "[2026-12-07 14:10:00] ORCL백업결과 메일전송 실패"))
        << w.lstErrorList->item(1)->text().toStdString();
    EXPECT_EQ(Panel(1), "Ready.");

    w.LaunchTick(); // ran within this hour: not due again
    WaitForRuns();
    EXPECT_EQ(w.lstErrorList->count(), 2);
}

// A program that cannot be started shows its text without holding the run:
// the next due item runs in the same pass, and the list tells both results.
TEST_F(MainWindow, AMissingExportUtilityDoesNotHoldTheNextItem)
{
    ScheduleRecord missing = Item(1, "BROKEN");
    missing.strBackUpFolder = backups.path() + "/";
    missing.strProgramPath = "/nonexistent/exp";
    ScheduleRecord good = Item(2, "ORCL");
    good.strBackUpFolder = backups.path() + "/";
    good.strProgramPath = kJobData + "/fake_exp.py";
    ScheduleRecord unpacked = good; // no archiver in the folder
    unpacked.nNo = 3, unpacked.strServiceName = "HRDB", unpacked.bDataCompress = true;
    Schedule({missing, good, unpacked});
    setenv("FAKE_EXP_MODE", "english", 1);
    window = std::make_unique<SystemMain>(clock, program.path(), &tray);
    window->LaunchTick();
    WaitForRuns();

    ASSERT_NE(window->MessageBox(), nullptr);
    EXPECT_TRUE(window->MessageBox()->isVisible());
    EXPECT_FALSE(window->MessageBox()->isModal());
    EXPECT_EQ(window->MessageBox()->text(), "File or command not found");
    EXPECT_EQ(window->lvList->topLevelItem(0)->text(8), "실패 (1회 연속)");
    EXPECT_EQ(window->lvList->topLevelItem(1)->text(5), "2026-12-07 14:10:00");
    EXPECT_EQ(window->lvList->topLevelItem(1)->text(8), "성공");
    EXPECT_EQ(window->lstErrorList->item(0)->text(),
              "[2026-12-07 14:10:00] BROKEN 백업 실패: File or command not found "
              "(/nonexistent/exp)");
    window->MessageBox()->close();

    // The rows tell it at a glance, and so does a window started afresh.
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "after the runs" : "after a restart");
        if (start == 1)
            window = std::make_unique<SystemMain>(clock, program.path(), &tray);
        EXPECT_EQ(window->lvList->topLevelItem(0)->text(8), "실패 (1회 연속)");
        EXPECT_EQ(window->lvList->topLevelItem(1)->text(8), "성공");
        EXPECT_EQ(ItemRows::StateOf(*window->lvList->topLevelItem(0)), RowState::Failed);
        EXPECT_EQ(ItemRows::StateOf(*window->lvList->topLevelItem(1)), RowState::Normal);
        EXPECT_EQ(window->lvList->topLevelItem(2)->text(8), "성공 (압축 실패)");
        EXPECT_EQ(ItemRows::StateOf(*window->lvList->topLevelItem(2)), RowState::StepFailed);
    }
}

TEST_F(MainWindow, TheClockKeepsTickingDuringASilentExport)
{
    ScheduleRecord item = Item(1, "ORCL");
    item.strBackUpType = "";
    item.bRunNow = true;
    item.strBackUpFolder = backups.path() + "/";
    item.strProgramPath = kJobData + "/fake_exp.py";
    item.strMailReceiveList = "operator";
    setenv("FAKE_EXP_SILENCE", "3", 1);
    SystemClock wallClock;
    SystemMain& w = Window(wallClock);
    w.Service().SetTable({std::make_shared<ScheduleRecord>(item)});
    w.show();

    QSet<QString> seen;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { seen.insert(w.lbTime->text()); });
    sampler.start(100);
    w.LaunchTick();
    WaitForRuns();
    unsetenv("FAKE_EXP_SILENCE");
    // Three seconds of silence: the clock label showed at least three times.
    EXPECT_GE(seen.size(), 3) << seen.values().join(", ").toStdString();
    EXPECT_NE(w.lstErrorList->count(), 0);
}

// A hung export shows its time so far, and the item asked for meanwhile says
// at once that it waits; stopped from the window (after its question), the
// hung run is neither a backup nor a failure, and the waiting item runs.
TEST_F(MainWindow, TheRunningItemsRowShowsItsTimeTheOneAskedForWaitsAndAStopLetsItRun)
{
    ScheduleRecord item = Item(1, "HUNG");
    item.strBackUpType = "";
    item.strBackUpFolder = backups.path() + "/";
    item.strProgramPath = kJobData + "/hang_exp.sh";
    ScheduleRecord next = item;
    next.nNo = 2;
    next.strServiceName = "NEXT";
    next.strProgramPath = kJobData + "/fake_exp.py";
    Schedule({item, next});
    SystemMain& w = Window(clock);
    QTreeWidgetItem* row = w.lvList->topLevelItem(0);
    QTreeWidgetItem* waiting = w.lvList->topLevelItem(1);
    w.Service().MarkRunNow(1);
    w.LaunchTick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ItemRows::StateOf(*row) == RowState::Running; }));
    EXPECT_EQ(Panel(1), "[HUNG] BackUp...");
    w.lvList->setCurrentItem(waiting);
    QTest::mouseClick(w.cmdBackUpNow, Qt::LeftButton);
    EXPECT_EQ(waiting->text(7), "대기 중");
    clock.Set("2026-12-07 14:11:05");
    w.ClockTick();
    EXPECT_EQ(row->text(7), "실행 중 1:05");
    EXPECT_EQ(waiting->text(7), "대기 중");

    test::AnswerNextBox(QMessageBox::No); // it runs on: the next question comes
    w.StopRun();
    test::AnswerNextBox(QMessageBox::Yes);
    w.StopRun();
    WaitForRuns();
    w.LaunchTick();
    WaitForRuns();
    const ScheduleRecord& stopped = *w.Service().Table()[0];
    EXPECT_EQ(stopped.history.lastRunTime, ""); // no run to tell of
    EXPECT_EQ(stopped.history.failuresInARow, 0);
    EXPECT_EQ(stopped.strLastBackUpTime, ""); // asked for now: simply not done
    EXPECT_EQ(ItemRows::StateOf(*row), RowState::Normal);
    EXPECT_EQ(waiting->text(5), "2026-12-07 14:11:05");
    EXPECT_EQ(waiting->text(7), "-"); // no kind: it runs only when asked
    EXPECT_FALSE(
        w.lstErrorList->findItems("HUNG 백업 중지: 사용자가 중지함", Qt::MatchEndsWith).isEmpty());
}

TEST_F(MainWindow, AWindowStartedAgainHasTheSizeColumnsAndSortItWasLeftWith)
{
    Schedule({Item(1, "B"), Item(2, "A")});
    for (int start = 0; start < 2; ++start) {
        window.reset(); // ends the first, which keeps what it was left with
        SystemMain& w = Window(clock);
        w.show();
        if (start == 0) {
            w.resize(700, 500);
            w.lvList->setColumnWidth(1, 321);
            w.lvList->sortByColumn(1, Qt::AscendingOrder);
        }
        EXPECT_EQ(w.size(), QSize(700, 500));
        // Wide, the operator's widths; at 1024 every column fits, the
        // least useful giving way while the next run and result stay whole.
        w.resize(2400, 500);
        EXPECT_TRUE(WaitUntil([&] { return w.lvList->columnWidth(1) == 321; }));
        const int nextRun = w.lvList->columnWidth(7);
        w.resize(1024, 500);
        EXPECT_TRUE(WaitUntil([&] {
            int widths = 0;
            for (int i = 0; i < w.lvList->columnCount(); ++i)
                widths += w.lvList->header()->isSectionHidden(i) ? 0 : w.lvList->columnWidth(i);
            return widths <= w.lvList->viewport()->width();
        }));
        EXPECT_EQ(w.lvList->columnWidth(7), nextRun);
        EXPECT_GE(w.lvList->columnWidth(8), 60); // Last Result takes what is left
        w.resize(700, 500);
        EXPECT_TRUE(WaitUntil([&] { return w.lvList->width() < 700; }));
        EXPECT_EQ(w.lvList->topLevelItem(0)->text(1), "A");
    }
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
    ASSERT_TRUE(WaitUntil([&] { return SomeoneLocks(folder.File(".veltrane.lock")); }))
        << (test::FileExists(folder.File("first.log")) ? ReadBytes(folder.File("first.log")) : "");
    veltrane::test::ChildProcess second({program}, folder.File("second.log"), env);
    const auto said = [&] {
        return test::FileExists(folder.File("second.log")) ? ReadBytes(folder.File("second.log"))
                                                           : std::string();
    };
    EXPECT_TRUE(WaitUntil([&] { return said().find("already running") != std::string::npos; }))
        << said();
    EXPECT_TRUE(first.Running());
}

TEST(Program, QtsOwnDialogTextsAreKorean)
{
    QTranslator translator;
    ASSERT_TRUE(InstallQtKoreanTexts(translator));
    QMessageBox box(QMessageBox::NoIcon, QString(), QString(), QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("확인"));
}

TEST(Program, TheTrayMenuOrADoubleClickBringsTheWindowBackAndTheMenuEndsTheProgram)
{
    for (bool windowManager : {false, true}) {
        SCOPED_TRACE(windowManager ? "with a window manager" : "without a window manager");
        TempDir folder;
        XDesktop desktop(folder.path(), windowManager);
        ASSERT_FALSE(desktop.TrayPanel().isEmpty()) << desktop.Logs();
        const QString window = desktop.StartProgram(folder.path());
        const auto log = [&] { return desktop.ProgramOutput(); };
        ASSERT_FALSE(window.isEmpty()) << log();
        // A window manager frames the window after it has been placed.
        EXPECT_TRUE(WaitUntil([&] { return desktop.FrameCentred(window); }));

        const QStringList mainWindow = {"--name", "^Veltrane \\["};
        const auto shown = [&] { return desktop.Visible(mainWindow); };
        // Presses "시스템 트레이로"; returns the icon.
        const auto toTheTray = [&] {
            const QString icon = test::Retrying([&] { desktop.ClickButton(window, 2790, 1515); },
                                                [&] { return desktop.IconInTray(); });
            EXPECT_TRUE(shown().isEmpty()) << "hidden in the tray";
            return icon;
        };
        // Right-clicks the icon; returns the menu.
        const auto openTheMenu = [&](const QString& icon) {
            return test::Retrying([&] { desktop.Click(icon, 11, 11, "3"); },
                                  [&] { return desktop.Menu(); });
        };
        // The menu's entries: 화면 복귀 at the top, separator, 프로그램 종료 at the bottom.
        // Chooses an entry of the menu, opened first unless it is open: done
        // again only while what it does has not happened.
        const auto choose = [&](const QString& icon, bool first) {
            const QString open = desktop.Menu();
            const QString menu = open.isEmpty() ? openTheMenu(icon) : open;
            if (menu.isEmpty())
                return;
            const QSize size = desktop.Geometry(menu).size();
            desktop.Click(menu, size.width() / 2,
                          first ? size.height() / 4 : size.height() * 3 / 4);
        };

        for (int round = 1; round <= 3; ++round) {
            const QString icon = toTheTray();
            ASSERT_FALSE(icon.isEmpty()) << round << log();
            const auto restore = [&] {
                if (round == 2)
                    desktop.Click(icon, 11, 11, "1", 2); // a double click
                else
                    choose(icon, true);
            };
            ASSERT_EQ(test::Retrying(restore, shown), window) << round << log();
        }
        const QString icon = toTheTray();
        ASSERT_FALSE(icon.isEmpty()) << log();
        ASSERT_TRUE(
            test::RetryingUntil([&] { choose(icon, false); },
                                [&] { return desktop.Program().state() == QProcess::NotRunning; }))
            << log();
        desktop.Program().waitForFinished();
        EXPECT_EQ(desktop.Program().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(desktop.Program().exitCode(), 0) << log();
    }
}

// No dialog, box or menu holds a run: with the item editor opened during a
// hung export, and the box of a program that cannot be started left open,
// the export still stops at its time limit and the next due item still runs.
TEST(Program, NoDialogOrBoxHoldsARunItsTimeLimitOrTheNextItem)
{
    TempDir folder;
    XDesktop desktop(folder.path());
    ASSERT_FALSE(desktop.TrayPanel().isEmpty()) << desktop.Logs();
    // Due at once, and done for an hour: hourly at minute 59.
    ScheduleTable table;
    for (const auto& [service, exporter] : {std::pair{"BROKEN", std::string("/nonexistent/exp")},
                                            {"HUNG", kJobData + "/hang_exp.sh"},
                                            {"ORCL", kJobData + "/fake_exp.py"}}) {
        auto r =
            std::make_shared<ScheduleRecord>(Item(static_cast<int>(table.size()) + 1, service));
        r->strBackUpType = "매시간";
        r->strTime = "00:59:00";
        r->strBackUpFolder = folder.path() + "/";
        r->strProgramPath = exporter;
        table.push_back(r);
    }
    ASSERT_TRUE(SaveSchedule(folder.File("Schedule.dat"), table).ok());
    test::WriteBytes(folder.File("Veltrane.ini"), "[Veltrane]\nExportTimeoutMinutes=0.05\n");
    const QString window = desktop.StartProgram(
        folder.path(), {"HANG_PID_FILE=" + QString::fromStdString(folder.File("hang.pid")),
                        "FAKE_EXP_MODE=english"});
    const auto history = [&] {
        return cp949::ToUtf8(test::FileExists(folder.File("Veltrane.log"))
                                 ? ReadBytes(folder.File("Veltrane.log"))
                                 : std::string());
    };
    ASSERT_FALSE(window.isEmpty()) << desktop.ProgramOutput();
    // The box of the program that could not be started, and the hung export.
    const QStringList titled = {"--name", "^Veltrane \\["}; // the window, and its box
    const QString box = WaitFor([&] { return desktop.Visible(titled, window); });
    ASSERT_FALSE(box.isEmpty()) << history();
    ASSERT_TRUE(WaitUntil([&] { return test::FileExists(folder.File("hang.pid")); }));
    desktop.ClickButton(window, 5730, 1320); // "백업항목 추가" opens the editor
    const QString editor = WaitFor([&] { return desktop.Visible({"--name", "^Veltrane$"}); });
    ASSERT_FALSE(editor.isEmpty()) << history();

    const auto lineCame = [&](const std::string& text) {
        return WaitUntil([&] { return history().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(lineCame("HUNG 엑스포트 시간 초과 (0.05분)")) << history();
    EXPECT_TRUE(lineCame("ORCL 백업 성공")) << history();
    // The editor and the box stayed open all along.
    EXPECT_EQ(desktop.Visible({"--name", "^Veltrane$"}), editor);
    EXPECT_EQ(desktop.Visible(titled, window), box);
}
