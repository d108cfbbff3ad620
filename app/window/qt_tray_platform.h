#pragma once

// The notification-area icon on Qt: QSystemTrayIcon and a QMenu.

#include "window/tray.h"

#include <QIcon>
#include <QSystemTrayIcon>
#include <functional>

class QWidget;

namespace veltrane {

class QtTrayPlatform final : public TrayPlatform
{
public:
    // `onNotification` receives the mouse event code of every activation.
    QtTrayPlatform(QWidget& window, const QIcon& icon, std::function<void(int)> onNotification);

    bool TrayAvailable() const override;
    void AddIcon(const std::string& tip) override;
    void RemoveIcon() override;
    void HideWindow() override;
    void MinimizeWindow() override;
    void ShowWindow() override;
    int ShowMenu() override;
    void EndProcess() override;

private:
    QWidget& window_;
    QSystemTrayIcon icon_;
};

// The program's icon, drawn at run time: the window and the tray use it.
QIcon ProgramIcon();

} // namespace veltrane
