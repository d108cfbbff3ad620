#include "support/x_desktop.h"

#include "job/run_environment.h"
#include "support/temp_dir.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRect>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

namespace veltrane::test {

Child::~Child()
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(2000))
        kill();
    waitForFinished();
}

namespace {

// How long a retried act is given before it is done again.
constexpr int kRetrySliceMs = 6000;

QString YesOrEmpty(bool yes)
{
    return yes ? QStringLiteral("yes") : QString();
}

} // namespace

QString WaitFor(const std::function<QString()>& probe, int limitMs)
{
    const QDeadlineTimer deadline(limitMs);
    QString answer;
    while ((answer = probe()).isEmpty() && !deadline.hasExpired())
        QTest::qWait(50);
    return answer;
}

bool WaitUntil(const std::function<bool()>& condition, int limitMs)
{
    return !WaitFor([&] { return YesOrEmpty(condition()); }, limitMs).isEmpty();
}

QString Retrying(const std::function<void()>& act, const std::function<QString()>& probe)
{
    const QDeadlineTimer deadline(kLongestWaitMs);
    QString answer;
    do {
        act();
        answer = WaitFor(
            probe, static_cast<int>(std::min<qint64>(kRetrySliceMs, deadline.remainingTime())));
    } while (answer.isEmpty() && !deadline.hasExpired());
    return answer;
}

bool RetryingUntil(const std::function<void()>& act, const std::function<bool()>& condition)
{
    return !Retrying(act, [&] { return YesOrEmpty(condition()); }).isEmpty();
}

XDesktop::XDesktop(const std::string& folder, bool windowManager) : folder_(folder)
{
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20 && !Ready(); ++attempt) {
        const int number = std::uniform_int_distribution(200, 999)(random);
        if (FileExists("/tmp/.X" + std::to_string(number) + "-lock"))
            continue;
        display_ = ":" + QString::number(number);
        server_ = std::make_unique<Child>();
        server_->setStandardErrorFile(QString::fromStdString(folder + "/xvfb.log"));
        server_->start("Xvfb", {display_, "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                "-noreset", "-fbdir", QString::fromStdString(folder)});
        WaitUntil([&] { return Ready() || server_->state() == QProcess::NotRunning; });
    }
    if (!Ready())
        return;
    if (windowManager) {
        manager_.setProcessEnvironment(Environment());
        manager_.start("openbox", {});
        WaitFor([&] {
            return Tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).section("window id", 1);
        });
    }
    tray_.setProcessEnvironment(Environment());
    tray_.setStandardErrorFile(QString::fromStdString(folder + "/trayer.log"));
    tray_.start("trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                           "--width", "100", "--height", "24"});
    trayPanel_ = WaitFor([&] { return Tool("xdotool", {"search", "--classname", "^panel$"}); });
}

bool XDesktop::Ready() const
{
    if (!server_ || server_->state() != QProcess::Running)
        return false;
    std::ifstream lock("/tmp/.X" + display_.mid(1).toStdString() + "-lock");
    qint64 pid = 0;
    return lock >> pid && pid == server_->processId() &&
           !Tool("xdotool", {"getdisplaygeometry"}).isEmpty();
}

std::string XDesktop::Logs() const
{
    std::string logs;
    for (const char* log : {"/xvfb.log", "/trayer.log"})
        if (FileExists(folder_ + log))
            logs += ReadBytes(folder_ + log);
    return logs;
}

QString XDesktop::StartProgram(const std::string& folder, const QStringList& environment)
{
    // The program keeps its schedule and lock beside itself: a copy of its own.
    programFolder_ = folder;
    const std::string program = folder + "/veltrane";
    std::filesystem::copy_file(std::string(VELTRANE_PROGRAM_DIR) + "/veltrane", program);
    for (const char* library : {kMailLibraryFile, kFtpLibraryFile})
        std::filesystem::create_symlink(std::string(VELTRANE_PROGRAM_DIR) + "/" + library,
                                        folder + "/" + library);
    QProcessEnvironment env = Environment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(folder));
    // No session bus: the icon goes to the XEmbed area, whatever desktop runs the test.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    env.remove("QT_QPA_PLATFORMTHEME");
    env.remove("XDG_CURRENT_DESKTOP");
    for (const QString& variable : environment)
        env.insert(variable.section('=', 0, 0), variable.section('=', 1));
    program_.setProcessEnvironment(env);
    program_.setProcessChannelMode(QProcess::MergedChannels);
    program_.setStandardOutputFile(QString::fromStdString(folder + "/veltrane.out"));
    program_.start(QString::fromStdString(program), {});
    return WaitFor([&] { return Visible({"--name", "^Veltrane \\["}); });
}

std::string XDesktop::ProgramOutput() const
{
    const std::string out = programFolder_ + "/veltrane.out";
    return FileExists(out) ? ReadBytes(out) : std::string();
}

QString XDesktop::IconInTray() const
{
    // A line such as
    //   0x600025 "veltrane": ("veltrane" "veltrane")  22x22+0+0  +1001+745
    for (const QString& line : Tool("xwininfo", {"-tree", "-id", trayPanel_}).split('\n')) {
        const QString id = line.trimmed().section(' ', 0, 0);
        if (line.contains("(\"veltrane\" \"veltrane\")") &&
            Tool("xwininfo", {"-id", id}).contains("IsViewable"))
            return QString::number(id.toULong(nullptr, 16));
    }
    return {};
}

QProcessEnvironment XDesktop::Environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    return env;
}

QString XDesktop::Tool(const QString& program, const QStringList& args) const
{
    QProcess tool;
    tool.setProcessEnvironment(Environment());
    tool.start(program, args);
    if (!tool.waitForFinished(5000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0)
        return {};
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

QRect XDesktop::Geometry(const QString& window) const
{
    const QString info = Tool("xwininfo", {"-id", window});
    const auto value = [&](const QString& name) {
        return info.section(name + ":", 1).section('\n', 0, 0).trimmed().toInt();
    };
    return {value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"),
            value("Height")};
}

void XDesktop::Click(const QString& window, int x, int y, const QString& button, int repeat) const
{
    Tool("xdotool", {"mousemove", "--window", window, QString::number(x), QString::number(y),
                     "click", "--repeat", QString::number(repeat), "--delay", "40", button});
}

void XDesktop::ClickButton(const QString& window, int leftTwips, int widthTwips, int repeat) const
{
    const int width = Geometry(window).width() * 15;
    Click(window, (width - 300 - 7095 + leftTwips + widthTwips / 2) / 15, 22, "1", repeat);
}

void XDesktop::Keys(const QString& window, const QStringList& keys) const
{
    Tool("xdotool", QStringList{"windowfocus", "--sync", window, "key", "--delay", "30"} + keys);
}

void XDesktop::Type(const QString& window, const QString& text) const
{
    Tool("xdotool", {"windowfocus", "--sync", window, "type", "--delay", "30", text});
}

bool XDesktop::FrameCentred(const QString& window) const
{
    const auto numbers = [&](const QStringList& args) {
        QList<int> values;
        for (const QString& n : Tool("xprop", args).section('=', 1).split(','))
            values << n.trimmed().toInt();
        return values;
    };
    const QList<int> frame = numbers({"-id", window, "_NET_FRAME_EXTENTS"}); // l, r, t, b
    QList<int> area = numbers({"-root", "_NET_WORKAREA"});                   // x, y, w, h
    if (area.size() < 4) {
        const QStringList screen = Tool("xdotool", {"getdisplaygeometry"}).split(' ');
        area = {0, 0, screen.value(0).toInt(), screen.value(1).toInt()};
    }
    const QRect inner = Geometry(window);
    const int left = inner.x() - frame.value(0);
    const int top = inner.y() - frame.value(2);
    const int width = inner.width() + frame.value(0) + frame.value(1);
    const int height = inner.height() + frame.value(2) + frame.value(3);
    return std::abs(2 * (left - area[0]) + width - area[2]) <= 2 &&
           std::abs(2 * (top - area[1]) + height - area[3]) <= 2;
}

QString XDesktop::Menu() const
{
    // A window of the program's own placing (override-redirect) that is
    // neither its icon nor a tip (which shows when the pointer rests on the
    // icon); Qt gives the menu of a hidden window no type of its own.
    const QString icon = IconInTray();
    for (const QString& id : VisibleAll({"--class", "^veltrane$"}, {icon}))
        if (!Tool("xprop", {"-id", id, "_NET_WM_WINDOW_TYPE"}).contains("TOOLTIP") &&
            Tool("xwininfo", {"-id", id}).contains("Override Redirect State: yes"))
            return id;
    return {};
}

QStringList XDesktop::VisibleAll(const QStringList& options, const QStringList& except) const
{
    QStringList found = Tool("xdotool", QStringList{"search", "--onlyvisible"} + options)
                            .split('\n', Qt::SkipEmptyParts);
    for (const QString& id : except)
        found.removeAll(id);
    return found;
}

QString XDesktop::Visible(const QStringList& options, const QString& except) const
{
    return VisibleAll(options, {except}).value(0);
}

QImage XDesktop::Screen() const
{
    // Xvfb's frame buffer in XWD form: a header of big-endian 32-bit fields
    // (its size at 0, width at 16, height at 20, bits per pixel at 44, bytes
    // per line at 48, colours at 76), the colours of 12 bytes each, then the
    // pixels, 32 bits each in the server's (little-endian) order.
    QFile file(QString::fromStdString(folder_ + "/Xvfb_screen0"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray xwd = file.readAll();
    const auto field = [&](int offset) {
        const auto* b = reinterpret_cast<const unsigned char*>(xwd.constData() + offset);
        return static_cast<int>(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]);
    };
    if (xwd.size() < 100 || field(44) != 32)
        return {};
    const int width = field(16);
    const int height = field(20);
    const int stride = field(48);
    const qsizetype start = field(0) + 12 * static_cast<qsizetype>(field(76));
    if (xwd.size() < start + static_cast<qsizetype>(stride) * height)
        return {};
    return QImage(reinterpret_cast<const uchar*>(xwd.constData() + start), width, height, stride,
                  QImage::Format_RGB32)
        .copy();
}

} // namespace veltrane::test
