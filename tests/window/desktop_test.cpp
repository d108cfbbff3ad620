// The real program on an X server of its own, driven with xdotool as an
// operator drives it: the questions before a delete and before discarding a
// form, a refused count, a new item keeping what was typed, the rows' colours.

#include "platform/codepage.h"
#include "store/run_state.h"
#include "store/schedule_file.h"
#include "support/temp_dir.h"
#include "support/x_desktop.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace veltrane;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WaitFor;
using veltrane::test::WaitUntil;

namespace {

class DesktopBase : public ::testing::Test
{
protected:
    explicit DesktopBase(bool windowManager) : desktop{folder.path(), windowManager} {}

    // Daily items (user SCOTT) due twelve hours from now, so that none runs
    // during the test; enabled when `enabled`.
    void Start(const std::vector<const char*>& services, bool enabled = false)
    {
        ScheduleTable table;
        for (const char* service : services) {
            auto& r = table.emplace_back(std::make_shared<ScheduleRecord>());
            r->bEnabled = enabled;
            r->strBackUpType = "매일";
            r->strTime = QString::asprintf("%02d:00:00", (QTime::currentTime().hour() + 12) % 24)
                             .toStdString();
            r->strServiceName = service;
            r->strID = "SCOTT";
            r->strBackUpFolder = folder.path() + "/";
        }
        ASSERT_TRUE(SaveSchedule(folder.File("Schedule.dat"), table).ok());
        ASSERT_FALSE(desktop.TrayPanel().isEmpty()) << desktop.Logs();
        window = desktop.StartProgram(folder.path());
        ASSERT_FALSE(window.isEmpty()) << desktop.ProgramOutput();
    }

    // Presses "저장" and waits for the file to hold these services.
    bool SavedAs(const std::vector<std::string>& services)
    {
        // Pressed again when the press went astray: a second save is harmless.
        return test::RetryingUntil([&] { desktop.ClickButton(window, 1410, 1365); },
                                   [&] {
                                       Result<ScheduleTable> saved =
                                           LoadSchedule(folder.File("Schedule.dat"));
                                       std::vector<std::string> names;
                                       for (const auto& r : saved ? *saved : ScheduleTable())
                                           names.push_back(r->strServiceName);
                                       return names == services;
                                   });
    }

    // The box or dialog titled "Veltrane" that comes up, other than `except`.
    QString Box(const QString& except = {})
    {
        return WaitFor([&] { return desktop.Visible({"--name", "^Veltrane$"}, except); });
    }

    bool Shown(const QString& id)
    {
        return desktop.VisibleAll({"--name", "^Veltrane"}).contains(id);
    }

    bool Gone(const QString& id)
    {
        return WaitUntil([&] { return !Shown(id); });
    }

    // Answers the box that comes up (other than `except`) with a key, and
    // waits for it to go: a click meanwhile would meet the box, not the window.
    bool Answer(const QString& key, const QString& except = {})
    {
        const QString box = Box(except);
        return !box.isEmpty() && test::RetryingUntil(
                                     [&] {
                                         if (Shown(box))
                                             desktop.Keys(box, {key});
                                     },
                                     [&] { return !Shown(box); });
    }

    // Selects the second row from the keyboard (a click on the list first,
    // away from the check boxes).
    void SelectSecondRow()
    {
        desktop.Click(window, 300, 150);
        desktop.Keys(window, {"Home", "Down"});
    }

    TempDir folder;
    test::XDesktop desktop;
    QString window;
};

class Desktop : public DesktopBase
{
protected:
    Desktop() : DesktopBase(false) {}
};

// With a window manager, which closes the window on Alt+F4.
class FramedDesktop : public DesktopBase
{
protected:
    FramedDesktop() : DesktopBase(true) {}
};

} // namespace

TEST_F(Desktop, ADeleteAsksFirstAndCanBeUndoneUntilTheTableIsSaved)
{
    Start({"A", "B", "C"});
    SelectSecondRow();
    desktop.ClickButton(window, 4350, 1365);
    ASSERT_TRUE(Answer("n"));
    ASSERT_TRUE(SavedAs({"A", "B", "C"}));

    // A double click on "항목 삭제" meets the question once: one item goes,
    // and Ctrl+Z brings it back.
    desktop.ClickButton(window, 4350, 1365, 2);
    ASSERT_TRUE(Answer("y"));
    desktop.Keys(window, {"ctrl+z"});
    EXPECT_TRUE(SavedAs({"A", "B", "C"}));

    SelectSecondRow();
    desktop.ClickButton(window, 4350, 1365);
    ASSERT_TRUE(Answer("y"));
    EXPECT_TRUE(SavedAs({"A", "C"}));
    desktop.Keys(window, {"ctrl+z"}); // saved: too late, and it says so
    EXPECT_FALSE(WaitFor([&] {
                     return desktop.Visible({"--name", "^Veltrane \\["}, window);
                 }).isEmpty());
    EXPECT_TRUE(SavedAs({"A", "C"}));
    const std::string history = cp949::ToUtf8(ReadBytes(folder.File("Veltrane.log")));
    EXPECT_NE(history.find("항목 삭제: 2 B / SCOTT"), std::string::npos) << history;
}

TEST_F(Desktop, TheEditorAsksBeforeDiscardingRefusesLettersAndKeepsWhatANewItemWasGiven)
{
    Start({"A"});
    desktop.ClickButton(window, 5730, 1320); // "백업항목 추가"
    QString editor = Box();
    ASSERT_FALSE(editor.isEmpty());
    desktop.Keys(editor, {"Escape"}); // nothing typed: it closes at once
    ASSERT_TRUE(Gone(editor));

    desktop.ClickButton(window, 5730, 1320);
    editor = Box();
    desktop.Type(editor, "NEWDB");
    desktop.Keys(editor, {"Escape"});
    ASSERT_TRUE(Answer("n", editor)); // keep editing
    desktop.Keys(editor, {"Escape"});
    ASSERT_TRUE(Answer("y", editor)); // discard
    ASSERT_TRUE(Gone(editor));
    EXPECT_TRUE(SavedAs({"A"}));

    // Backwards from the service name: Cancel, OK, then the last boxes of the
    // form: "Rar Compress", the transfer, the SMTP server, the recipients,
    // the description and the count of backups to keep.
    desktop.ClickButton(window, 5730, 1320);
    editor = Box();
    desktop.Type(editor, "NEWDB");
    desktop.Keys(editor, {"shift+Tab", "shift+Tab", "shift+Tab", "space", "shift+Tab", "space",
                          "shift+Tab", "space", "shift+Tab", "shift+Tab"});
    desktop.Type(editor, "nightly");
    desktop.Keys(editor, {"shift+Tab", "ctrl+a"});
    desktop.Type(editor, "7x");
    desktop.Keys(editor, {"ctrl+Return"});
    ASSERT_TRUE(Answer("Return", editor)); // refused, with the dialog left open
    desktop.Type(editor, "5");             // the refused text is selected
    desktop.Keys(editor, {"ctrl+Return"});
    ASSERT_TRUE(Answer("Return", editor)); // no kind: refused, the focus on the kind
    desktop.Keys(editor, {"Down", "ctrl+Return"});
    ASSERT_TRUE(Gone(editor));
    ASSERT_TRUE(SavedAs({"A", "NEWDB"}));
    const ScheduleRecord added = *LoadSchedule(folder.File("Schedule.dat"))->back();
    EXPECT_TRUE(added.bUseSmtpServer && added.bDataTransfer && added.bDataCompress);
    EXPECT_EQ(added.strDescription, "nightly");
    EXPECT_EQ(added.nReservedFiles, 5);
}

TEST_F(Desktop, AFailedItemsRowIsRedAndAnOverdueOnesAmber)
{
    const std::string now =
        QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss").toStdString();
    const std::string threeDaysAgo =
        QDateTime::currentDateTime().addDays(-3).toString("yyyy-MM-dd HH:mm:ss").toStdString();
    ItemHistory failed, late;
    failed.lastRunTime = now;
    failed.failuresInARow = 1;
    late.lastRunTime = late.lastSuccessTime = threeDaysAgo;
    late.lastRunSucceeded = true;
    RunState state;
    state.items = {{2, "FAILED", "SCOTT", folder.path() + "/", failed, {}, {}},
                   {3, "LATE", "SCOTT", folder.path() + "/", late, {}, {}}};
    test::WriteBytes(folder.File("Veltrane.state"), FormatRunState(state));
    Start({"GOOD", "FAILED", "LATE"}, true);
    // Every column wants more than this screen's width: the window takes it all.
    const QRect area = desktop.Geometry(window);
    EXPECT_EQ(area.width(), 1024);
    const auto pixels = [&](QRgb colour) {
        const QImage screen = desktop.Screen().copy(area);
        int count = 0;
        for (int y = 0; y < screen.height(); ++y)
            for (int x = 0; x < screen.width(); ++x)
                count += (screen.pixel(x, y) & 0xffffff) == (colour & 0xffffff);
        return count;
    };
    // A row's width of each: more than a few pixels of text could make.
    EXPECT_TRUE(WaitUntil([&] { return pixels(qRgb(255, 200, 200)) > area.width() * 5; }));
    EXPECT_TRUE(WaitUntil([&] { return pixels(qRgb(255, 222, 150)) > area.width() * 5; }));
}

TEST_F(FramedDesktop, ClosingWithAnUnsavedItemAsksAndSavingKeepsIt)
{
    Start({"A"});
    QString editor =
        test::Retrying([&] { desktop.Keys(window, {"ctrl+n"}); }, [&] { return Box(); });
    ASSERT_FALSE(editor.isEmpty());
    desktop.Type(editor, "NEWDB");
    // Enter from box to box up to the kind, daily, and OK.
    desktop.Keys(editor, {"Return", "Return", "Return", "Return", "Down", "ctrl+Return"});
    ASSERT_TRUE(Gone(editor));
    EXPECT_TRUE(WaitUntil([&] {
        return desktop.Tool("xdotool", {"getwindowname", window}).endsWith("]*");
    })) << "the title marks the unsaved item";

    desktop.Keys(window, {"alt+F4"});
    ASSERT_TRUE(Answer("Escape")); // 취소: the program goes on
    EXPECT_EQ(desktop.Program().state(), QProcess::Running);
    desktop.Keys(window, {"alt+F4"});
    ASSERT_TRUE(Answer("s")); // 저장, and the program ends
    // The answer's wait may already have seen the program end.
    ASSERT_TRUE(desktop.Program().state() == QProcess::NotRunning ||
                desktop.Program().waitForFinished(test::kLongestWaitMs))
        << desktop.ProgramOutput();
    Result<ScheduleTable> saved = LoadSchedule(folder.File("Schedule.dat"));
    ASSERT_TRUE(saved && saved->size() == 2);
    EXPECT_EQ(saved->back()->strServiceName, "NEWDB");
}
