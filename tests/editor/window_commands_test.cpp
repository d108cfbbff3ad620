// The item commands of the main window, driven through its real widgets and
// the real editor dialog on the offscreen platform.

#include "editor/item_edit.h"
#include "platform/codepage.h"
#include "store/schedule_file.h"
#include "support/manual_clock.h"
#include "support/message_box.h"
#include "support/quiet_tray.h"
#include "support/temp_dir.h"
#include "window/system_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <gtest/gtest.h>

using namespace veltrane;
using veltrane::test::ManualClock;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;

namespace {

// Runs `act` on the editor as soon as it is shown modally.
void WhenEditorOpens(std::function<void(ItemEdit&)> act)
{
    QTimer::singleShot(0, [act] {
        auto* editor = qobject_cast<ItemEdit*>(QApplication::activeModalWidget());
        ASSERT_NE(editor, nullptr) << "no editor opened";
        act(*editor);
    });
}

template <typename T> T* Control(ItemEdit& editor, const char* name)
{
    T* control = editor.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
}

void Type(ItemEdit& editor, const char* name, const QString& text)
{
    QLineEdit* box = Control<QLineEdit>(editor, name);
    box->clear();
    QTest::keyClicks(box, text);
}

void Click(ItemEdit& editor, const char* name)
{
    QTest::mouseClick(Control<QPushButton>(editor, name), Qt::LeftButton);
}

class WindowCommands : public ::testing::Test
{
protected:
    void Start(const std::vector<std::pair<int, const char*>>& items)
    {
        ScheduleTable table;
        for (auto [number, name] : items) {
            auto r = std::make_shared<ScheduleRecord>();
            r->nNo = number;
            r->bEnabled = true;
            r->strBackUpType = "매일";
            r->strTime = "02:00:00";
            r->strServiceName = name;
            r->strID = "SCOTT";
            table.push_back(r);
        }
        // Written line by line, so the numbers stand as given (a save would
        // renumber them).
        std::string file;
        for (const auto& r : table)
            file += FormatScheduleLine(*r, r->nNo) + "\r\n";
        test::WriteBytes(program.File("Schedule.dat"), cp949::FromUtf8(file));
        window = std::make_unique<SystemMain>(clock, program.path(), &tray);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    const ScheduleTable& Table() { return window->Service().Table(); }

    QTreeWidgetItem* Row(int i) { return window->lvList->topLevelItem(i); }

    void SelectRow(int i)
    {
        QRect r = window->lvList->visualItemRect(Row(i));
        QTest::mouseClick(window->lvList->viewport(), Qt::LeftButton, {}, r.center());
    }

    void DoubleClickRow(int i)
    {
        // A double-click is a press and release followed by the double-click.
        QRect r = window->lvList->visualItemRect(Row(i));
        QTest::mouseClick(window->lvList->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseDClick(window->lvList->viewport(), Qt::LeftButton, {}, r.center());
    }

    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (const auto& r : Table())
            names.push_back(std::to_string(r->nNo) + " " + r->strServiceName);
        return names;
    }

    TempDir program, backups;
    ManualClock clock{"2026-12-07 09:00:00"};
    test::QuietTray tray;
    std::unique_ptr<SystemMain> window;
};

using NameList = std::vector<std::string>;

} // namespace

TEST_F(WindowCommands, InsertAppendsTheNextNumberKeepingWhatWasTyped)
{
    Start({{1, "A"}, {2, "B"}, {3, "C"}});
    WhenEditorOpens([](ItemEdit& editor) {
        Type(editor, "txtServiceName", "NEW");
        QTest::mouseClick(Control<QCheckBox>(editor, "chkThroughSMTPServer"), Qt::LeftButton);
        Type(editor, "txtSmtpUserID", "mailer");
        QTest::keyClicks(Control<QPlainTextEdit>(editor, "txtDescription"), "night backup");
        QTest::keyClick(Control<QComboBox>(editor, "cmbTimeType"), Qt::Key_Down); // 매일
        Click(editor, "cmdOK");
    });
    QTest::mouseClick(window->cmdInsertItem, Qt::LeftButton);

    ASSERT_EQ(Names(), (NameList{"1 A", "2 B", "3 C", "4 NEW"}));
    const ScheduleRecord& added = *Table().back();
    EXPECT_FALSE(added.bEnabled);
    EXPECT_TRUE(added.bUseSmtpServer);
    EXPECT_EQ(added.strDescription, "night backup");
    EXPECT_EQ(added.strSmtpUserID, "mailer");
    EXPECT_EQ(window->lvList->topLevelItemCount(), 4);
    EXPECT_EQ(Row(3)->checkState(0), Qt::Unchecked);
}

TEST_F(WindowCommands, CancelledInsertAndEditChangeNothing)
{
    Start({{1, "A"}});
    WhenEditorOpens([](ItemEdit& editor) {
        Type(editor, "txtServiceName", "CHANGED");
        test::AnswerNextBox(QMessageBox::Yes);
        Click(editor, "cmdCancel");
    });
    QTest::mouseClick(window->cmdInsertItem, Qt::LeftButton);
    WhenEditorOpens([](ItemEdit& editor) {
        Type(editor, "txtServiceName", "CHANGED");
        test::AnswerNextBox(QMessageBox::Yes);
        Click(editor, "cmdCancel");
    });
    DoubleClickRow(0);
    EXPECT_EQ(Names(), (NameList{"1 A"}));
}

TEST_F(WindowCommands, DeleteRemovesTheSelectedNumberAndRenumbers)
{
    Start({{1, "A"}, {2, "B"}, {3, "C"}});
    QTest::mouseClick(window->cmdItemDelete, Qt::LeftButton); // nothing selected
    EXPECT_EQ(Table().size(), 3u);
    SelectRow(1);
    QString question;
    test::AnswerNextBox(QMessageBox::Yes, &question);
    QTest::mouseClick(window->cmdItemDelete, Qt::LeftButton);
    EXPECT_TRUE(question.contains("2 B / SCOTT")) << question.toStdString();
    EXPECT_EQ(Names(), (NameList{"1 A", "2 C"}));
    EXPECT_EQ(Row(1)->text(0), "2");
}

TEST_F(WindowCommands, DeletingTheOnlyItemAndSavingWritesAnEmptyFile)
{
    Start({{1, "A"}});
    SelectRow(0);
    test::AnswerNextBox(QMessageBox::Yes);
    QTest::mouseClick(window->cmdItemDelete, Qt::LeftButton);
    QTest::mouseClick(window->cmdSave, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(program.File("Schedule.dat")), "");
    EXPECT_EQ(window->lvList->topLevelItemCount(), 0);
}

TEST_F(WindowCommands, TwoItemsNumberedFive)
{
    Start({{5, "FIRST"}, {5, "SECOND"}, {6, "OTHER"}});
    EXPECT_FALSE(window->isWindowModified()) << "a hand-made numbering is no change";
    // Double-clicking the second row edits the first record with its number.
    WhenEditorOpens([](ItemEdit& editor) {
        EXPECT_EQ(Control<QLineEdit>(editor, "txtServiceName")->text(), "FIRST");
        Type(editor, "txtServiceName", "EDITED");
        Click(editor, "cmdOK");
    });
    DoubleClickRow(1);
    EXPECT_EQ(Names(), (NameList{"5 EDITED", "5 SECOND", "6 OTHER"}));

    // Clearing the second row's box disables both records numbered 5.
    Row(1)->setCheckState(0, Qt::Unchecked);
    EXPECT_FALSE(Table()[0]->bEnabled);
    EXPECT_FALSE(Table()[1]->bEnabled);
    EXPECT_TRUE(Table()[2]->bEnabled);
    EXPECT_EQ(window->lvList->currentItem(), Row(1));

    SelectRow(0);
    test::AnswerNextBox(QMessageBox::Yes);
    QTest::mouseClick(window->cmdItemDelete, Qt::LeftButton);
    EXPECT_EQ(Names(), (NameList{"1 OTHER"}));
}

TEST_F(WindowCommands, AnEditSurvivesARunThatStartsAndEndsWhileTheEditorIsOpen)
{
    Start({{1, "EDITED"}, {2, "RUNNING"}});
    for (const char* library : {kMailLibraryFile, kFtpLibraryFile})
        std::filesystem::create_symlink(std::string(VELTRANE_PROGRAM_DIR) + "/" + library,
                                        program.File(library));
    setenv("FAKE_EXP_MODE", "english", 1);
    std::shared_ptr<ScheduleRecord> running = Table()[1];
    running->strBackUpFolder = backups.path() + "/";
    running->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    window->Service().MarkRunNow(running->nNo);

    WhenEditorOpens([this](ItemEdit& editor) {
        window->LaunchTick(); // the launch timer fires while the editor is open
        // The run goes on and ends while the editor stays open.
        while (window->Service().RunInProgress())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        Type(editor, "txtServiceName", "EDITED2");
        Click(editor, "cmdOK");
    });
    DoubleClickRow(0);

    EXPECT_EQ(Names(), (NameList{"1 EDITED2", "2 RUNNING"}));
    EXPECT_EQ(Table()[1], running);
    EXPECT_EQ(running->strLastBackUpTime, "2026-12-07 09:00:00");
    EXPECT_FALSE(running->bRunNow);
    EXPECT_EQ(Row(1)->text(5), "2026-12-07 09:00:00");
}

TEST_F(WindowCommands, AFailedSaveIsReportedAsAResultLine)
{
    Start({{1, "A"}});
    // The file's place is taken by a folder: the new file cannot replace it.
    std::filesystem::remove(program.File("Schedule.dat"));
    std::filesystem::create_directory(program.File("Schedule.dat"));
    QTest::mouseClick(window->cmdSave, Qt::LeftButton);
    ASSERT_EQ(window->lstErrorList->count(), 1);
    EXPECT_TRUE(window->lstErrorList->item(0)->text().startsWith(
        "[2026-12-07 09:00:00] Schedule.dat 저장 실패: Cannot replace"))
        << window->lstErrorList->item(0)->text().toStdString();
}

TEST_F(WindowCommands, TheSelectionStaysOnItsRowAfterARebuild)
{
    Start({{1, "A"}, {2, "B"}});
    SelectRow(1);
    window->RefreshItemList();
    EXPECT_EQ(window->lvList->currentItem(), Row(1));
    EXPECT_TRUE(Row(1)->isSelected());
}

// Every command from the keyboard in the list, with the title marking the
// table's unsaved changes until Ctrl+S writes them.
TEST_F(WindowCommands, TheListAnswersTheKeyboardAndTheTitleMarksWhatIsUnsaved)
{
    Start({{1, "A"}, {2, "B"}});
    QWidget* list = window->lvList;
    // The window's own keys work while it is the active window (again,
    // after a dialog).
    const auto activate = [&] {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    };
    EXPECT_FALSE(window->isWindowModified());
    SelectRow(0);

    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_FALSE(Table()[0]->bEnabled);
    EXPECT_TRUE(window->isWindowModified());
    QTest::keyClick(list, Qt::Key_Space); // as saved again: nothing to save
    EXPECT_TRUE(Table()[0]->bEnabled);
    EXPECT_FALSE(window->isWindowModified());

    for (const auto& [key, name] : {std::pair{Qt::Key_Return, "ENTER"}, {Qt::Key_F2, "F2"}}) {
        WhenEditorOpens([name = name](ItemEdit& editor) {
            Type(editor, "txtServiceName", name);
            Click(editor, "cmdOK");
        });
        QTest::keyClick(list, key);
        EXPECT_EQ(Table()[0]->strServiceName, name);
    }
    QString question;
    test::AnswerNextBox(QMessageBox::No, &question);
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_TRUE(question.contains("1 F2 / SCOTT")) << question.toStdString();
    EXPECT_EQ(Names(), (NameList{"1 F2", "2 B"}));

    activate();
    activate();
    WhenEditorOpens([](ItemEdit& editor) {
        Type(editor, "txtServiceName", "NEW");
        QTest::keyClick(Control<QComboBox>(editor, "cmbTimeType"), Qt::Key_Down);
        Click(editor, "cmdOK");
    });
    QTest::keyClick(list, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(Names(), (NameList{"1 F2", "2 B", "3 NEW"}));
    EXPECT_TRUE(window->isWindowModified());

    activate();
    QTest::keyClick(list, Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(window->isWindowModified());
    EXPECT_EQ(LoadSchedule(program.File("Schedule.dat"))->size(), 3u);
    EXPECT_TRUE(window->lstErrorList->item(window->lstErrorList->count() - 1)
                    ->text()
                    .endsWith("Schedule.dat 저장 완료: 항목 3개"));
}
