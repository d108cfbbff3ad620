#pragma once

// SystemMain: the program's main window. It shows the schedule items, the
// clock, the five command buttons, the status bar and the result lines, and
// ticks the clock and launch timers. The backup runs execute on a worker
// thread (RunWorker); the window shows what they tell (WindowObserver).
//
// The list shows at a glance how each item stands (ItemRows); a result line
// or an item's "로그 보기" opens the item's latest log. The window keeps its
// size, its column widths and its sort in "Veltrane.window" in the data
// folder, so a second start looks as the operator left it.

#include "platform/clock.h"
#include "service/schedule_service.h"
#include "window/run_worker.h"
#include "window/tray.h"

#include <QMainWindow>
#include <QMargins>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QTranslator;
class QTreeWidget;
class QTreeWidgetItem;

namespace veltrane {

class ItemCommandHandlers;
class ItemRows;

// What the window keeps of itself, beside Schedule.dat (whose format stays).
inline constexpr const char* kWindowPreferencesFileName = "Veltrane.window";

// Lengths of the window's design are in twips; 15 twips are one pixel.
inline constexpr int kTwipsPerPixel = 15;

inline int ToTwips(int pixels)
{
    return pixels * kTwipsPerPixel;
}

inline int ToPixels(int twips)
{
    return twips / kTwipsPerPixel;
}

inline QRect Twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

// "Veltrane [Build No. : 1.0.70]"
std::string BuildTitle();

// Loads Qt's own Korean texts (dialog buttons, the folder browser) into
// `translator` and installs it in the application, so Qt's dialogs speak the
// window's language whatever the desktop's locale. The translator uninstalls
// itself when destroyed. False when the translations are not installed.
bool InstallQtKoreanTexts(QTranslator& translator);

class TailLabel;
class WindowObserver;

class SystemMain : public QMainWindow
{
public:
    enum class MessageKind { Plain, Critical };
    using MessagePresenter = std::function<void(MessageKind, const std::string&)>;

    // `dataFolder` holds Schedule.dat and the rest of the program's files;
    // the libraries are looked for in `libraryFolder` first (empty: the data
    // folder). A null `tray` uses the desktop's notification area.
    SystemMain(const Clock& clock, std::string dataFolder, TrayPlatform* tray = nullptr,
               std::string libraryFolder = {});
    ~SystemMain() override;

    // Replaces the message boxes (tests record the messages instead).
    void SetMessagePresenter(MessagePresenter presenter) { presenter_ = std::move(presenter); }

    ScheduleService& Service() { return service_; }
    // Why Schedule.dat could not be read at the start; empty when it was (or
    // is missing). The program then shows it and ends instead of running.
    const std::string& ScheduleError() const { return scheduleError_; }
    MSysTray& Tray() { return *tray_; }

    // The work of each timer tick.
    void ClockTick();
    void LaunchTick();

    // True while the program changes the rows (their check boxes change
    // without the operator).
    bool Refreshing() const;

    void InitListColumns();
    // Builds every row anew (after an insert or a delete).
    void RefreshItemList();
    ItemRows& Rows() { return *rows_; }
    // What a change of the table changes: the record's row (every row when
    // items came or went), the tray's tip.
    void TableChanged(const ScheduleRecord* record);
    // The enabled items whose last run failed (its export, or a step after
    // it), each named with its run's time and cause, in table order.
    std::vector<TrayFailure> Failures() const;
    // Gives the tray the failures standing now (its icon, its notices).
    void UpdateTrayFailures();
    // The header's menu: shows or hides each column but the first.
    void ShowHeaderMenu(const QPoint& at);
    // Narrows the columns that matter least until every column fits the
    // list's width (their whole texts show in tooltips).
    void FitColumns();
    // A column's width changed: by the operator (kept and saved), or by the
    // fit.
    void ColumnResized(int column, int oldWidth, int width);
    // The column that takes up the list's width left over (the last shown),
    // -1 for none.
    int StretchedColumn() const;
    // Flags the selected item to run; says why not when it is disabled.
    void MarkRunNow();
    // Opens the latest log of the item that a result line tells of.
    void ShowLogOfLine(const QString& line);
    void ShowLogOf(const ScheduleRecord& record);
    // Stops the export of the run in progress, after asking.
    void StopRun();

    // Whether the table holds what Schedule.dat does not (an item added,
    // edited, deleted or ticked since the last save); the title then marks
    // the window as modified. Called after every change and save.
    void UpdateModified();
    // Before the program ends (the close box, Alt+F4, the tray's end
    // command): with unsaved changes or a run in progress, asks whether to
    // save, end without saving, or go on, saying that a backup is running.
    // True when the program may end (saved, when that was asked and done).
    bool MayEnd();

    // The tray icon's tip: the title, the next run and the last failure.
    std::string TrayTip();

    // What a run shows, on the window's thread (see WindowObserver): status
    // bar panel 1 (the stage) and 2 (the detail), and the result list.
    void SetStatusText(int panel, const std::string& text);
    std::string StatusText(int panel) const;
    void AppendResultLine(const std::string& line);
    // Messages show in a modeless box (one at a time, the latest text), so
    // that no message holds anything while backups are due.
    void ShowMessage(const std::string& text);
    void ShowCritical(const std::string& text);
    QMessageBox* MessageBox() const { return messageBox_; }

    // The window's controls, for the item commands and the tests.
    QTreeWidget* lvList = nullptr;
    QListWidget* lstErrorList = nullptr;
    QLabel* lbTime = nullptr;
    QLabel* lbDriveStatic = nullptr;
    QFrame* frOperation = nullptr;
    QPushButton* cmdBackUpNow = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdToSysTray = nullptr;
    QPushButton* cmdItemDelete = nullptr;
    QPushButton* cmdInsertItem = nullptr;
    QTimer tm_Clock;
    QTimer tmScheduleLaunch;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ShowBuildTitle();
    // Takes the frame's margins from the window system when it knows them;
    // true when they changed.
    bool UpdateFrame();
    // Lays the window out again (and makes the first centring good) when
    // the frame has changed.
    void CheckFrame();
    // The window's size with its frame (border and title bar).
    QSize OuterSize();
    void CentreOnScreen();
    void ApplyResizeRule();
    void ShowModeless(QMessageBox::Icon icon, const std::string& text);
    // The run that started (null: the run ended) marks its row.
    void RunningChanged(const std::shared_ptr<ScheduleRecord>& record);
    void ShowListMenu(const QPoint& at);
    // The question of MayEnd; null text: nothing to ask.
    std::string EndQuestion(bool unsaved) const;
    // The size that shows every column, within the screen's work area.
    QSize DefaultSize() const;
    // Keeps the window's outer frame within the screen's work area.
    void FitToScreen();
    void LoadPreferences();
    void SavePreferences();
    void SavePreferencesSoon();

    const Clock& clock_;
    WindowObserver* observer_;
    // Joined before the service goes (the destructor): a job in progress
    // uses it.
    std::unique_ptr<RunWorker> worker_;
    ScheduleService service_;
    std::string scheduleError_;
    std::unique_ptr<TrayPlatform> ownTray_;
    std::unique_ptr<MSysTray> tray_;
    ItemCommandHandlers* commands_ = nullptr;
    QLabel* panel1_ = nullptr;
    TailLabel* panel2_ = nullptr;
    MessagePresenter presenter_;
    QPointer<QMessageBox> messageBox_;
    std::unique_ptr<ItemRows> rows_;
    // The widths the operator gave the columns (or they were saved with),
    // which the fit narrows to the list's width; empty until the first fit.
    std::vector<int> preferredWidths_;
    bool fitting_ = false;
    bool centred_ = false;
    // Set while the window watches for its first frame: each frame it learns
    // of centres it again. Until the window manager has settled the window
    // in its frame the window system may report margins of a passing state.
    bool centreWhenFramed_ = false;
    QMargins frame_;
    // Asks for the frame for a while after the window is shown: the window
    // manager frames it in its own time, and nothing tells the window when.
    QTimer frameWatch_;
    int frameChecksLeft_ = 0;
    // The preferences are written a moment after they change, so that a
    // program ended from the tray or by a signal (which skip every
    // destructor) has them too.
    QTimer preferencesSave_;
    QSize preferredSize_; // the last size in the normal state
    bool preferMaximized_ = false;
    bool preferencesLoaded_ = false;
};

} // namespace veltrane
