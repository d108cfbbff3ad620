#include "window/tray.h"

namespace veltrane {

void MSysTray::AddTrayIcon(const std::string& tip)
{
    tip_ = tip;
    if (!platform_.TrayAvailable()) {
        // Hiding with nowhere to come back from would lose the window.
        platform_.MinimizeWindow();
        return;
    }
    platform_.HideWindow();
    platform_.AddIcon(tip_);
    inTray_ = true;
    iconShown_ = true;
    hostWasAvailable_ = true;
}

void MSysTray::SetTip(const std::string& tip)
{
    if (tip == tip_)
        return;
    tip_ = tip;
    if (iconShown_)
        platform_.SetTip(tip_);
}

void MSysTray::OnIconNotification(int mouseCode)
{
    if (busy_)
        return;
    busy_ = true;
    if (mouseCode == kTrayRightButtonUp)
        ShowTrayMenu();
    else if (mouseCode == kTrayLeftDoubleClick && inTray_)
        RestoreFromTray();
    busy_ = false;
}

int MSysTray::ShowTrayMenu()
{
    int id = platform_.ShowMenu();
    DoTrayMenuCommand(id);
    return id;
}

void MSysTray::DoTrayMenuCommand(int id)
{
    if (id == kMenuRestore)
        RestoreFromTray();
    else if (id == kMenuEnd && (!mayEnd_ || mayEnd_()))
        EndProgram();
}

void MSysTray::RestoreFromTray()
{
    if (iconShown_)
        platform_.RemoveIcon();
    iconShown_ = false;
    inTray_ = false;
    platform_.ShowWindow();
}

void MSysTray::EndProgram()
{
    if (iconShown_)
        platform_.RemoveIcon();
    iconShown_ = false;
    platform_.EndProcess();
}

void MSysTray::CheckTrayHost()
{
    const bool available = platform_.TrayAvailable();
    if (inTray_ && available && !hostWasAvailable_) {
        platform_.AddIcon(tip_);
        iconShown_ = true;
    }
    hostWasAvailable_ = available;
}

void MSysTray::SetFailures(const std::vector<TrayFailure>& failures)
{
    const bool failed = !failures.empty();
    if (failed != failedIcon_)
        platform_.SetFailureIcon(failed);
    failedIcon_ = failed;
    std::set<std::string> keys;
    for (const TrayFailure& failure : failures) {
        keys.insert(failure.key);
        if (failuresKnown_ && iconShown_ && failureKeys_.count(failure.key) == 0)
            platform_.Notify("백업 실패", failure.text);
    }
    failureKeys_ = std::move(keys);
    failuresKnown_ = true;
}

} // namespace veltrane
