#pragma once

// The item list's rows, kept in step with the schedule table. Each row shows
// one record: its texts, its check box, and how the item stands, by the same
// status the service's status command tells (StatusOf): an enabled item whose
// last run failed in red, one whose last export succeeded but a step after it
// (mail, read-back, archive, upload) failed in violet, an overdue one in
// amber, the one running now in blue with its time so far in the "Next Run"
// cell; an item flagged to run now shows "대기 중" there until its run starts.
//
// Only an insert, a delete or a table read anew builds the rows anew; a run,
// an edit or a tick of a check box updates the rows of its records, and the
// minute tick the cells that follow the clock. A rebuild keeps the selected
// record and the scroll position; the list stays sorted by the column the
// operator chose ("No" sorts in table order).

#include "platform/clock.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <QTreeWidgetItem>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTreeWidget;

namespace veltrane {

// The list's columns: those the rows share with the status command, and the
// failure's cause, hidden until the operator shows it.
inline constexpr int kCauseColumn = 9;
inline constexpr int kItemColumns = 10;

// Column widths that fit `room`: when they add up to more, the columns in
// `giveWay` (least useful first) each shrink, down to their minimum, until
// the rest fits or none can shrink further. Hidden columns are 0 wide.
std::vector<int> FitColumnWidths(std::vector<int> widths, int room, const std::vector<int>& giveWay,
                                 const std::vector<int>& minimum);

// What a row's colour says.
enum class RowState { Normal, Failed, StepFailed, Overdue, Running };

// One row, tied to its record.
class ItemRow final : public QTreeWidgetItem
{
public:
    ItemRow(std::shared_ptr<ScheduleRecord> record, std::size_t position);

    const std::shared_ptr<ScheduleRecord>& Record() const { return record_; }
    // The item's next run in seconds (SecondsOf), -1 when there is none.
    std::int64_t NextRun() const { return nextRun_; }
    void SetNextRun(std::int64_t seconds) { nextRun_ = seconds; }
    RowState State() const { return state_; }
    // The colour of every cell: one change of the row, not one per cell.
    void SetState(RowState state);
    // Why the last run failed, shown in the tooltip of every cell; empty for
    // none.
    void SetCause(const QString& cause) { cause_ = cause; }

    QVariant data(int column, int role) const override;
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    std::shared_ptr<ScheduleRecord> record_;
    std::size_t position_; // in the table, for the "No" column's order
    std::int64_t nextRun_ = -1;
    RowState state_ = RowState::Normal;
    QString cause_;
};

class ItemRows
{
public:
    ItemRows(QTreeWidget& list, const ScheduleTable& table, const Settings& settings,
             const Clock& clock);

    // Builds every row anew from the table.
    void Rebuild();
    // Whether the rows stand for the table's records, in order: when not (the
    // table was read anew, an item added or removed), Rebuild.
    bool InStep() const;
    // Shows the record's row anew.
    void Update(const ScheduleRecord& record);
    // The cells that follow the clock (Next Run and the colour), every row.
    void UpdateTimes();

    // The record whose run started now (null: none runs), and the running
    // row's time so far, shown anew (every second).
    void SetRunning(const ScheduleRecord* record);
    void ShowRunningTime();
    const ScheduleRecord* Running() const { return running_; }

    // True while rows are being changed by the program, not the operator.
    bool Updating() const { return updating_ > 0; }

    // Makes the record's row the selected one, in view.
    void Select(const ScheduleRecord& record);

    // The record of a row of the list; null for none.
    static std::shared_ptr<ScheduleRecord> RecordOf(const QTreeWidgetItem* item);
    static RowState StateOf(const QTreeWidgetItem& item);

    // The enabled item that runs next, by the rows' last update.
    const ScheduleRecord* NextToRun(std::int64_t& seconds) const;

private:
    // Every cell of the row, or only those that follow the clock (its next
    // run and colour).
    void Show(ItemRow& row, const LocalDateTime& now, bool everyCell = true);

    QTreeWidget& list_;
    const ScheduleTable& table_;
    const Settings& settings_;
    const Clock& clock_;
    std::vector<ItemRow*> rows_; // in table order
    const ScheduleRecord* running_ = nullptr;
    std::int64_t runningSince_ = 0;
    int updating_ = 0;
};

} // namespace veltrane
