#include "window/qt_tray_platform.h"

#include "editor/qt_text.h"
#include "job/exe_cmd.h"
#include "platform/process_tree.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <unistd.h>

namespace veltrane {

// On an XEmbed tray (X11 without a status-notifier host) Qt draws the icon in
// a top-level widget of its own and reports the right button's press as
// Context; the release is never reported. This filter on that widget reports
// the release over the icon, where the menu belongs.
class QtTrayPlatform::ReleaseWatcher : public QObject
{
public:
    explicit ReleaseWatcher(std::function<void()> onRelease) : onRelease_(std::move(onRelease)) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonRelease) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            const auto* icon = static_cast<QWidget*>(watched);
            if (mouse->button() == Qt::RightButton &&
                icon->rect().contains(mouse->position().toPoint()))
                onRelease_();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> onRelease_;
};

namespace {

// Qt's class of the icon window on an XEmbed tray.
constexpr const char* kEmbeddedIconClass = "QSystemTrayIconSys";

} // namespace

QtTrayPlatform::QtTrayPlatform(QWidget& window, const QIcon& icon,
                               std::function<void(int)> onNotification)
    : window_(window), normalIcon_(icon), icon_(icon), notify_(std::move(onNotification)),
      releaseWatcher_(std::make_unique<ReleaseWatcher>([this] { Post(kTrayRightButtonUp); }))
{
    QObject::connect(&icon_, &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         switch (reason) {
                         case QSystemTrayIcon::Context:
                             // Where the release is watched, Context is the press.
                             Post(iconWindow_ ? kTrayRightButtonDown : kTrayRightButtonUp);
                             break;
                         case QSystemTrayIcon::DoubleClick:
                             Post(kTrayLeftDoubleClick);
                             break;
                         case QSystemTrayIcon::Trigger:
                             Post(kTrayLeftButtonUp);
                             break;
                         default:
                             break;
                         }
                     });
}

QtTrayPlatform::~QtTrayPlatform() = default;

void QtTrayPlatform::Post(int mouseCode)
{
    // Restoring removes the icon, and Qt deletes the icon's window with it.
    // Handled inside that window's own mouse event, the removal would pull
    // the window out from under Qt's event delivery, so the notification
    // waits for the event loop. A call still queued when the icon object
    // goes away is dropped with it.
    QMetaObject::invokeMethod(
        &icon_, [this, mouseCode] { notify_(mouseCode); }, Qt::QueuedConnection);
}

void QtTrayPlatform::WatchIconWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->inherits(kEmbeddedIconClass)) {
            w->installEventFilter(releaseWatcher_.get());
            iconWindow_ = w;
        }
    }
}

bool QtTrayPlatform::TrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayPlatform::AddIcon(const std::string& tip)
{
    icon_.setToolTip(ToQString(tip));
    icon_.hide();
    icon_.show();
    WatchIconWindow();
}

void QtTrayPlatform::SetTip(const std::string& tip)
{
    icon_.setToolTip(ToQString(tip));
}

void QtTrayPlatform::RemoveIcon()
{
    icon_.hide();
}

void QtTrayPlatform::HideWindow()
{
    window_.hide();
}

void QtTrayPlatform::MinimizeWindow()
{
    window_.showMinimized();
}

void QtTrayPlatform::ShowWindow()
{
    // A hidden window keeps its state and geometry: show() brings a maximized
    // window back maximized and a normal one at its size and place.
    window_.setWindowState(window_.windowState() & ~Qt::WindowMinimized);
    window_.show();
    window_.raise();
    window_.activateWindow();
}

int QtTrayPlatform::ShowMenu()
{
    QMenu menu(&window_);
    QAction* restore = menu.addAction(QStringLiteral("화면 복귀"));
    menu.addSeparator();
    QAction* end = menu.addAction(QStringLiteral("프로그램 종료"));
    QAction* chosen = menu.exec(QCursor::pos());
    if (chosen == restore)
        return kMenuRestore;
    if (chosen == end)
        return kMenuEnd;
    return 0;
}

void QtTrayPlatform::EndProcess()
{
    icon_.hide();
    // The export, import or archiver of a run in progress ends with the
    // program, or it would run on unsupervised beside the next start's.
    posix::StopRunningChildren(CExeCmd::kStopGraceMilliseconds);
    _exit(0);
}

void QtTrayPlatform::SetFailureIcon(bool failed)
{
    icon_.setIcon(failed ? FailureIcon() : normalIcon_);
}

void QtTrayPlatform::Notify(const std::string& title, const std::string& text)
{
    if (icon_.isVisible())
        icon_.showMessage(ToQString(title), ToQString(text), QSystemTrayIcon::Warning);
}

namespace {

QPixmap ProgramPixmap()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(38, 84, 140));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPolyline(QPolygonF({QPointF(8, 8), QPointF(16, 25), QPointF(24, 8)}));
    painter.end();
    return pixmap;
}

} // namespace

QIcon ProgramIcon()
{
    return QIcon(ProgramPixmap());
}

QIcon FailureIcon()
{
    QPixmap pixmap = ProgramPixmap();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.setBrush(QColor(214, 36, 36));
    painter.drawEllipse(QRectF(15, 15, 16, 16));
    painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(23, 18.5), QPointF(23, 24));
    painter.drawPoint(QPointF(23, 28));
    painter.end();
    return QIcon(pixmap);
}

} // namespace veltrane
