// The item editor, driven through its real widgets on the offscreen platform:
// key clicks and mouse clicks while the dialog runs modally in ShowEditor.

#include "editor/item_edit.h"
#include "schedule/schedule_fault.h"
#include "store/schedule_table.h"
#include "support/message_box.h"
#include "support/sample_item.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using namespace veltrane;

namespace {

class ItemEditTest : public ::testing::Test
{
protected:
    // Runs ShowEditor and, once the dialog is up, `operate` on it. A dialog
    // that `operate` leaves open is a failure and is cancelled, so a broken
    // test cannot hang in the modal loop.
    bool Run(ItemEdit& dialog, const std::function<void()>& operate)
    {
        bool operated = false;
        QTimer::singleShot(0, &dialog, [&] {
            operated = true;
            EXPECT_TRUE(dialog.isVisible());
            operate();
            if (dialog.isVisible()) {
                ADD_FAILURE() << "the dialog was left open";
                dialog.done(QDialog::Rejected);
            }
        });
        const bool result = dialog.ShowEditor();
        EXPECT_TRUE(operated);
        return result;
    }

    template <typename T> static T* Control(ItemEdit& dialog, const char* name)
    {
        T* control = dialog.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }

    static void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

    // A check box reacts to clicks on its indicator and caption, not on the
    // empty room a layout may give it.
    static void Click(QCheckBox* box)
    {
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator =
            box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
    }

    static void Retype(QLineEdit* box, const QString& text)
    {
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
    }
};

const char* const kSmtpBoxes[] = {"txtSmtpUserID", "txtSmtpUserPassword", "txtSmtpServer"};
const char* const kFtpBoxes[] = {"txtFTPUserID", "txtFTPUserPassWord", "txtFTPServer",
                                 "txtFTPLocation"};

} // namespace

TEST_F(ItemEditTest, ShowsTheTitleGroupsCaptionsAndListsInOrder)
{
    ItemEdit dialog;
    EXPECT_EQ(dialog.windowTitle(), "Veltrane");

    QStringList groups;
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>())
        groups << group->title();
    EXPECT_EQ(groups,
              (QStringList{"General", "Options", "Log Settings", "Data Transfer Settings"}));

    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        labels << label->text();
    for (const char* caption :
         {"Oracle Service Name", "User ID", "PassWord", "Export Utility", "BackUp Time",
          "BackUp Folder", "Tables[  ,  ,  ,  ,  ]", "Export Option", "Reserved Backup Files",
          "Description", "SMTP User ID", "SMTP PassWord", "SMTP Server", "FTP User ID",
          "FTP PassWord", "FTP Server", "FTP Location"})
        EXPECT_TRUE(labels.contains(QString::fromLatin1(caption))) << caption;
    EXPECT_TRUE(
        labels.filter(QRegularExpression("^Mail Receive List\\(eg\\. [^;]+@[^;]+;[^;]+@[^;]+\\)$"))
            .size() == 1);

    EXPECT_EQ(Control<QPushButton>(dialog, "cmdBorwser")->text(), "<<");
    EXPECT_EQ(Control<QPushButton>(dialog, "cmdOK")->text(), "확인");
    EXPECT_EQ(Control<QPushButton>(dialog, "cmdCancel")->text(), "취소");
    EXPECT_EQ(Control<QCheckBox>(dialog, "chkThroughSMTPServer")->text(),
              "E-mail through the SMTP Server");
    EXPECT_EQ(Control<QCheckBox>(dialog, "chkDataTransfer")->text(), "Data Dumpfile Transfer to");
    EXPECT_EQ(Control<QCheckBox>(dialog, "chkDataCompress")->text(), "Rar Compress");

    auto entries = [&](const char* name) {
        QStringList items;
        QComboBox* list = Control<QComboBox>(dialog, name);
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
        return items;
    };
    EXPECT_EQ(entries("cmbTimeType"), (QStringList{"매일", "매주", "매달", "매시간"}));
    EXPECT_EQ(entries("cmbWeek"), (QStringList{"일", "월", "화", "수", "목", "금", "토"}));
    QStringList days;
    for (int day = 1; day <= 30; ++day)
        days << QString::number(day);
    EXPECT_EQ(entries("cmbDay"), days);
}

TEST_F(ItemEditTest, ANewItemOpensEmptyWithTheListsHiddenAndTheLoginsDisabled)
{
    ItemEdit dialog;
    const bool ok = Run(dialog, [&] {
        EXPECT_EQ(Control<QComboBox>(dialog, "cmbTimeType")->currentIndex(), -1);
        EXPECT_EQ(Control<QComboBox>(dialog, "cmbWeek")->currentIndex(), -1);
        EXPECT_EQ(Control<QComboBox>(dialog, "cmbDay")->currentIndex(), -1);
        EXPECT_FALSE(Control<QComboBox>(dialog, "cmbWeek")->isVisible());
        EXPECT_FALSE(Control<QComboBox>(dialog, "cmbDay")->isVisible());
        EXPECT_TRUE(Control<QTimeEdit>(dialog, "dtpTime")->isVisible());
        EXPECT_EQ(Control<QTimeEdit>(dialog, "dtpTime")->time(), QTime(0, 0, 0));
        for (const char* box : {"chkThroughSMTPServer", "chkDataTransfer", "chkDataCompress"})
            EXPECT_FALSE(Control<QCheckBox>(dialog, box)->isChecked()) << box;
        for (const char* box : kSmtpBoxes)
            EXPECT_FALSE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        for (const char* box : kFtpBoxes)
            EXPECT_FALSE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        EXPECT_TRUE(Control<QLineEdit>(dialog, "txtMailReceiver")->isEnabled());
        EXPECT_TRUE(Control<QCheckBox>(dialog, "chkDataCompress")->isEnabled());
        EXPECT_EQ(Control<QLineEdit>(dialog, "txtServiceName")->text(), "");
        EXPECT_EQ(Control<QLineEdit>(dialog, "txtReservedFiles")->text(), "0");
        QTest::keyClick(Control<QComboBox>(dialog, "cmbTimeType"), Qt::Key_Down); // 매일
        Click(Control<QPushButton>(dialog, "cmdOK"));
    });
    ASSERT_TRUE(ok);
    // The time becomes midnight and the day stays 0 (no day was selected).
    ItemProperties expected;
    expected.strBackUpType = "매일";
    expected.strTime = "00:00:00";
    EXPECT_EQ(dialog.properties(), expected);
}

TEST_F(ItemEditTest, EachKindOpensWithItsOwnListShowingTheStoredValue)
{
    struct Case
    {
        const char* kind;
        bool weekShown;
        bool dayShown;
    };
    for (const Case& c : {Case{"매일", false, false}, Case{"매주", true, false},
                          Case{"매달", false, true}, Case{"매시간", false, false}}) {
        SCOPED_TRACE(c.kind);
        ItemEdit dialog;
        dialog.properties() = test::SampleWeeklyItem();
        dialog.properties().strBackUpType = c.kind;
        Run(dialog, [&] {
            EXPECT_EQ(Control<QComboBox>(dialog, "cmbTimeType")->currentText(), c.kind);
            QComboBox* week = Control<QComboBox>(dialog, "cmbWeek");
            QComboBox* day = Control<QComboBox>(dialog, "cmbDay");
            EXPECT_EQ(week->isVisible(), c.weekShown);
            EXPECT_EQ(day->isVisible(), c.dayShown);
            EXPECT_EQ(week->currentText(), "수");
            EXPECT_EQ(day->currentText(), "15");
            EXPECT_EQ(Control<QTimeEdit>(dialog, "dtpTime")->time(), QTime(23, 5, 0));
            EXPECT_TRUE(Control<QTimeEdit>(dialog, "dtpTime")->isVisible());
            Click(Control<QPushButton>(dialog, "cmdCancel"));
        });
    }
}

TEST_F(ItemEditTest, OkWithoutChangesReturnsEveryFieldAsItCameIn)
{
    ItemEdit dialog;
    dialog.setProperties(test::SampleWeeklyItem());
    ASSERT_TRUE(Run(dialog, [&] {
        for (const char* box : kSmtpBoxes)
            EXPECT_TRUE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        for (const char* box : kFtpBoxes)
            EXPECT_TRUE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    EXPECT_EQ(dialog.properties(), test::SampleWeeklyItem());
}

TEST_F(ItemEditTest, TextsLongerThanABoxsDefaultLimitComeBackWhole)
{
    ItemEdit dialog;
    dialog.setProperties(test::SampleWeeklyItem());
    dialog.properties().strTables = std::string(40000, 'T');
    dialog.properties().strDescription = std::string(40000, 'D');
    ASSERT_TRUE(Run(dialog, [&] { Click(Control<QPushButton>(dialog, "cmdOK")); }));
    EXPECT_EQ(dialog.properties().strTables.size(), 40000u);
    EXPECT_EQ(dialog.properties().strDescription.size(), 40000u);
}

TEST_F(ItemEditTest, ChoosingAKindWithTheKeyboardShowsAndHidesTheLists)
{
    ItemEdit dialog;
    ASSERT_TRUE(Run(dialog, [&] {
        QComboBox* kind = Control<QComboBox>(dialog, "cmbTimeType");
        QComboBox* week = Control<QComboBox>(dialog, "cmbWeek");
        QComboBox* day = Control<QComboBox>(dialog, "cmbDay");
        QTimeEdit* time = Control<QTimeEdit>(dialog, "dtpTime");
        time->setTime(QTime(8, 44, 10));
        // Each kind shows only what it runs by: its lists, the parts of the
        // time (none for a monthly item), and a line that says so.
        const struct
        {
            QString kind;
            bool week, day, time;
            QString timeText, use;
        } steps[] = {
            {"매일", false, false, true, "08시", "시(時)"},
            {"매주", true, false, true, "08:44:10", "요일"},
            {"매달", false, true, false, "08:44:10", "시각은 쓰지"},
            {"매시간", false, false, true, "44분", "분(分)"},
        };
        for (const auto& step : steps) {
            QTest::keyClick(kind, Qt::Key_Down);
            ASSERT_EQ(kind->currentText(), step.kind);
            EXPECT_EQ(week->isVisible(), step.week) << step.kind.toStdString();
            EXPECT_EQ(day->isVisible(), step.day) << step.kind.toStdString();
            EXPECT_EQ(time->isEnabled(), step.time) << step.kind.toStdString();
            EXPECT_EQ(time->text(), step.timeText);
            EXPECT_TRUE(Control<QLabel>(dialog, "lblScheduleUse")->text().contains(step.use));
        }
        // Back to daily and a later hour; then monthly and its third day.
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(kind, Qt::Key_Up);
        time->setFocus();
        QTest::keyClick(time, Qt::Key_Up);
        for (int i = 0; i < 2; ++i)
            QTest::keyClick(kind, Qt::Key_Down);
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(day, Qt::Key_Down);
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    EXPECT_EQ(dialog.properties().strBackUpType, "매달");
    EXPECT_EQ(dialog.properties().nDay, 3);
    EXPECT_EQ(dialog.properties().strWeek, "");
    // The parts hidden while the hour was set are kept.
    EXPECT_EQ(dialog.properties().strTime, "09:44:10");
}

TEST_F(ItemEditTest, ValuesThatMatchNoEntryLeaveTheListsUnselectedAndNDayAsItWas)
{
    for (std::int16_t storedDay : {std::int16_t{0}, std::int16_t{31}}) {
        ItemEdit dialog;
        ItemProperties& p = dialog.properties(); // Wed: hand-edited, unused by a daily item
        std::tie(p.strBackUpType, p.strTime, p.strWeek, p.nDay) =
            std::tuple("매일", "02:00:00", "Wed", storedDay);
        ASSERT_TRUE(Run(dialog, [&] {
            EXPECT_EQ(Control<QComboBox>(dialog, "cmbWeek")->currentIndex(), -1);
            EXPECT_EQ(Control<QComboBox>(dialog, "cmbDay")->currentIndex(), -1);
            Click(Control<QPushButton>(dialog, "cmdOK"));
        }));
        // Untouched, they come back as they were, not as the controls' blanks.
        EXPECT_EQ(dialog.properties().nDay, storedDay);
        EXPECT_EQ(dialog.properties().strWeek, "Wed");
    }
}

// An item whose schedule can never make it due is refused, naming the field,
// with the focus on it; the operator's correction is taken. A stored time
// the picker cannot show is replaced by the picker's once refused.
TEST_F(ItemEditTest, AScheduleThatCanNeverRunIsRefusedWithTheFocusOnItsField)
{
    const std::tuple<const char*, const char*, std::int16_t, const char*, const char*> cases[] = {
        {"", "", 0, "02:00:00", "cmbTimeType"}, // a new item, as it opens
        {"weekly", "", 0, "02:00:00", "cmbTimeType"},
        {"매일", "", 0, "25:61:00", "dtpTime"},
        {"매주", "월요일", 0, "02:00:00", "cmbWeek"},
        {"매달", "", 0, "02:00:00", "cmbDay"}};
    for (const auto& [kind, weekday, day, time, name] : cases) {
        SCOPED_TRACE(name);
        ItemEdit dialog;
        ItemProperties& p = dialog.properties();
        std::tie(p.strBackUpType, p.strWeek, p.nDay, p.strTime) =
            std::tuple(kind, weekday, day, time);
        QString refusal;
        ASSERT_TRUE(Run(dialog, [&] {
            test::AnswerNextBox(QMessageBox::Ok, &refusal);
            Click(Control<QPushButton>(dialog, "cmdOK"));
            ASSERT_TRUE(dialog.isVisible());
            QWidget* field = Control<QWidget>(dialog, name);
            EXPECT_EQ(dialog.focusWidget(), field);
            if (auto* list = qobject_cast<QComboBox*>(field))
                QTest::keyClick(list, Qt::Key_Down); // its first entry
            Click(Control<QPushButton>(dialog, "cmdOK"));
        }));
        EXPECT_TRUE(refusal.startsWith("BackUp Time: ")) << refusal.toStdString();
        ScheduleRecord record;
        ApplyProperties(dialog.properties(), record);
        EXPECT_FALSE(ScheduleFaultOf(record)) << ScheduleFaultOf(record)->text;
    }
}

TEST_F(ItemEditTest, ReservedFilesTakeAWholeCountAndRefuseAnythingElseWithTheDialogOpen)
{
    struct Case
    {
        const char* typed;
        std::int16_t taken; // -1: refused
    };
    for (const Case& c :
         {Case{"12", 12}, Case{" 40 ", 40}, Case{"0", 0}, Case{"32767", 32767}, Case{"12abc", -1},
          Case{"abc", -1}, Case{"", -1}, Case{"-3", -1}, Case{"40000", -1}}) {
        SCOPED_TRACE(c.typed);
        ItemEdit dialog;
        dialog.setProperties(test::SampleWeeklyItem()); // 7 backups
        QString refusal;
        ASSERT_TRUE(Run(dialog, [&] {
            QLineEdit* box = Control<QLineEdit>(dialog, "txtReservedFiles");
            Retype(box, QString::fromLatin1(c.typed));
            if (c.taken < 0) {
                test::AnswerNextBox(QMessageBox::Ok, &refusal);
                Click(Control<QPushButton>(dialog, "cmdOK"));
                ASSERT_TRUE(dialog.isVisible());
                EXPECT_EQ(box->selectedText(), box->text());
                Retype(box, "5"); // corrected
            }
            Click(Control<QPushButton>(dialog, "cmdOK"));
        }));
        EXPECT_EQ(dialog.properties().nReservedFiles, c.taken < 0 ? 5 : c.taken);
        EXPECT_EQ(refusal.isEmpty(), c.taken >= 0) << refusal.toStdString();
    }
}

TEST_F(ItemEditTest, DisabledLoginBoxesStillReturnTheirTexts)
{
    ItemEdit dialog;
    std::tie(dialog.properties().strBackUpType, dialog.properties().strTime) =
        std::tuple("매일", "02:00:00");
    ASSERT_TRUE(Run(dialog, [&] {
        QCheckBox* smtp = Control<QCheckBox>(dialog, "chkThroughSMTPServer");
        QCheckBox* ftp = Control<QCheckBox>(dialog, "chkDataTransfer");
        QLineEdit* smtpUser = Control<QLineEdit>(dialog, "txtSmtpUserID");
        QLineEdit* ftpServer = Control<QLineEdit>(dialog, "txtFTPServer");

        // A disabled box takes no typing.
        QTest::keyClicks(smtpUser, "ignored");
        EXPECT_EQ(smtpUser->text(), "");

        Click(smtp);
        Click(ftp);
        ASSERT_TRUE(smtp->isChecked());
        for (const char* box : kSmtpBoxes)
            EXPECT_TRUE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        for (const char* box : kFtpBoxes)
            EXPECT_TRUE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        EXPECT_FALSE(Control<QCheckBox>(dialog, "chkDataCompress")->isChecked());
        QTest::keyClicks(smtpUser, "mailer");
        QTest::keyClicks(Control<QLineEdit>(dialog, "txtSmtpUserPassword"), "pw1");
        QTest::keyClicks(ftpServer, "ftp.example.com");

        Click(smtp);
        Click(ftp);
        for (const char* box : kSmtpBoxes)
            EXPECT_FALSE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        for (const char* box : kFtpBoxes)
            EXPECT_FALSE(Control<QLineEdit>(dialog, box)->isEnabled()) << box;
        EXPECT_TRUE(Control<QLineEdit>(dialog, "txtMailReceiver")->isEnabled());
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    EXPECT_FALSE(dialog.properties().bUseSmtpServer);
    EXPECT_FALSE(dialog.properties().bDataTransfer);
    EXPECT_EQ(dialog.properties().strSmtpUserID, "mailer");
    EXPECT_EQ(dialog.properties().strSmtpUserPassword, "pw1");
    EXPECT_EQ(dialog.properties().strFtpServer, "ftp.example.com");
}

TEST_F(ItemEditTest, EveryPasswordShowsDotsUntilItsButtonRevealsIt)
{
    ItemEdit dialog;
    dialog.properties() = test::SampleWeeklyItem();
    Run(dialog, [&] {
        for (const char* name : {"txtUserPWD", "txtSmtpUserPassword", "txtFTPUserPassWord"}) {
            QLineEdit* box = Control<QLineEdit>(dialog, name);
            EXPECT_EQ(box->displayText(), QString(box->text().size(), QChar(0x25CF))) << name;
            auto* reveal = box->findChild<QAction*>(QStringLiteral("showPassword"));
            ASSERT_NE(reveal, nullptr) << name;
            reveal->trigger();
            EXPECT_EQ(box->displayText(), box->text()) << name;
        }
        Click(Control<QPushButton>(dialog, "cmdCancel"));
    });
}

TEST_F(ItemEditTest, CancelEscapeAndTheCloseBoxKeepThePropertiesAsSet)
{
    const std::pair<const char*, std::function<void(ItemEdit&)>> ways[] = {
        {"Cancel", [](ItemEdit& d) { Click(d.findChild<QPushButton*>("cmdCancel")); }},
        {"Escape", [](ItemEdit& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"close box", [](ItemEdit& d) { d.close(); }},
    };
    for (const auto& [name, closeIt] : ways) {
        SCOPED_TRACE(name);
        ItemEdit dialog;
        dialog.setProperties(test::SampleWeeklyItem());
        const bool ok = Run(dialog, [&] {
            Retype(Control<QLineEdit>(dialog, "txtServiceName"), "CHANGED");
            Retype(Control<QLineEdit>(dialog, "txtReservedFiles"), "99");
            Click(Control<QCheckBox>(dialog, "chkDataCompress"));
            QTest::keyClick(Control<QComboBox>(dialog, "cmbTimeType"), Qt::Key_Up);
            test::AnswerNextBox(QMessageBox::Yes); // discard the changes
            closeIt(dialog);
        });
        EXPECT_FALSE(ok);
        EXPECT_EQ(dialog.properties(), test::SampleWeeklyItem());
    }
}

TEST_F(ItemEditTest, EnterMovesTheFocusOnInsteadOfClosing)
{
    ItemEdit dialog;
    dialog.setProperties(test::SampleWeeklyItem());
    int browsed = 0;
    dialog.setFolderChooser([&](QWidget*, const QString&, const QString&) {
        ++browsed;
        return std::optional<QString>();
    });
    ASSERT_TRUE(Run(dialog, [&] {
        // The hidden day list and the "<<" button are passed over.
        const char* const chain[] = {"txtServiceName", "txtUserID",     "txtUserPWD",
                                     "txtProgramPath", "cmbTimeType",   "cmbWeek",
                                     "dtpTime",        "txtBackFolder", "txtTables"};
        QWidget* first = Control<QWidget>(dialog, chain[0]);
        first->setFocus();
        for (std::size_t i = 0; i + 1 < std::size(chain); ++i) {
            QWidget* current = dialog.focusWidget();
            ASSERT_EQ(current, Control<QWidget>(dialog, chain[i]));
            QTest::keyClick(current, i % 2 ? Qt::Key_Enter : Qt::Key_Return);
            EXPECT_EQ(dialog.focusWidget(), Control<QWidget>(dialog, chain[i + 1]))
                << "after Enter in " << chain[i];
        }
        EXPECT_TRUE(dialog.isVisible());

        // The two-line description takes no line break: Enter leaves it.
        QPlainTextEdit* description = Control<QPlainTextEdit>(dialog, "txtDescription");
        description->setFocus();
        QTest::keyClick(description, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(description, Qt::Key_Return);
        EXPECT_EQ(description->toPlainText(), "nightly");
        EXPECT_EQ(dialog.focusWidget(), Control<QWidget>(dialog, "txtMailReceiver"));

        // A check box moves on as well, without toggling; past OK and Cancel
        // to the first box, where typing goes on.
        QCheckBox* compress = Control<QCheckBox>(dialog, "chkDataCompress");
        compress->setFocus();
        QTest::keyClick(compress, Qt::Key_Return);
        EXPECT_TRUE(compress->isChecked());
        EXPECT_EQ(dialog.focusWidget(), Control<QWidget>(dialog, "txtServiceName"));
        EXPECT_TRUE(dialog.isVisible());

        // On a button, Enter moves on too, to the next box; Space presses it.
        QPushButton* ok = Control<QPushButton>(dialog, "cmdOK");
        ok->setFocus();
        QTest::keyClick(ok, Qt::Key_Return);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.focusWidget(), Control<QWidget>(dialog, "txtServiceName"));
        EXPECT_EQ(browsed, 0);
        QTest::keyClick(ok, Qt::Key_Space);
    }));
    EXPECT_EQ(dialog.properties(), test::SampleWeeklyItem());
}

TEST_F(ItemEditTest, TheFolderChooserStartsAtTheBoxAndItsChoiceGetsOneSeparator)
{
    struct Case
    {
        std::optional<QString> chosen;
        QString box;
    };
    for (const Case& c : {Case{QStringLiteral("/srv/dumps"), QStringLiteral("/srv/dumps/")},
                          Case{QStringLiteral("/"), QStringLiteral("/")},
                          Case{QStringLiteral("/srv/백업"), QStringLiteral("/srv/백업/")},
                          Case{std::nullopt, QStringLiteral("/backup/")}}) {
        SCOPED_TRACE(c.box.toStdString());
        ItemEdit dialog;
        dialog.properties() = test::SampleWeeklyItem();
        QWidget* owner = nullptr;
        QString prompt;
        QString start;
        dialog.setFolderChooser([&](QWidget* parent, const QString& p, const QString& s) {
            owner = parent;
            prompt = p;
            start = s;
            return c.chosen;
        });
        ASSERT_TRUE(Run(dialog, [&] {
            Click(Control<QPushButton>(dialog, "cmdBorwser"));
            EXPECT_EQ(Control<QLineEdit>(dialog, "txtBackFolder")->text(), c.box);
            Click(Control<QPushButton>(dialog, "cmdOK"));
        }));
        EXPECT_EQ(owner, &dialog);
        EXPECT_EQ(prompt, "백업 파일이 저장될 폴더를 선택해 주세요.");
        EXPECT_EQ(start, "/backup/");
        EXPECT_EQ(dialog.properties().strBackUpFolder, c.box.toStdString());
    }
}

TEST_F(ItemEditTest, EditingTheFirstOfTwoRecordsNumberedFiveLeavesTheSecond)
{
    ScheduleTable table;
    for (const char* service : {"FIRST", "SECOND"}) {
        auto record = std::make_shared<ScheduleRecord>();
        std::tie(record->strBackUpType, record->strTime) = std::tuple("매일", "02:00:00");
        record->nNo = 5;
        record->strServiceName = service;
        table.push_back(record);
    }
    auto record = FindFirstItem(table, 5);
    ASSERT_EQ(record, table[0]);

    ItemEdit dialog;
    dialog.LoadRecord(*record);
    ASSERT_TRUE(Run(dialog, [&] {
        EXPECT_EQ(Control<QLineEdit>(dialog, "txtServiceName")->text(), "FIRST");
        Retype(Control<QLineEdit>(dialog, "txtServiceName"), "EDITED");
        Click(Control<QCheckBox>(dialog, "chkThroughSMTPServer"));
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    ApplyProperties(dialog.properties(), *record);
    EXPECT_EQ(table[0]->strServiceName, "EDITED");
    EXPECT_TRUE(table[0]->bUseSmtpServer); // an edit, unlike an insert, takes the options
    EXPECT_EQ(table[1]->strServiceName, "SECOND");
    EXPECT_FALSE(table[1]->bUseSmtpServer);
}

TEST_F(ItemEditTest, ARunAndADeleteDuringTheEditKeepTheRunningRecordIntact)
{
    ScheduleTable table;
    for (std::int32_t n = 1; n <= 3; ++n) {
        auto record = std::make_shared<ScheduleRecord>();
        std::tie(record->strBackUpType, record->strTime) = std::tuple("매일", "02:00:00");
        record->nNo = n;
        record->strServiceName = "SVC" + std::to_string(n);
        table.push_back(record);
    }
    std::shared_ptr<ScheduleRecord> edited = FindFirstItem(table, 3);
    ItemEdit dialog;
    dialog.LoadRecord(*edited);
    ASSERT_TRUE(Run(dialog, [&] {
        // While the dialog is open, a run of this item records its time and
        // the operator's earlier delete renumbers it.
        edited->strLastBackUpTime = "2026-12-07 02:00:00";
        edited->bEnabled = true;
        DeleteItems(table, 1);
        Retype(Control<QLineEdit>(dialog, "txtTables"), "EMP");
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    ApplyProperties(dialog.properties(), *edited);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[1], edited);
    EXPECT_EQ(edited->nNo, 2);
    EXPECT_EQ(edited->strServiceName, "SVC3");
    EXPECT_EQ(edited->strTables, "EMP");
    EXPECT_EQ(edited->strLastBackUpTime, "2026-12-07 02:00:00");
    EXPECT_TRUE(edited->bEnabled);
}

TEST_F(ItemEditTest, TheExportUtilitySaysWhichKindTheItemIs)
{
    ItemEdit dialog;
    dialog.setProperties(test::SampleWeeklyItem());
    ASSERT_TRUE(Run(dialog, [&] {
        QLabel* kind = Control<QLabel>(dialog, "lblItemKind");
        EXPECT_EQ(kind->text(), QStringLiteral("Original export (exp)"));
        Retype(Control<QLineEdit>(dialog, "txtProgramPath"), QStringLiteral("/u01/bin/EXPDP"));
        EXPECT_EQ(kind->text(), QStringLiteral("Data Pump (expdp)"));
        Click(Control<QPushButton>(dialog, "cmdOK"));
    }));
    EXPECT_EQ(dialog.properties().strProgramPath, "/u01/bin/EXPDP");
}
