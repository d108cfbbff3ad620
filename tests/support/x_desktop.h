#pragma once

// A desktop of its own for one test: an X server (Xvfb) on a display number
// picked at random from a high range (one already taken is skipped, so runs
// side by side never share one), an XEmbed notification area (trayer) and,
// if asked for, a window manager (openbox) that frames the windows. The real
// program runs on it, driven with xdotool; the screen's pixels can be read
// (Xvfb keeps its frame buffer in a file).
//
// Every wait is a bounded poll for a condition: nothing sleeps to let time
// pass.

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

namespace veltrane::test {

// A child process that is ended, if still running, when the test leaves.
struct Child : QProcess
{
    ~Child() override;
};

// The longest any wait lasts: the sanitizer build of the program, started
// beside other tests on two busy cores, takes seconds where it takes
// milliseconds alone.
inline constexpr int kLongestWaitMs = 45000;

// Asks `probe` until it answers, for up to `limitMs`; its answer, empty when
// it never gave one.
QString WaitFor(const std::function<QString()>& probe, int limitMs = kLongestWaitMs);
// The same for a yes or no.
bool WaitUntil(const std::function<bool()>& condition, int limitMs = kLongestWaitMs);
// Does `act` and waits for `probe` to answer; when it has not answered within
// a few seconds, does `act` again (an input that came before its window
// could take it, or while the window manager moved it, is gone), up to the
// longest wait. Only for acts that do no harm when repeated after they took
// effect late.
QString Retrying(const std::function<void()>& act, const std::function<QString()>& probe);
bool RetryingUntil(const std::function<void()>& act, const std::function<bool()>& condition);

class XDesktop
{
public:
    // `folder` holds the server's logs and its frame buffer.
    XDesktop(const std::string& folder, bool windowManager = false);

    // Ready when the display answers and its lock names this server, not
    // another one that took the number first; the tray panel is up.
    bool Ready() const;
    const QString& TrayPanel() const { return trayPanel_; }
    // What went wrong, when the desktop is not ready.
    std::string Logs() const;

    // Starts a copy of the program in `folder` (which becomes its data
    // folder, the libraries linked beside it) with its icon bound for the
    // XEmbed tray, and waits for its main window; that window's id, empty
    // when it did not come. The program is ended with the desktop.
    QString StartProgram(const std::string& folder, const QStringList& environment = {});
    Child& Program() { return program_; }
    std::string ProgramOutput() const;

    // The program's icon window inside the tray panel once it is shown
    // there, as xdotool names windows.
    QString IconInTray() const;

    QProcessEnvironment Environment() const;
    // What an X client tool printed, empty when it failed.
    QString Tool(const QString& program, const QStringList& args) const;

    // The window's place on the screen (without its frame).
    QRect Geometry(const QString& window) const;
    void Click(const QString& window, int x, int y, const QString& button = "1",
               int repeat = 1) const;
    // Clicks one of the main window's five buttons, given by its left edge
    // and width in twips inside the button bar (which ends 300 twips in from
    // the window's right edge, 15 twips to a pixel).
    void ClickButton(const QString& window, int leftTwips, int widthTwips, int repeat = 1) const;
    // Gives the window the keyboard and sends it key names ("ctrl+z",
    // "Escape") or text, as xdotool's key and type do.
    void Keys(const QString& window, const QStringList& keys) const;
    void Type(const QString& window, const QString& text) const;

    // Whether the window's outer frame is centred (within a pixel) on the
    // screen's work area, which leaves out the docked tray panel.
    bool FrameCentred(const QString& window) const;

    // The program's popup menu once it is shown (not its icon, nor a tip).
    QString Menu() const;

    // The visible windows matching xdotool's search options, minus `except`.
    QStringList VisibleAll(const QStringList& options, const QStringList& except = {}) const;
    QString Visible(const QStringList& options, const QString& except = {}) const;

    // The whole screen as it stands.
    QImage Screen() const;

private:
    std::string folder_;
    QString display_;
    std::unique_ptr<Child> server_;
    Child manager_;
    Child tray_;
    Child program_;
    QString trayPanel_;
    std::string programFolder_;
};

} // namespace veltrane::test
