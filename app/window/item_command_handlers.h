#pragma once

// The main window's item commands: insert, edit (double-click), delete,
// enable (a row's check box) and save. They change the schedule table, never
// the list's rows; a row leads to its records through the number in its "No"
// column, and the list is rebuilt afterwards.

#include <QObject>
#include <cstdint>
#include <optional>

class QTreeWidgetItem;

namespace veltrane {

class SystemMain;

class ItemCommandHandlers : public QObject
{
public:
    // Connects the window's buttons, double-click and check boxes.
    explicit ItemCommandHandlers(SystemMain& window);

    void InsertItem();
    void EditItem(QTreeWidgetItem* row);
    void DeleteItem();
    void EnableItem(QTreeWidgetItem* row, int column);
    void Save();

private:
    std::optional<std::int32_t> SelectedNumber() const;

    SystemMain& window_;
};

} // namespace veltrane
