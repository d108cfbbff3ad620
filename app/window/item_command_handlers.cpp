#include "window/item_command_handlers.h"

#include "editor/item_edit.h"
#include "editor/qt_text.h"
#include "editor/question.h"
#include "schedule/schedule_text.h"
#include "store/schedule_file.h"
#include "store/schedule_table.h"
#include "window/item_rows.h"
#include "window/system_main.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <algorithm>

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
    connect(new QShortcut(QKeySequence::Save, &window), &QShortcut::activated, this,
            &ItemCommandHandlers::Save);
    connect(new QShortcut(QKeySequence::New, &window), &QShortcut::activated, this,
            &ItemCommandHandlers::InsertItem);
    window.lvList->installEventFilter(this);
}

bool ItemCommandHandlers::eventFilter(QObject* watched, QEvent* event)
{
    // The type first: the window's members are not asked while it goes.
    if (event->type() == QEvent::KeyPress && watched == window_.lvList) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & ~Qt::KeypadModifier)
            return QObject::eventFilter(watched, event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F2:
            EditSelected();
            return true;
        case Qt::Key_Delete:
            DeleteItem();
            return true;
        case Qt::Key_Space:
            ToggleSelected();
            return true;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void ItemCommandHandlers::EditSelected()
{
    const QList<QTreeWidgetItem*> selected = window_.lvList->selectedItems();
    if (!selected.isEmpty())
        EditItem(selected.front());
}

void ItemCommandHandlers::ToggleSelected()
{
    const QList<QTreeWidgetItem*> selected = window_.lvList->selectedItems();
    if (selected.isEmpty())
        return;
    QTreeWidgetItem* row = selected.front();
    // The box's change goes the way of a click on it (EnableItem).
    row->setCheckState(0, row->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void ItemCommandHandlers::FillMenu(QMenu& menu, QTreeWidgetItem* row)
{
    const std::shared_ptr<ScheduleRecord> record = ItemRows::RecordOf(row);
    // The keys show beside the entries (after a TAB), as a reminder only: a
    // key in an open menu moves in it.
    const auto add = [&](const char* text, const char* keys, auto&& act) {
        QString entry = QString::fromUtf8(text);
        if (*keys != '\0')
            entry += '\t' + QString::fromUtf8(keys);
        connect(menu.addAction(entry), &QAction::triggered, this, act);
    };
    if (record != nullptr) {
        add("편집(&E)", "Enter", [this] { EditSelected(); });
        add(record->bEnabled ? "사용 안 함(&U)" : "사용(&U)", "Space",
            [this] { ToggleSelected(); });
        add("선택항목백업(&B)", "Alt+B", [this] { window_.MarkRunNow(); });
        if (window_.Rows().Running() == record.get())
            add("백업 중지(&T)", "", [this] { window_.StopRun(); });
        add("항목 삭제(&D)", "Del", [this] { DeleteItem(); });
        add("로그 보기(&L)", "", [this, record] { window_.ShowLogOf(*record); });
        menu.addSeparator();
    }
    add("백업항목 추가(&A)", "Ctrl+N", [this] { InsertItem(); });
    add("저장(&S)", "Ctrl+S", [this] { Save(); });
    add("삭제 취소(&Z)", "Ctrl+Z", [this] { UndoDelete(); });
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
    ScheduleService& service = window_.Service();
    if (service.IsFull()) {
        service.WriteLine("백업항목을 더 추가할 수 없습니다: " +
                          std::to_string(kMaxScheduleRecords) + "개까지 등록됩니다.");
        return;
    }
    ItemEdit editor(&window_);
    if (!editor.ShowEditor())
        return;
    // A run may have filled the table while the editor was open.
    const Result<std::shared_ptr<ScheduleRecord>> added = service.InsertItem(editor.properties());
    if (!added) {
        service.WriteLine(added.error().description);
        return;
    }
    window_.Rows().Select(**added);
}

void ItemCommandHandlers::EditItem(QTreeWidgetItem* row)
{
    if (row == nullptr)
        return;
    // The record is held for as long as the editor is open: a delete or a
    // run meanwhile neither frees nor moves it.
    const std::shared_ptr<ScheduleRecord> record =
        FindFirstItem(window_.Service().Table(), RowNumber(*row));
    if (!record)
        return;
    ItemEdit editor(&window_);
    editor.LoadRecord(*record);
    if (!editor.ShowEditor())
        return;
    window_.Service().EditItem(record, editor.properties());
}

void ItemCommandHandlers::DeleteItem()
{
    std::optional<std::int32_t> number = SelectedNumber();
    if (!number)
        return;
    ScheduleService& service = window_.Service();
    std::string names;
    for (const auto& record : ItemsNumbered(service.Table(), *number)) {
        if (!names.empty())
            names += '\n';
        names += ItemName(*record);
    }
    // The question is modal: the second click of a double click, or a key
    // held down, meets it instead of deleting the next item.
    if (!names.empty() &&
        !AskYesNo(&window_, ToQString("이 항목을 삭제할까요?\n\n" + names +
                                      "\n\n저장하기 전까지는 Ctrl+Z로 되돌릴 수 있습니다.")))
        return;
    if (service.DeleteItems(*number).empty())
        return;
    std::replace(names.begin(), names.end(), '\n', ',');
    service.WriteLine("항목 삭제: " + names + " (저장 전까지 Ctrl+Z로 되돌릴 수 있음)");
}

void ItemCommandHandlers::UndoDelete()
{
    const Result<std::vector<std::shared_ptr<ScheduleRecord>>> restored =
        window_.Service().UndoDelete();
    if (!restored) {
        window_.ShowMessage(restored.error().description);
        return;
    }
    if (restored->empty())
        return;
    std::string names;
    for (const auto& record : *restored) {
        if (!names.empty())
            names += ", ";
        names += record->strServiceName + " / " + record->strID;
    }
    window_.Rows().Select(*restored->front());
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
    window_.Service().SetItemsEnabled(RowNumber(*row), enabled);
}

bool ItemCommandHandlers::Save()
{
    // A delete saved is permanent: Ctrl+Z then says so. A save that fails
    // has said why in a result line.
    ScheduleService& service = window_.Service();
    const bool saved = service.SaveScheduleOrReport();
    if (saved)
        service.WriteLine(std::string(kScheduleFileName) + " 저장 완료: 항목 " +
                          std::to_string(service.Table().size()) + "개");
    window_.UpdateModified();
    return saved;
}

} // namespace veltrane
