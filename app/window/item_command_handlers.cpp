#include "window/item_command_handlers.h"

#include "editor/item_commands.h"
#include "editor/item_edit.h"
#include "editor/qt_text.h"
#include "editor/question.h"
#include "schedule/schedule_text.h"
#include "window/item_rows.h"
#include "window/system_main.h"

#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <algorithm>
#include <sys/stat.h>

namespace veltrane {
namespace {

std::int32_t RowNumber(const QTreeWidgetItem& row)
{
    return RowItemNumber(FromQString(row.text(0)));
}

// "3 ORCL / SCOTT"
std::string ItemName(const ScheduleRecord& record)
{
    return std::to_string(record.nNo) + " " + record.strServiceName + " / " + record.strID;
}

// One version of a file on disk: a save replaces the file, and so changes it.
std::array<long long, 4> FileIdentity(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return {static_cast<long long>(st.st_ino), static_cast<long long>(st.st_size),
            static_cast<long long>(st.st_mtim.tv_sec), static_cast<long long>(st.st_mtim.tv_nsec)};
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
    connect(new QShortcut(QKeySequence::Undo, &window), &QShortcut::activated, this,
            &ItemCommandHandlers::UndoDelete);
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
    const std::shared_ptr<ScheduleRecord> added =
        veltrane::InsertItem(table, editor.properties(), error);
    if (!added) {
        window_.Service().WriteLine(error);
        return;
    }
    window_.RefreshItemList();
    window_.Rows().Select(*added);
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
    window_.Rows().Update(*record);
}

void ItemCommandHandlers::DeleteItem()
{
    std::optional<std::int32_t> number = SelectedNumber();
    if (!number)
        return;
    ScheduleTable& table = window_.Service().Table();
    Deletion deletion;
    std::string names;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i]->nNo == *number) {
            deletion.records.emplace_back(i, table[i]);
            if (!names.empty())
                names += '\n';
            names += ItemName(*table[i]);
        }
    }
    // The question is modal: the second click of a double click, or a key
    // held down, meets it instead of deleting the next item.
    if (!deletion.records.empty() &&
        !AskYesNo(&window_, ToQString("이 항목을 삭제할까요?\n\n" + names +
                                      "\n\n저장하기 전까지는 Ctrl+Z로 되돌릴 수 있습니다.")))
        return;
    deletion.file = FileIdentity(window_.Service().SchedulePath());
    DeleteItems(table, *number);
    window_.RefreshItemList();
    if (deletion.records.empty())
        return;
    lastDeletion_ = std::move(deletion);
    std::replace(names.begin(), names.end(), '\n', ',');
    window_.Service().WriteLine("항목 삭제: " + names + " (저장 전까지 Ctrl+Z로 되돌릴 수 있음)");
}

void ItemCommandHandlers::UndoDelete()
{
    if (!lastDeletion_)
        return;
    Deletion deletion = std::move(*lastDeletion_);
    lastDeletion_.reset();
    if (FileIdentity(window_.Service().SchedulePath()) != deletion.file) {
        window_.ShowMessage("삭제한 항목은 이미 저장되어 되돌릴 수 없습니다.");
        return;
    }
    // Back in their places, the items added since after them; numbered in
    // table order again, as the delete numbered them.
    ScheduleTable& table = window_.Service().Table();
    std::string names;
    for (const auto& [position, record] : deletion.records) {
        table.insert(table.begin() + static_cast<std::ptrdiff_t>(std::min(position, table.size())),
                     record);
        if (!names.empty())
            names += ", ";
        names += record->strServiceName + " / " + record->strID;
    }
    std::int32_t next = 1;
    for (const auto& record : table)
        record->nNo = next++;
    window_.RefreshItemList();
    window_.Rows().Select(*deletion.records.front().second);
    window_.Service().WriteLine("항목 삭제 취소: " + names);
}

void ItemCommandHandlers::EnableItem(QTreeWidgetItem* row, int column)
{
    if (column != 0 || window_.Refreshing())
        return;
    const std::shared_ptr<ScheduleRecord> record = ItemRows::RecordOf(row);
    const bool enabled = row->checkState(0) == Qt::Checked;
    // Any other change of the row (a colour) is no tick of its box.
    if (record == nullptr || record->bEnabled == enabled)
        return;
    window_.lvList->setCurrentItem(row);
    const std::int32_t number = RowNumber(*row);
    SetItemsEnabled(window_.Service().Table(), number, enabled);
    window_.Rows().UpdateNumber(number);
}

void ItemCommandHandlers::Save()
{
    // A delete saved is permanent: Ctrl+Z then says so (it tells by the
    // file, as it does after a run's save).
    window_.Service().SaveScheduleOrReport();
}

} // namespace veltrane
