// The main window's place and shape: its frame as the window manager sets
// it, the centring at the start, the resize rule, and what showing, hiding
// and resizing change.

#include "window/system_main.h"

#include <QEvent>
#include <QFrame>
#include <QListWidget>
#include <QScreen>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>

namespace veltrane {
namespace {

// How long the window watches for its frame after being shown: 5 s.
constexpr int kFrameCheckIntervalMs = 100;
constexpr int kFrameChecks = 50;

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

void SystemMain::CentreOnScreen()
{
    const QScreen* s = screen();
    if (s == nullptr)
        return;
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
}

void SystemMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    ApplyResizeRule();
}

void SystemMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (QWindow* handle = windowHandle())
        handle->installEventFilter(this);
    frameChecksLeft_ = kFrameChecks;
    frameWatch_.start(kFrameCheckIntervalMs);
    if (!centred_) {
        centred_ = true;
        CentreOnScreen();
        centreWhenFramed_ = true;
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
    if (event->type() == QEvent::WindowStateChange)
        ApplyResizeRule();
}

} // namespace veltrane
