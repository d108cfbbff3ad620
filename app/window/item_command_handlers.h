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
//
// Every command has a key and an entry in the list's context menu: in the
// list Enter or F2 edits the selected item, Delete deletes it (asking),
// Space ticks or clears its box; anywhere in the window Ctrl+N adds an item,
// Ctrl+S saves and Ctrl+Z undoes the last delete.

#include <QObject>
#include <cstdint>
#include <memory>
#include <optional>

class QMenu;
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
    // Writes the table and says so in a result line; whether it was written.
    bool Save();

    // The same commands for the selected row.
    void EditSelected();
    void ToggleSelected();

    // Every command, for the list's context menu on `row` (null: on no row).
    void FillMenu(QMenu& menu, QTreeWidgetItem* row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::optional<std::int32_t> SelectedNumber() const;

    SystemMain& window_;
};

} // namespace veltrane
