#pragma once

// The main window's item commands: insert, edit (double-click), delete,
// enable (a row's check box), save, and undo of the last delete. They ask the
// scheduler to change its table, never the list's rows; a row leads to its
// records through the number in its "No" column, and the rows concerned are
// shown anew when the scheduler tells of the change.
//
// A delete asks first, naming the item, and can be taken back (Ctrl+Z) until
// the table is saved: by "저장", or by the next successful run, which saves
// the schedule and so makes the delete permanent.

#include <QObject>
#include <cstdint>
#include <optional>

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

    SystemMain& window_;
};

} // namespace veltrane
