#pragma once

// The notification-area icon: hiding the window into it, the popup menu on
// the icon, and bringing the window back. The state machine here is free of
// Qt; the platform does the showing through TrayPlatform.

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace veltrane {

// Mouse event codes of an icon notification.
inline constexpr int kTrayRightButtonDown = 0x204;
inline constexpr int kTrayRightButtonUp = 0x205;
inline constexpr int kTrayLeftButtonUp = 0x202;
inline constexpr int kTrayLeftDoubleClick = 0x203;

// Command ids of the popup menu.
inline constexpr int kMenuRestore = 1;
inline constexpr int kMenuSeparator = 2;
inline constexpr int kMenuEnd = 3;

class TrayPlatform
{
public:
    virtual ~TrayPlatform() = default;
    // Whether a notification area is there to hold an icon.
    virtual bool TrayAvailable() const = 0;
    virtual void AddIcon(const std::string& tip) = 0;
    // Changes the tip of the icon shown.
    virtual void SetTip(const std::string& tip) { static_cast<void>(tip); }
    virtual void RemoveIcon() = 0;
    virtual void HideWindow() = 0;
    // Without a notification area the window is minimized instead of hidden,
    // so it can always be reached from the taskbar.
    virtual void MinimizeWindow() = 0;
    // Shows the window again as it was (same size and place).
    virtual void ShowWindow() = 0;
    // Shows the menu "화면 복귀" / separator / "프로그램 종료" at the pointer
    // and returns the chosen command id, 0 when dismissed.
    virtual int ShowMenu() = 0;
    // Ends the process at once: nothing saved, nothing asked.
    virtual void EndProcess() = 0;
    // Draws the icon in its failure state (some item's last run failed), or
    // in its usual one.
    virtual void SetFailureIcon(bool failed) { static_cast<void>(failed); }
    // A notification balloon beside the icon.
    virtual void Notify(const std::string& title, const std::string& text)
    {
        static_cast<void>(title);
        static_cast<void>(text);
    }
};

// A failed run the tray tells of: `key` tells one failure from the next (the
// item and its run's time), `text` names it.
struct TrayFailure
{
    std::string key;
    std::string text;
};

class MSysTray
{
public:
    explicit MSysTray(TrayPlatform& platform) : platform_(platform) {}

    // "시스템 트레이로": hides the window and adds the icon with `tip` (the
    // window's title, and how the schedule stands).
    void AddTrayIcon(const std::string& tip);
    // Asked before the menu's end command ends the program; false keeps it.
    void SetEndCheck(std::function<bool()> mayEnd) { mayEnd_ = std::move(mayEnd); }
    // The icon's tip from now on, shown at once when the icon is there.
    void SetTip(const std::string& tip);
    // An icon notification with its mouse event code: the right button's
    // release opens the menu, a double click brings the window back. The
    // menu's commands remove the icon, so the platform must deliver
    // notifications after the icon's own event handling has returned, never
    // from inside it.
    void OnIconNotification(int mouseCode);
    int ShowTrayMenu();
    void DoTrayMenuCommand(int id);
    void RestoreFromTray();
    void EndProgram();

    // Called regularly (every clock tick): when the notification area has
    // come back (a restarted taskbar) while the window is in the tray, the
    // icon is added again so the window can be reached.
    void CheckTrayHost();

    // The failures standing now. The icon takes its failure state while any
    // stands; each failure not seen before is named in a notification while
    // the icon is shown (the window's red rows tell the rest). The first call
    // only learns what stands: failures from before the start are no news.
    void SetFailures(const std::vector<TrayFailure>& failures);

    bool InTray() const { return inTray_; }
    bool IconShown() const { return iconShown_; }

private:
    TrayPlatform& platform_;
    bool inTray_ = false;
    bool iconShown_ = false;
    bool busy_ = false;
    bool hostWasAvailable_ = true;
    std::string tip_;
    std::function<bool()> mayEnd_;
    bool failuresKnown_ = false;
    bool failedIcon_ = false;
    std::set<std::string> failureKeys_;
};

} // namespace veltrane
