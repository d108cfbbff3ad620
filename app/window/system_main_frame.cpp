// The main window's place and shape: its frame as the window manager sets
// it, the size and centring at the start, the resize rule, what showing,
// hiding and resizing change, and what the window keeps of them between runs.

#include "editor/qt_text.h"
#include "platform/program_folder.h"
#include "window/item_rows.h"
#include "window/system_main.h"

#include <QEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QListWidget>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>

namespace veltrane {
namespace {

// How long the window watches for its frame after being shown: 5 s.
constexpr int kFrameCheckIntervalMs = 100;
constexpr int kFrameChecks = 50;

// The design's client area is 8325 twips high.
constexpr int kDesignHeightTwips = 8325;
// The resize rule leaves the lists 450 twips narrower than the window.
constexpr int kListMarginTwips = 450;

const QString kSizeKey = QStringLiteral("Window/Size");
const QString kMaximizedKey = QStringLiteral("Window/Maximized");
const QString kListKey = QStringLiteral("Window/List");

} // namespace

bool SystemMain::UpdateFrame()
{
    // The window system knows the frame only while a window manager has the
    // window framed: not when it is first shown, nor for a moment after it
    // comes back from the tray. Until it knows, the last frame seen stands.
    // Only a full-screen window really has none.
    // Margins read while the window manager is still reparenting the window
    // can come out negative; they are not a frame either.
    const QWindow* handle = windowHandle();
    const QMargins frame = handle != nullptr ? handle->frameMargins() : QMargins();
    if ((frame.isNull() && !isFullScreen()) || frame == frame_ || frame.left() < 0 ||
        frame.top() < 0 || frame.right() < 0 || frame.bottom() < 0)
        return false;
    frame_ = frame;
    return true;
}

void SystemMain::CheckFrame()
{
    if (!UpdateFrame())
        return;
    if (centreWhenFramed_)
        CentreOnScreen();
    ApplyResizeRule();
}

QSize SystemMain::OuterSize()
{
    UpdateFrame();
    return size().grownBy(frame_);
}

QSize SystemMain::DefaultSize() const
{
    int columns = 0;
    for (int i = 0; i < lvList->header()->count(); ++i)
        columns += lvList->header()->sectionSize(i);
    const int list =
        columns + 2 * lvList->frameWidth() + lvList->verticalScrollBar()->sizeHint().width() + 2;
    return {list + ToPixels(kListMarginTwips), ToPixels(kDesignHeightTwips)};
}

void SystemMain::FitToScreen()
{
    const QScreen* s = screen();
    if (s == nullptr || isMaximized() || isFullScreen())
        return;
    const QSize fitted = size().boundedTo(s->availableGeometry().size().shrunkBy(frame_));
    if (fitted != size())
        resize(fitted);
}

void SystemMain::CentreOnScreen()
{
    const QScreen* s = screen();
    if (s == nullptr || isMaximized() || isFullScreen())
        return;
    FitToScreen();
    QRect outer(QPoint(), OuterSize());
    outer.moveCenter(s->availableGeometry().center());
    // Placed by its inner rectangle: how a window manager reads a request
    // for the frame's corner depends on when it reads it.
    setGeometry(QRect(outer.topLeft() + QPoint(frame_.left(), frame_.top()), size()));
}

void SystemMain::ApplyResizeRule()
{
    const QSize outer = OuterSize();
    const int W = ToTwips(outer.width());
    const int H = ToTwips(outer.height());
    QRect list = lvList->geometry();
    QRect results = lstErrorList->geometry();
    QRect buttons = frOperation->geometry();
    const int listTop = ToTwips(list.top());

    // Each step on its own: a size that would come out negative is skipped.
    // A negative left is a place like any other: the button bar keeps its
    // right edge on the lists' right edge and runs off the window's left.
    if (int w = W - 450; w >= 0)
        list.setWidth(ToPixels(w));
    if (int h = H - listTop - ToTwips(results.height()) - 900; h >= 0)
        list.setHeight(ToPixels(h));
    lvList->setGeometry(list);
    results.moveTop(ToPixels(listTop + ToTwips(list.height()) + 150));
    if (int w = W - 450; w >= 0)
        results.setWidth(ToPixels(w));
    lstErrorList->setGeometry(results);
    buttons.moveLeft(ToPixels(W - ToTwips(buttons.width()) - 300));
    frOperation->setGeometry(buttons);
    FitColumns();
}

void SystemMain::FitColumns()
{
    if (!isVisible() || isMinimized())
        return;
    QHeaderView* header = lvList->header();
    const int count = header->count();
    if (preferredWidths_.size() != static_cast<std::size_t>(count)) {
        preferredWidths_.clear();
        for (int i = 0; i < count; ++i)
            preferredWidths_.push_back(header->sectionSize(i));
    }
    std::vector<int> widths(static_cast<std::size_t>(count));
    std::vector<int> minimum(widths.size());
    const QFontMetrics metrics = header->fontMetrics();
    for (int i = 0; i < count; ++i) {
        widths[i] = header->isSectionHidden(i) ? 0 : preferredWidths_[i];
        // Enough to tell the column by its header and a few characters.
        minimum[i] = std::max(metrics.horizontalAdvance(lvList->headerItem()->text(i)) + 16,
                              metrics.horizontalAdvance(QStringLiteral("0000-00")));
    }
    // The column that stretches takes what is left, never less than the
    // header's default width.
    const int stretched = StretchedColumn();
    if (stretched >= 0)
        widths[stretched] = std::max(minimum[stretched], header->defaultSectionSize());
    const int room = lvList->width() - 2 * lvList->frameWidth() -
                     lvList->verticalScrollBar()->sizeHint().width();
    // The least useful give way first: the program's path and the backup
    // folder are the same for most items; the result and the next run stay.
    static const std::vector<int> kGiveWay = {6, 4, kCauseColumn, 1, 3, 2, 5, 8, 7};
    const std::vector<int> fitted = FitColumnWidths(widths, room, kGiveWay, minimum);
    fitting_ = true;
    for (int i = 0; i < count; ++i)
        if (i != stretched && !header->isSectionHidden(i) && header->sectionSize(i) != fitted[i])
            header->resizeSection(i, fitted[i]);
    fitting_ = false;
}

void SystemMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    ApplyResizeRule();
    if (centred_ && isVisible() && windowState() == Qt::WindowNoState) {
        preferredSize_ = size();
        SavePreferencesSoon();
    }
}

void SystemMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (QWindow* handle = windowHandle())
        handle->installEventFilter(this);
    frameChecksLeft_ = kFrameChecks;
    frameWatch_.start(kFrameCheckIntervalMs);
    if (!centred_) {
        // As the operator left it, or wide enough for every column; never
        // larger than the screen it opens on.
        resize(preferredSize_.isValid() ? preferredSize_ : DefaultSize());
        centred_ = true;
        CentreOnScreen();
        centreWhenFramed_ = true;
        if (preferMaximized_)
            setWindowState(windowState() | Qt::WindowMaximized);
    }
    ApplyResizeRule();
}

void SystemMain::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    centreWhenFramed_ = false;
}

bool SystemMain::eventFilter(QObject* watched, QEvent* event)
{
    // A window manager frames the window after it is shown and leaves the
    // inner window as it is: the widget hears nothing, at most its window
    // handle is moved or resized. The outer size has changed all the same,
    // so the layout (and the first centring) is done again.
    if (watched == windowHandle() &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        CheckFrame();
    return QMainWindow::eventFilter(watched, event);
}

void SystemMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        ApplyResizeRule();
        if (centred_ && !isMinimized()) {
            preferMaximized_ = isMaximized();
            SavePreferencesSoon();
        }
    }
}

// "Veltrane.window" (an INI file) in the data folder: a copy of the program
// has one window per data folder (the folder's lock), and its column widths
// and sort belong with the schedule they show. A missing or unreadable file
// gives the defaults.
void SystemMain::LoadPreferences()
{
    const QSettings file(
        ToQString(JoinPath(service_.Environment().DataFolder(), kWindowPreferencesFileName)),
        QSettings::IniFormat);
    preferredSize_ = file.value(kSizeKey).toSize();
    preferMaximized_ = file.value(kMaximizedKey).toBool();
    // The widths of the columns and the sorted column with its order.
    if (const QByteArray list = file.value(kListKey).toByteArray(); !list.isEmpty())
        lvList->header()->restoreState(list);
    preferencesLoaded_ = true;
}

void SystemMain::SavePreferencesSoon()
{
    if (preferencesLoaded_)
        preferencesSave_.start();
}

void SystemMain::SavePreferences()
{
    if (!preferencesLoaded_)
        return;
    preferencesSave_.stop();
    QSettings file(
        ToQString(JoinPath(service_.Environment().DataFolder(), kWindowPreferencesFileName)),
        QSettings::IniFormat);
    if (preferredSize_.isValid())
        file.setValue(kSizeKey, preferredSize_);
    file.setValue(kMaximizedKey, preferMaximized_);
    // The operator's widths are kept, not those the fit narrowed them to.
    QHeaderView* header = lvList->header();
    fitting_ = true;
    std::vector<int> shown;
    for (std::size_t i = 0; i < preferredWidths_.size(); ++i) {
        shown.push_back(header->sectionSize(static_cast<int>(i)));
        if (static_cast<int>(i) != StretchedColumn())
            header->resizeSection(static_cast<int>(i), preferredWidths_[i]);
    }
    file.setValue(kListKey, header->saveState());
    for (std::size_t i = 0; i < shown.size(); ++i)
        if (static_cast<int>(i) != StretchedColumn())
            header->resizeSection(static_cast<int>(i), shown[i]);
    fitting_ = false;
    file.sync();
}

} // namespace veltrane
