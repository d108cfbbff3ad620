#include "window/system_main.h"

#include "editor/qt_text.h"
#include "editor/question.h"
#include "platform/file_io.h"
#include "schedule/calendar.h"
#include "schedule/schedule_text.h"
#include "store/schedule_file.h"
#include "version.h"
#include "window/item_command_handlers.h"
#include "window/item_rows.h"
#include "window/log_viewer.h"
#include "window/qt_tray_platform.h"
#include "window/tail_label.h"
#include "window/window_observer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTranslator>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <string_view>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr int kTimerIntervalMs = 1000;
const QColor kBackground(239, 237, 240);
// The window's Korean font; the free Nanum Gothic stands in for Gulim.
constexpr const char* kFontFamily = "NanumGothic";

struct Column
{
    const char* header;
    int widthTwips;
    Qt::Alignment alignment;
};

const Column kColumns[kItemColumns] = {
    {"No", 700, Qt::AlignLeft},
    {"ProfileName", 2000, Qt::AlignLeft},
    {"User ID", 1000, Qt::AlignLeft},
    {"Schedule", 2000, Qt::AlignLeft},
    {"Path", 4000, Qt::AlignLeft},
    {"Latest Back Time", 2000, Qt::AlignHCenter},
    {"Program Path", 1500, Qt::AlignLeft},
    {"Next Run", 2000, Qt::AlignHCenter},
    {"Last Result", 1500, Qt::AlignLeft},
    {"Cause", 3000, Qt::AlignLeft},
};

QFont WindowFont(double points, bool bold)
{
    QFont font(kFontFamily);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QLabel* Label(QWidget* parent, const QRect& geometry, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

} // namespace

std::string BuildTitle()
{
    return "Veltrane [Build No. : " + std::string(kVersion) + "]";
}

namespace {

// The title with the place where Qt marks unsaved changes ("*").
QString TitleWithModifiedMark()
{
    return ToQString(BuildTitle()) + QStringLiteral("[*]");
}

} // namespace

bool InstallQtKoreanTexts(QTranslator& translator)
{
    return translator.load(QStringLiteral("qtbase_ko"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
           QCoreApplication::installTranslator(&translator);
}

SystemMain::SystemMain(const Clock& clock, std::string dataFolder, TrayPlatform* tray,
                       std::string libraryFolder)
    : clock_(clock), observer_(new WindowObserver(*this)), worker_(std::make_unique<RunWorker>()),
      service_(*observer_, clock, std::move(dataFolder), std::move(libraryFolder), worker_.get())
{
    setWindowTitle(QStringLiteral("Veltrane"));
    setWindowIcon(ProgramIcon());
    setFont(WindowFont(9, false));
    BuildControls();
    if (tray == nullptr) {
        ownTray_ = std::make_unique<QtTrayPlatform>(
            *this, windowIcon(), [this](int code) { tray_->OnIconNotification(code); });
        tray = ownTray_.get();
    }
    tray_ = std::make_unique<MSysTray>(*tray);
    tray_->SetEndCheck([this] { return MayEnd(); });

    // Start-up: a step that fails leaves the window to start all the same,
    // but a schedule that is there and cannot be read: the caller refuses to
    // go on (ScheduleError), so that nothing saves an empty table over it.
    if (const Status loaded = service_.LoadSchedule(); !loaded)
        scheduleError_ = std::string(kScheduleFileName) + ": " + loaded.error().description;
    service_.LoadSettings();
    rows_ =
        std::make_unique<ItemRows>(*lvList, service_.Table(), service_.CurrentSettings(), clock_);
    service_.OnTableChanged([this](const ScheduleRecord* record) { TableChanged(record); });
    service_.OnRunning(
        [this](const std::shared_ptr<ScheduleRecord>& record) { RunningChanged(record); });
    ShowBuildTitle();
    UpdateModified();
    LoadPreferences();

    connect(&frameWatch_, &QTimer::timeout, this, [this] {
        CheckFrame();
        if (--frameChecksLeft_ <= 0) {
            frameWatch_.stop();
            centreWhenFramed_ = false;
        }
    });
    preferencesSave_.setSingleShot(true);
    preferencesSave_.setInterval(500);
    connect(&preferencesSave_, &QTimer::timeout, this, &SystemMain::SavePreferences);
    connect(&tm_Clock, &QTimer::timeout, this, &SystemMain::ClockTick);
    connect(&tmScheduleLaunch, &QTimer::timeout, this, &SystemMain::LaunchTick);
    tm_Clock.start(kTimerIntervalMs);
    tmScheduleLaunch.start(kTimerIntervalMs);
}

SystemMain::~SystemMain()
{
    SavePreferences();
    // The list lays itself out once more while it goes; nothing of this
    // window may hear of it.
    lvList->header()->disconnect(this);
    worker_.reset();
}

void SystemMain::BuildControls()
{
    auto* client = new QWidget(this);
    setCentralWidget(client);
    resize(ToPixels(13680), ToPixels(8325));

    auto* lblLabel1 = Label(client, Twips(600, 150, 1605, 435), QStringLiteral("현재 시간"));
    lblLabel1->setFont(WindowFont(14.25, true));
    lbTime = Label(client, Twips(2130, 150, 2325, 345), QString());
    lbTime->setFont(WindowFont(15.75, true));

    frOperation = new QFrame(client);
    frOperation->setGeometry(Twips(6510, 150, 7095, 585));
    frOperation->setFrameShape(QFrame::NoFrame);
    frOperation->setAutoFillBackground(true);
    auto button = [this](const char* text, int left, int width) {
        auto* b = new QPushButton(QString::fromUtf8(text), frOperation);
        b->setGeometry(Twips(left, 0, width, 375));
        return b;
    };
    // Each with its Alt key.
    cmdBackUpNow = button("선택항목백업(&B)", 0, 1365);
    cmdSave = button("저장(&S)", 1410, 1365);
    cmdToSysTray = button("시스템 트레이로(&T)", 2790, 1515);
    cmdItemDelete = button("항목 삭제(&D)", 4350, 1365);
    cmdInsertItem = button("백업항목 추가(&A)", 5730, 1320);

    lbDriveStatic = Label(client, Twips(180, 840, 13455, 285), QString());

    lvList = new QTreeWidget(client);
    lvList->setGeometry(Twips(150, 1200, 13515, 4650));
    lvList->setRootIsDecorated(false);
    lvList->setSelectionMode(QAbstractItemView::SingleSelection);
    lvList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvList->setAllColumnsShowFocus(true);
    lvList->setUniformRowHeights(true);
    lvList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvList, &QTreeWidget::customContextMenuRequested, this, &SystemMain::ShowListMenu);

    lstErrorList = new QListWidget(client);
    lstErrorList->setGeometry(Twips(150, 6450, 13515, 1500));
    connect(lstErrorList, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* line) { ShowLogOfLine(line->text()); });

    panel1_ = new QLabel(QStringLiteral("Ready"));
    panel1_->setMinimumWidth(ToPixels(2440));
    panel2_ = new TailLabel;
    panel2_->setMinimumWidth(ToPixels(6440));
    statusBar()->setFixedHeight(ToPixels(315));
    statusBar()->addWidget(panel1_);
    statusBar()->addWidget(panel2_, 1);

    connect(cmdBackUpNow, &QPushButton::clicked, this, &SystemMain::MarkRunNow);
    commands_ = new ItemCommandHandlers(*this);
    connect(cmdToSysTray, &QPushButton::clicked, this, [this] { tray_->AddTrayIcon(TrayTip()); });
}

void SystemMain::ShowBuildTitle()
{
    setWindowTitle(TitleWithModifiedMark());
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(frOperation)}) {
        QPalette palette = w->palette();
        palette.setColor(QPalette::Window, kBackground);
        w->setPalette(palette);
        w->setAutoFillBackground(true);
    }
    InitListColumns();
    RefreshItemList();
    UpdateTrayFailures();
}

void SystemMain::InitListColumns()
{
    lvList->clear();
    lvList->setColumnCount(kItemColumns);
    QTreeWidgetItem* header = lvList->headerItem();
    for (int i = 0; i < kItemColumns; ++i) {
        header->setText(i, QString::fromUtf8(kColumns[i].header));
        header->setTextAlignment(i, kColumns[i].alignment | Qt::AlignVCenter);
        lvList->setColumnWidth(i, ToPixels(kColumns[i].widthTwips));
    }
    // "No" holds the row's check box and a number of up to five digits (the
    // table's 32767 items).
    const QStyle* style = lvList->style();
    const int noWidth = style->pixelMetric(QStyle::PM_IndicatorWidth) +
                        lvList->fontMetrics().horizontalAdvance(QStringLiteral("00000")) +
                        4 * style->pixelMetric(QStyle::PM_FocusFrameHMargin) + 12;
    lvList->setColumnWidth(0, std::max(lvList->columnWidth(0), noWidth));
    // The cause repeats the failed rows' tooltips: shown from the header's
    // menu by whoever wants it at a glance.
    lvList->header()->setSectionHidden(kCauseColumn, true);
    lvList->header()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvList->header(), &QHeaderView::customContextMenuRequested, this,
            &SystemMain::ShowHeaderMenu, Qt::UniqueConnection);
    // Sorted by a header's click; "No" (the table's order) at first.
    lvList->sortByColumn(0, Qt::AscendingOrder);
    lvList->setSortingEnabled(true);
    connect(lvList->header(), &QHeaderView::sectionResized, this, &SystemMain::ColumnResized,
            Qt::UniqueConnection);
    connect(lvList->header(), &QHeaderView::sortIndicatorChanged, this,
            &SystemMain::SavePreferencesSoon, Qt::UniqueConnection);
}

bool SystemMain::Refreshing() const
{
    return rows_->Updating();
}

void SystemMain::RefreshItemList()
{
    rows_->Rebuild();
}

void SystemMain::TableChanged(const ScheduleRecord* record)
{
    if (record == nullptr || !rows_->InStep())
        rows_->Rebuild();
    else
        rows_->Update(*record);
    if (tray_->IconShown())
        tray_->SetTip(TrayTip());
    UpdateTrayFailures();
    UpdateModified();
}

void SystemMain::ShowHeaderMenu(const QPoint& at)
{
    QHeaderView* header = lvList->header();
    QMenu menu(this);
    // Every column but "No" (which holds the check boxes) can be hidden.
    for (int i = 1; i < kItemColumns; ++i) {
        QAction* action = menu.addAction(lvList->headerItem()->text(i));
        action->setCheckable(true);
        action->setChecked(!header->isSectionHidden(i));
        connect(action, &QAction::toggled, this, [this, header, i](bool shown) {
            header->setSectionHidden(i, !shown);
            if (shown && header->sectionSize(i) < 20)
                header->resizeSection(i, ToPixels(kColumns[i].widthTwips));
            SavePreferencesSoon();
        });
    }
    menu.exec(header->viewport()->mapToGlobal(at));
}

int SystemMain::StretchedColumn() const
{
    const QHeaderView* header = lvList->header();
    if (!header->stretchLastSection())
        return -1;
    for (int visual = header->count() - 1; visual >= 0; --visual)
        if (const int column = header->logicalIndex(visual); !header->isSectionHidden(column))
            return column;
    return -1;
}

void SystemMain::ColumnResized(int column, int, int width)
{
    // The operator's width, not the one the fit gave it.
    if (fitting_ || column == StretchedColumn())
        return;
    if (const auto at = static_cast<std::size_t>(column); at < preferredWidths_.size())
        preferredWidths_[at] = width;
    SavePreferencesSoon();
}

std::vector<TrayFailure> SystemMain::Failures() const
{
    std::vector<TrayFailure> failures;
    for (const auto& record : service_.Table()) {
        const ItemHistory& h = record->history;
        const std::string cause = FailureCauseText(*record);
        if (!record->bEnabled || cause.empty())
            continue;
        const std::string name = record->strServiceName + " / " + record->strID;
        failures.push_back(
            {name + "\n" + h.lastRunTime,
             "[" + name + "] " + h.lastRunTime + " " + LastResultText(*record) + "\n" + cause});
    }
    return failures;
}

void SystemMain::UpdateTrayFailures()
{
    tray_->SetFailures(Failures());
}

void SystemMain::UpdateModified()
{
    // What a save would write against what the file holds, read as the
    // program reads it (a hand-made file's numbering or spacing is no
    // change): a change undone by hand, or saved by a run, leaves nothing
    // unsaved. A file that cannot be read counts as empty.
    std::string onDisk;
    if (Result<std::string> bytes = ReadWholeFile(service_.SchedulePath()))
        onDisk = FormatSchedule(ParseSchedule(*bytes));
    setWindowModified(FormatSchedule(service_.Table()) != onDisk);
}

std::string SystemMain::EndQuestion(bool unsaved) const
{
    std::string text;
    if (unsaved)
        text = "저장하지 않은 변경 사항이 있습니다. 종료하면 변경 사항이 없어집니다.\n"
               "종료하기 전에 저장할까요?";
    if (service_.RunInProgress()) {
        if (!text.empty())
            text += "\n\n";
        const ScheduleRecord* running = rows_->Running();
        text += "백업이 진행 중입니다";
        if (running != nullptr)
            text += " (" + running->strServiceName + " / " + running->strID + ")";
        text += ". 종료하면 이 백업은 중단됩니다.";
    }
    return text;
}

bool SystemMain::MayEnd()
{
    UpdateModified();
    const bool unsaved = isWindowModified();
    const std::string text = EndQuestion(unsaved);
    if (text.empty())
        return true;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Veltrane"), ToQString(text),
                    QMessageBox::NoButton, this);
    if (unsaved) {
        box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        box.button(QMessageBox::Save)->setText(QStringLiteral("저장(&S)"));
        box.button(QMessageBox::Discard)->setText(QStringLiteral("저장 안 함(&N)"));
        // Enter saves: a hurried key loses nothing.
        box.setDefaultButton(QMessageBox::Save);
    } else {
        box.setStandardButtons(QMessageBox::Discard | QMessageBox::Cancel);
        box.button(QMessageBox::Discard)->setText(QStringLiteral("종료(&E)"));
        box.setDefaultButton(QMessageBox::Cancel);
    }
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("취소"));
    box.setEscapeButton(QMessageBox::Cancel);
    const int answer = box.exec();
    if (answer == QMessageBox::Save) {
        // A save that fails has said why in a result line; the program
        // stays, with the changes.
        if (!commands_->Save())
            return false;
    }
    return answer == QMessageBox::Save || answer == QMessageBox::Discard;
}

void SystemMain::RunningChanged(const std::shared_ptr<ScheduleRecord>& record)
{
    observer_->ForgetStop();
    rows_->SetRunning(record.get());
    if (record != nullptr)
        SetStatusText(1, "[" + record->strServiceName + "] BackUp...");
}

void SystemMain::MarkRunNow()
{
    QList<QTreeWidgetItem*> selected = lvList->selectedItems();
    if (selected.isEmpty())
        return;
    const std::int32_t number = RowItemNumber(FromQString(selected.front()->text(0)));
    if (service_.MarkRunNow(number) == 0)
        ShowMessage("사용하지 않는 항목이라 백업하지 않습니다. 목록에서 항목 앞의 체크 상자를 "
                    "켠 뒤 다시 눌러 주세요.");
}

void SystemMain::ShowLogOfLine(const QString& line)
{
    const std::shared_ptr<ScheduleRecord> record =
        ItemOfResultLine(service_.Table(), FromQString(line));
    if (record == nullptr) {
        ShowMessage("이 줄이 어느 항목의 것인지 알 수 없어 로그를 열지 않습니다.");
        return;
    }
    ShowLogOf(*record);
}

void SystemMain::StopRun()
{
    const ScheduleRecord* running = rows_->Running();
    if (running == nullptr)
        return;
    const std::string name = running->strServiceName + " / " + running->strID;
    if (!AskYesNo(this, ToQString("실행 중인 백업을 중지할까요?\n\n" + name +
                                  "\n\n중지한 백업은 실패로 세지 않으며, 이 항목은 다음 예정 "
                                  "시각에 다시 실행됩니다.")) ||
        rows_->Running() != running) // it ended while the question was open
        return;
    observer_->RequestStop();
    SetStatusText(1, "[" + running->strServiceName + "] Stopping...");
}

void SystemMain::ShowLogOf(const ScheduleRecord& record)
{
    ShowLatestLog(this, record, service_.Environment().DataFolder());
}

void SystemMain::ShowListMenu(const QPoint& at)
{
    QTreeWidgetItem* row = lvList->itemAt(at);
    if (ItemRows::RecordOf(row) != nullptr)
        lvList->setCurrentItem(row);
    else
        row = nullptr;
    QMenu menu(this);
    commands_->FillMenu(menu, row);
    menu.exec(lvList->viewport()->mapToGlobal(at));
}

std::string SystemMain::TrayTip()
{
    std::string tip = BuildTitle();
    std::int64_t seconds = 0;
    if (const ScheduleRecord* next = rows_->NextToRun(seconds))
        tip += "\n다음 실행: " + FormatDateTime(AtSeconds(seconds)) + " " + next->strServiceName;
    else
        tip += "\n다음 실행: 없음";
    // Every enabled item whose last run failed: what the red and violet
    // rows say, a few by name.
    constexpr std::size_t kNamed = 4;
    const std::vector<TrayFailure> failures = Failures();
    for (std::size_t i = 0; i < failures.size() && i < kNamed; ++i)
        tip += "\n실패: " + failures[i].text.substr(0, failures[i].text.find('\n'));
    if (failures.size() > kNamed)
        tip += "\n외 " + std::to_string(failures.size() - kNamed) + "건 실패";
    return tip;
}

void SystemMain::ClockTick()
{
    const LocalDateTime now = clock_.Now();
    lbTime->setText(ToQString(FormatTimeOfDay(now)));
    tray_->CheckTrayHost();
    rows_->ShowRunningTime();
    // Once a minute the cells that follow the clock: "Next Run", and the
    // colours of the items that became overdue.
    if (now.second == 0) {
        rows_->UpdateTimes();
        if (tray_->IconShown())
            tray_->SetTip(TrayTip());
        UpdateTrayFailures();
    }
}

void SystemMain::LaunchTick()
{
    service_.Tick();
}

void SystemMain::closeEvent(QCloseEvent* event)
{
    // Closing ends the program, after asking when something would be lost.
    // A run in progress is abandoned where it stands (its export stopped),
    // as the tray menu's end command does.
    if (!MayEnd()) {
        event->ignore();
        return;
    }
    SavePreferences();
    if (service_.RunInProgress()) {
        tray_->EndProgram();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

void SystemMain::SetStatusText(int panel, const std::string& text)
{
    if (panel == 1)
        panel1_->setText(ToQString(text));
    else
        panel2_->SetFullText(text);
}

std::string SystemMain::StatusText(int panel) const
{
    return panel == 1 ? FromQString(panel1_->text()) : panel2_->FullText();
}

void SystemMain::AppendResultLine(const std::string& line)
{
    lstErrorList->addItem(ToQString(line));
    lstErrorList->scrollToBottom();
}

void SystemMain::ShowMessage(const std::string& text)
{
    if (presenter_) {
        presenter_(MessageKind::Plain, text);
        return;
    }
    ShowModeless(QMessageBox::NoIcon, text);
}

void SystemMain::ShowCritical(const std::string& text)
{
    if (presenter_) {
        presenter_(MessageKind::Critical, text);
        return;
    }
    ShowModeless(QMessageBox::Critical, text);
}

// A message never holds a run or the timers: the box is modeless, and one
// box at a time shows the latest message (each is also in the result list).
void SystemMain::ShowModeless(QMessageBox::Icon icon, const std::string& text)
{
    if (messageBox_ == nullptr) {
        messageBox_ =
            new QMessageBox(icon, ToQString(BuildTitle()), QString(), QMessageBox::Ok, this);
        messageBox_->setAttribute(Qt::WA_DeleteOnClose);
        messageBox_->setWindowModality(Qt::NonModal);
    }
    messageBox_->setIcon(icon);
    messageBox_->setText(ToQString(text));
    messageBox_->show();
}

} // namespace veltrane
