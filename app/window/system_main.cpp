#include "window/system_main.h"

#include "editor/qt_text.h"
#include "schedule/due_rules.h"
#include "schedule/schedule_text.h"
#include "store/schedule_file.h"
#include "version.h"
#include "window/item_command_handlers.h"
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

const Column kColumns[kListColumns] = {
    {"No", 700, Qt::AlignLeft},
    {"ProfileName", 2000, Qt::AlignLeft},
    {"User ID", 1000, Qt::AlignLeft},
    {"Schedule", 2000, Qt::AlignLeft},
    {"Path", 4000, Qt::AlignLeft},
    {"Latest Back Time", 2000, Qt::AlignHCenter},
    {"Program Path", 1500, Qt::AlignLeft},
    {"Next Run", 2000, Qt::AlignHCenter},
    {"Last Result", 1500, Qt::AlignLeft},
};

constexpr int kNextRunColumn = 7;

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

    // Start-up: a step that fails leaves the window to start all the same,
    // but a schedule that is there and cannot be read: the caller refuses to
    // go on (ScheduleError), so that nothing saves an empty table over it.
    if (const Status loaded = service_.LoadSchedule(); !loaded)
        scheduleError_ = std::string(kScheduleFileName) + ": " + loaded.error().description;
    service_.LoadSettings();
    service_.OnTableChanged([this] { RefreshItemList(); });
    ShowBuildTitle();

    connect(&frameWatch_, &QTimer::timeout, this, [this] {
        CheckFrame();
        if (--frameChecksLeft_ <= 0) {
            frameWatch_.stop();
            centreWhenFramed_ = false;
        }
    });
    connect(&tm_Clock, &QTimer::timeout, this, &SystemMain::ClockTick);
    connect(&tmScheduleLaunch, &QTimer::timeout, this, &SystemMain::LaunchTick);
    tm_Clock.start(kTimerIntervalMs);
    tmScheduleLaunch.start(kTimerIntervalMs);
}

SystemMain::~SystemMain()
{
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
    cmdBackUpNow = button("선택항목백업", 0, 1365);
    cmdSave = button("저장", 1410, 1365);
    cmdToSysTray = button("시스템 트레이로", 2790, 1515);
    cmdItemDelete = button("항목 삭제", 4350, 1365);
    cmdInsertItem = button("백업항목 추가", 5730, 1320);

    lbDriveStatic = Label(client, Twips(180, 840, 13455, 285), QString());

    lvList = new QTreeWidget(client);
    lvList->setGeometry(Twips(150, 1200, 13515, 4650));
    lvList->setRootIsDecorated(false);
    lvList->setSelectionMode(QAbstractItemView::SingleSelection);
    lvList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvList->setAllColumnsShowFocus(true);

    lstErrorList = new QListWidget(client);
    lstErrorList->setGeometry(Twips(150, 6450, 13515, 1500));

    panel1_ = new QLabel(QStringLiteral("Ready"));
    panel1_->setMinimumWidth(ToPixels(2440));
    panel2_ = new TailLabel;
    panel2_->setMinimumWidth(ToPixels(6440));
    statusBar()->setFixedHeight(ToPixels(315));
    statusBar()->addWidget(panel1_);
    statusBar()->addWidget(panel2_, 1);

    connect(cmdBackUpNow, &QPushButton::clicked, this, &SystemMain::MarkRunNow);
    commands_ = new ItemCommandHandlers(*this);
    connect(cmdToSysTray, &QPushButton::clicked, this,
            [this] { tray_->AddTrayIcon(FromQString(windowTitle())); });
}

void SystemMain::ShowBuildTitle()
{
    setWindowTitle(ToQString(BuildTitle()));
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(frOperation)}) {
        QPalette palette = w->palette();
        palette.setColor(QPalette::Window, kBackground);
        w->setPalette(palette);
        w->setAutoFillBackground(true);
    }
    InitListColumns();
    RefreshItemList();
}

void SystemMain::InitListColumns()
{
    lvList->clear();
    lvList->setColumnCount(static_cast<int>(kListColumns));
    QTreeWidgetItem* header = lvList->headerItem();
    for (int i = 0; i < static_cast<int>(kListColumns); ++i) {
        header->setText(i, QString::fromUtf8(kColumns[i].header));
        header->setTextAlignment(i, kColumns[i].alignment | Qt::AlignVCenter);
        lvList->setColumnWidth(i, ToPixels(kColumns[i].widthTwips));
    }
}

void SystemMain::RefreshItemList()
{
    // The selection is kept by position, so a rebuild after a run or an edit
    // leaves the operator's row selected.
    const int selected =
        lvList->currentItem() != nullptr ? lvList->indexOfTopLevelItem(lvList->currentItem()) : -1;
    refreshing_ = true;
    lvList->setVisible(false);
    InitListColumns();
    // The rows are made apart from the list and handed over at once: the
    // list then lays itself out once, not once per row (32767 items at most).
    const LocalDateTime now = clock_.Now();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(service_.Table().size()));
    for (const auto& record : service_.Table()) {
        const auto texts = ListRowTexts(*record, now);
        QStringList cells;
        cells.reserve(static_cast<qsizetype>(kListColumns));
        for (const std::string& text : texts)
            cells << ToQString(text);
        auto* row = new QTreeWidgetItem(cells);
        for (std::size_t i = 0; i < kListColumns; ++i)
            if (kColumns[i].alignment != Qt::AlignLeft)
                row->setTextAlignment(static_cast<int>(i),
                                      kColumns[i].alignment | Qt::AlignVCenter);
        row->setFlags((row->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsEditable);
        row->setCheckState(0, record->bEnabled ? Qt::Checked : Qt::Unchecked);
        rows << row;
    }
    lvList->addTopLevelItems(rows);
    if (selected >= 0 && selected < lvList->topLevelItemCount())
        lvList->setCurrentItem(lvList->topLevelItem(selected));
    lvList->setVisible(true);
    refreshing_ = false;
}

void SystemMain::MarkRunNow()
{
    QList<QTreeWidgetItem*> selected = lvList->selectedItems();
    if (selected.isEmpty())
        return;
    const std::int32_t number = RowItemNumber(FromQString(selected.front()->text(0)));
    for (const auto& record : service_.Table())
        if (record->nNo == number)
            record->bRunNow = true;
}

void SystemMain::ClockTick()
{
    const LocalDateTime now = clock_.Now();
    lbTime->setText(ToQString(FormatTimeOfDay(now)));
    tray_->CheckTrayHost();
    // Once a minute the "Next Run" cells follow the clock and the check boxes
    // ticked since the last rebuild.
    if (now.second == 0)
        RefreshNextRunCells();
}

void SystemMain::RefreshNextRunCells()
{
    const LocalDateTime now = clock_.Now();
    const ScheduleTable& table = service_.Table();
    const int rows = std::min(lvList->topLevelItemCount(), static_cast<int>(table.size()));
    for (int i = 0; i < rows; ++i) {
        const std::optional<LocalDateTime> next =
            NextDueTime(*table[static_cast<std::size_t>(i)], now);
        lvList->topLevelItem(i)->setText(kNextRunColumn,
                                         ToQString(next ? FormatDateTime(*next) : "-"));
    }
}

void SystemMain::LaunchTick()
{
    service_.Tick();
}

void SystemMain::closeEvent(QCloseEvent* event)
{
    // Closing ends the program without saving or asking. A run in progress
    // is abandoned where it stands, as the tray menu's end command does.
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
        messageBox_ = new QMessageBox(icon, windowTitle(), QString(), QMessageBox::Ok, this);
        messageBox_->setAttribute(Qt::WA_DeleteOnClose);
        messageBox_->setWindowModality(Qt::NonModal);
    }
    messageBox_->setIcon(icon);
    messageBox_->setText(ToQString(text));
    messageBox_->show();
}

} // namespace veltrane
