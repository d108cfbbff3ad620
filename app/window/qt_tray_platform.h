#pragma once

// The notification-area icon on Qt: QSystemTrayIcon and a QMenu.

#include "window/tray.h"

#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QWidget;

namespace veltrane {

class QtTrayPlatform final : public TrayPlatform
{
public:
    // `onNotification` receives the mouse event code of every activation,
    // always from the event loop after the icon's own event has been handled.
    QtTrayPlatform(QWidget& window, const QIcon& icon, std::function<void(int)> onNotification);
    ~QtTrayPlatform() override;

    bool TrayAvailable() const override;
    void AddIcon(const std::string& tip) override;
    void SetTip(const std::string& tip) override;
    void RemoveIcon() override;
    void HideWindow() override;
    void MinimizeWindow() override;
    void ShowWindow() override;
    int ShowMenu() override;
    void EndProcess() override;
    void SetFailureIcon(bool failed) override;
    void Notify(const std::string& title, const std::string& text) override;

private:
    class ReleaseWatcher;

    void Post(int mouseCode);
    void WatchIconWindow();

    QWidget& window_;
    QIcon normalIcon_;
    QSystemTrayIcon icon_;
    std::function<void(int)> notify_;
    std::unique_ptr<ReleaseWatcher> releaseWatcher_;
    // The icon's own window on an XEmbed tray, while the icon is shown there.
    QPointer<QWidget> iconWindow_;
};

// The program's icon, drawn at run time: the window and the tray use it.
QIcon ProgramIcon();
// The same icon with a red mark: some item's last run failed.
QIcon FailureIcon();

} // namespace veltrane
