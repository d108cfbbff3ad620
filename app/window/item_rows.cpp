#include "window/item_rows.h"

#include "editor/qt_text.h"
#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "schedule/schedule_text.h"
#include "service/item_status.h"

#include <QFontMetrics>
#include <QScrollBar>
#include <QTreeWidget>
#include <algorithm>

namespace veltrane {
namespace {

enum Column { kNo, kProfile, kUser, kSchedule, kPath, kLatest, kProgram, kNextRun, kLastResult };

// Light enough that the text and the selection still read well.
const QColor kFailedColour(255, 200, 200);
const QColor kStepFailedColour(232, 212, 255);
const QColor kOverdueColour(255, 222, 150);
const QColor kRunningColour(200, 224, 255);

QString NextRunText(const std::optional<LocalDateTime>& next)
{
    return next ? ToQString(FormatDateTime(*next)) : QStringLiteral("-");
}

// "실행 중 3:07", "실행 중 1:02:07".
QString RunningText(std::int64_t seconds)
{
    seconds = std::max<std::int64_t>(seconds, 0);
    const auto two = [](std::int64_t n) { return QStringLiteral("%1").arg(n, 2, 10, QChar('0')); };
    QString time = seconds >= 3600 ? QString::number(seconds / 3600) + ':' + two(seconds / 60 % 60)
                                   : QString::number(seconds / 60);
    return QStringLiteral("실행 중 ") + time + ':' + two(seconds % 60);
}

// The next run the row shows: a monthly item's day can lie further ahead
// than the rules look (the 31st seen from the start of a month without
// one), yet it runs then, so it shows that date rather than the "-" of an
// item that never runs.
std::optional<LocalDateTime> ShownNextRun(const ScheduleRecord& r,
                                          const std::optional<LocalDateTime>& next,
                                          const LocalDateTime& now)
{
    if (next || !r.bEnabled || r.strBackUpType != kKindMonthly)
        return next;
    for (int months = 1; months <= 3; ++months)
        if (auto later = NextDueTime(r, AddSeconds(now, months * kNextDueHorizon)))
            return later;
    return std::nullopt;
}

} // namespace

std::vector<int> FitColumnWidths(std::vector<int> widths, int room, const std::vector<int>& giveWay,
                                 const std::vector<int>& minimum)
{
    int excess = -room;
    for (int width : widths)
        excess += width;
    for (std::size_t i = 0; i < giveWay.size() && excess > 0; ++i) {
        const auto column = static_cast<std::size_t>(giveWay[i]);
        if (column >= widths.size() || widths[column] == 0)
            continue;
        const int shrink = std::clamp(widths[column] - minimum[column], 0, excess);
        widths[column] -= shrink;
        excess -= shrink;
    }
    return widths;
}

ItemRow::ItemRow(std::shared_ptr<ScheduleRecord> record, std::size_t position)
    : QTreeWidgetItem(UserType), record_(std::move(record)), position_(position)
{
    setFlags((flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsEditable);
    for (int column : {kLatest, kNextRun})
        setTextAlignment(column, Qt::AlignHCenter | Qt::AlignVCenter);
}

void ItemRow::SetState(RowState state)
{
    if (state == state_)
        return;
    state_ = state;
    emitDataChanged();
}

QVariant ItemRow::data(int column, int role) const
{
    if (role == Qt::ToolTipRole) {
        // A cell too narrow for its text shows it whole in its tooltip; a
        // failed row says why in every cell's.
        QString tip;
        const QTreeWidget* list = treeWidget();
        const QString cell = text(column);
        if (list != nullptr && !cell.isEmpty()) {
            const int room = list->columnWidth(column) - (column == kNo ? 36 : 12);
            if (list->fontMetrics().horizontalAdvance(cell) > room)
                tip = cell;
        }
        if (!cause_.isEmpty() && column != kCauseColumn) {
            if (!tip.isEmpty())
                tip += QLatin1Char('\n');
            tip += QStringLiteral("실패 원인: ") + cause_;
        }
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    if (role != Qt::BackgroundRole || state_ == RowState::Normal)
        return QTreeWidgetItem::data(column, role);
    return QBrush(state_ == RowState::Failed       ? kFailedColour
                  : state_ == RowState::StepFailed ? kStepFailedColour
                  : state_ == RowState::Overdue    ? kOverdueColour
                                                   : kRunningColour);
}

bool ItemRow::operator<(const QTreeWidgetItem& other) const
{
    if (other.type() != UserType)
        return QTreeWidgetItem::operator<(other);
    const auto* that = static_cast<const ItemRow*>(&other);
    const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : kNo;
    // "No" keeps the table's order (its numbers, unless a hand-made file
    // repeats them); "Next Run" goes by time, the items that never run last.
    if (column == kNextRun && nextRun_ != that->nextRun_) {
        if (nextRun_ < 0 || that->nextRun_ < 0)
            return that->nextRun_ < 0;
        return nextRun_ < that->nextRun_;
    }
    if (column != kNo && column != kNextRun) {
        const int order = text(column).compare(that->text(column));
        if (order != 0)
            return order < 0;
    }
    return position_ < that->position_;
}

ItemRows::ItemRows(QTreeWidget& list, const ScheduleTable& table, const Settings& settings,
                   const Clock& clock)
    : list_(list), table_(table), settings_(settings), clock_(clock)
{}

void ItemRows::Rebuild()
{
    ++updating_;
    const std::shared_ptr<ScheduleRecord> selected = RecordOf(list_.currentItem());
    const int selectedAt =
        list_.currentItem() != nullptr ? list_.indexOfTopLevelItem(list_.currentItem()) : -1;
    const int scrollX = list_.horizontalScrollBar()->value();
    const int scrollY = list_.verticalScrollBar()->value();
    list_.setUpdatesEnabled(false);
    // Sorted once, after all rows are in: rows inserted into a sorted list
    // are each put in place one by one.
    list_.setSortingEnabled(false);
    list_.clear();
    rows_.clear();
    rows_.reserve(table_.size());

    // The rows are made apart from the list and handed over at once: the
    // list then lays itself out once, not once per row (32767 items at most).
    const LocalDateTime now = clock_.Now();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(table_.size()));
    ItemRow* reselect = nullptr;
    for (std::size_t i = 0; i < table_.size(); ++i) {
        auto* row = new ItemRow(table_[i], i);
        Show(*row, now);
        rows_.push_back(row);
        rows << row;
        if (table_[i] == selected)
            reselect = row;
    }
    list_.addTopLevelItems(rows);
    list_.setSortingEnabled(true);

    // The selected record keeps the selection; when it is gone, the row now
    // in its place takes it.
    QTreeWidgetItem* current = reselect;
    if (current == nullptr && selectedAt >= 0 && list_.topLevelItemCount() > 0)
        current = list_.topLevelItem(std::min(selectedAt, list_.topLevelItemCount() - 1));
    if (current != nullptr)
        list_.setCurrentItem(current);
    list_.horizontalScrollBar()->setValue(scrollX);
    list_.verticalScrollBar()->setValue(scrollY);
    list_.setUpdatesEnabled(true);
    --updating_;
}

bool ItemRows::InStep() const
{
    if (rows_.size() != table_.size())
        return false;
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i]->Record() != table_[i])
            return false;
    return true;
}

void ItemRows::Update(const ScheduleRecord& record)
{
    const LocalDateTime now = clock_.Now();
    for (ItemRow* row : rows_)
        if (row->Record().get() == &record)
            Show(*row, now);
}

void ItemRows::UpdateTimes()
{
    const LocalDateTime now = clock_.Now();
    for (ItemRow* row : rows_)
        Show(*row, now, false);
}

void ItemRows::SetRunning(const ScheduleRecord* record)
{
    const ScheduleRecord* before = running_;
    running_ = record;
    runningSince_ = SecondsOf(clock_.Now());
    if (before != nullptr)
        Update(*before);
    if (record != nullptr)
        Update(*record);
}

void ItemRows::ShowRunningTime()
{
    if (running_ == nullptr)
        return;
    const std::int64_t elapsed = SecondsOf(clock_.Now()) - runningSince_;
    ++updating_;
    for (ItemRow* row : rows_)
        if (row->Record().get() == running_)
            row->setText(kNextRun, RunningText(elapsed));
    --updating_;
}

void ItemRows::Show(ItemRow& row, const LocalDateTime& now, bool everyCell)
{
    ++updating_;
    const ScheduleRecord& r = *row.Record();
    const ItemStatus status = StatusOf(r, settings_, now);
    const std::optional<LocalDateTime> next = ShownNextRun(r, status.nextRun, now);
    row.SetNextRun(next ? SecondsOf(*next) : -1);
    const bool running = &r == running_;
    // Flagged by "선택항목백업" (or waiting behind the run in progress): it
    // runs as soon as it can, whatever its time says.
    const bool queued = !running && r.bRunNow && r.bEnabled;
    row.setText(kNextRun, running  ? RunningText(SecondsOf(now) - runningSince_)
                          : queued ? QStringLiteral("대기 중")
                                   : NextRunText(next));
    if (everyCell) {
        const QString texts[] = {QString::number(r.nNo),       ToQString(r.strServiceName),
                                 ToQString(r.strID),           ToQString(RunScheduleText(r)),
                                 ToQString(r.strBackUpFolder), ToQString(LatestBackTimeText(r)),
                                 ToQString(r.strProgramPath)};
        for (int column = 0; column < static_cast<int>(std::size(texts)); ++column)
            row.setText(column, texts[column]);
        row.setText(kLastResult, ToQString(LastResultText(r)));
        row.setCheckState(kNo, r.bEnabled ? Qt::Checked : Qt::Unchecked);
        const QString cause = ToQString(FailureCauseText(r));
        row.setText(kCauseColumn, cause);
        row.SetCause(cause);
    }
    // Only what the operator can act on shows: a disabled item is waiting
    // for nobody, as the status command counts it.
    row.SetState(running                                 ? RowState::Running
                 : r.bEnabled && status.lastRunFailed    ? RowState::Failed
                 : r.bEnabled && status.failedSteps != 0 ? RowState::StepFailed
                 : r.bEnabled && status.overdueSince     ? RowState::Overdue
                                                         : RowState::Normal);
    --updating_;
}

void ItemRows::Select(const ScheduleRecord& record)
{
    for (ItemRow* row : rows_) {
        if (row->Record().get() == &record) {
            list_.setCurrentItem(row);
            list_.scrollToItem(row);
            return;
        }
    }
}

std::shared_ptr<ScheduleRecord> ItemRows::RecordOf(const QTreeWidgetItem* item)
{
    const auto* row = dynamic_cast<const ItemRow*>(item);
    return row != nullptr ? row->Record() : nullptr;
}

RowState ItemRows::StateOf(const QTreeWidgetItem& item)
{
    return item.type() == QTreeWidgetItem::UserType ? static_cast<const ItemRow&>(item).State()
                                                    : RowState::Normal;
}

const ScheduleRecord* ItemRows::NextToRun(std::int64_t& seconds) const
{
    const ItemRow* next = nullptr;
    for (const ItemRow* row : rows_)
        if (row->NextRun() >= 0 && (next == nullptr || row->NextRun() < next->NextRun()))
            next = row;
    if (next == nullptr)
        return nullptr;
    seconds = next->NextRun();
    return next->Record().get();
}

} // namespace veltrane
