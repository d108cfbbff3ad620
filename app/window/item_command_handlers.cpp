#include "window/item_command_handlers.h"

#include "editor/item_commands.h"
#include "editor/item_edit.h"
#include "editor/qt_text.h"
#include "schedule/schedule_text.h"
#include "window/system_main.h"

#include <QPushButton>
#include <QTreeWidget>

namespace veltrane {
namespace {

std::int32_t RowNumber(const QTreeWidgetItem& row)
{
    return RowItemNumber(FromQString(row.text(0)));
}

} // namespace

ItemCommandHandlers::ItemCommandHandlers(SystemMain& window) : QObject(&window), window_(window)
{
    connect(window.cmdInsertItem, &QPushButton::clicked, this, &ItemCommandHandlers::InsertItem);
    connect(window.cmdItemDelete, &QPushButton::clicked, this, &ItemCommandHandlers::DeleteItem);
    connect(window.cmdSave, &QPushButton::clicked, this, &ItemCommandHandlers::Save);
    connect(window.lvList, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* row) { EditItem(row); });
    connect(window.lvList, &QTreeWidget::itemChanged, this, &ItemCommandHandlers::EnableItem);
}

std::optional<std::int32_t> ItemCommandHandlers::SelectedNumber() const
{
    QList<QTreeWidgetItem*> selected = window_.lvList->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return RowNumber(*selected.front());
}

void ItemCommandHandlers::InsertItem()
{
    ScheduleTable& table = window_.Service().Table();
    if (IsScheduleTableFull(table)) {
        window_.Service().WriteLine("백업항목을 더 추가할 수 없습니다: " +
                                    std::to_string(kMaxScheduleRecords) + "개까지 등록됩니다.");
        return;
    }
    ItemEdit editor(&window_);
    if (!editor.ShowEditor())
        return;
    std::string error;
    // A run may have filled the table while the editor was open.
    if (!veltrane::InsertItem(table, editor.properties(), error)) {
        window_.Service().WriteLine(error);
        return;
    }
    window_.RefreshItemList();
}

void ItemCommandHandlers::EditItem(QTreeWidgetItem* row)
{
    if (row == nullptr)
        return;
    // The record is held for as long as the editor is open: a delete or a
    // run meanwhile neither frees nor moves it.
    std::shared_ptr<ScheduleRecord> record =
        FindFirstItem(window_.Service().Table(), RowNumber(*row));
    if (!record)
        return;
    ItemEdit editor(&window_);
    editor.LoadRecord(*record);
    if (!editor.ShowEditor())
        return;
    editor.StoreRecord(*record);
    window_.RefreshItemList();
}

void ItemCommandHandlers::DeleteItem()
{
    std::optional<std::int32_t> number = SelectedNumber();
    if (!number)
        return;
    DeleteItems(window_.Service().Table(), *number);
    window_.RefreshItemList();
}

void ItemCommandHandlers::EnableItem(QTreeWidgetItem* row, int column)
{
    if (column != 0 || window_.Refreshing())
        return;
    window_.lvList->setCurrentItem(row);
    SetItemsEnabled(window_.Service().Table(), RowNumber(*row), row->checkState(0) == Qt::Checked);
}

void ItemCommandHandlers::Save()
{
    window_.Service().SaveScheduleOrReport();
}

} // namespace veltrane
