#include "window/qt_tray_platform.h"

#include "window/qt_text.h"

#include <QCursor>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <unistd.h>

namespace veltrane {
namespace {

int MouseCodeOf(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        return kTrayRightButtonUp;
    case QSystemTrayIcon::DoubleClick:
        return kTrayLeftDoubleClick;
    case QSystemTrayIcon::Trigger:
        return kTrayLeftButtonUp;
    default:
        return 0;
    }
}

} // namespace

QtTrayPlatform::QtTrayPlatform(QWidget& window, const QIcon& icon,
                               std::function<void(int)> onNotification)
    : window_(window), icon_(icon)
{
    QObject::connect(
        &icon_, &QSystemTrayIcon::activated,
        [notify = std::move(onNotification)](QSystemTrayIcon::ActivationReason reason) {
            notify(MouseCodeOf(reason));
        });
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
    window_.showNormal();
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
    _exit(0);
}

QIcon ProgramIcon()
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
    return QIcon(pixmap);
}

} // namespace veltrane
