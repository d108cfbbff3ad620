#pragma once

// The main window's item commands: insert, edit (double-click), delete,
// enable (a row's check box), save, and undo of the last delete. They change
// the schedule table, never the list's rows; a row leads to its records
// through the number in its "No" column, and the rows concerned are shown
// anew afterwards.
//
// A delete asks first, naming the item, and can be taken back (Ctrl+Z) until
// the table is saved: by "저장", or by the next successful run, which saves
// the schedule and so makes the delete permanent.

#include "store/schedule_record.h"

#include <QObject>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTreeWidgetItem;

namespace veltrane {

class SystemMain;

class ItemCommandHandlers : public QObject
{
public:
    // Connects the window's buttons, double-click, check boxes and Ctrl+Z.
    explicit ItemCommandHandlers(SystemMain& window);

    void InsertItem();
    void EditItem(QTreeWidgetItem* row);
    void DeleteItem();
    void UndoDelete();
    void EnableItem(QTreeWidgetItem* row, int column);
    void Save();

private:
    std::optional<std::int32_t> SelectedNumber() const;

    // What the last delete took away: the records with their places in the
    // table, and Schedule.dat as it stood then (a save since has made the
    // delete permanent).
    struct Deletion
    {
        std::vector<std::pair<std::size_t, std::shared_ptr<ScheduleRecord>>> records;
        std::array<long long, 4> file{};
    };

    SystemMain& window_;
    std::optional<Deletion> lastDeletion_;
};

} // namespace veltrane
