// Veltrane: backs up Oracle databases on a schedule.

#include "editor/qt_text.h"
#include "platform/clock.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"
#include "service/command_options.h"
#include "service/headless_service.h"
#include "version.h"
#include "window/end_signals.h"
#include "window/system_main.h"

#include <QApplication>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int RunWindow(char* argv0, const veltrane::CommandOptions& options, const std::string& dataFolder,
              const std::string& programFolder)
{
    // Qt sees its own options only.
    std::vector<char*> qtArgs{argv0};
    std::vector<std::string> rest = options.rest;
    for (std::string& arg : rest)
        qtArgs.push_back(arg.data());
    int qtArgc = static_cast<int>(qtArgs.size());
    qtArgs.push_back(nullptr);
    QApplication app(qtArgc, qtArgs.data());
    // The window hides into the notification area and lives on there.
    QApplication::setQuitOnLastWindowClosed(false);
    // Qt's own dialogs (message boxes, the folder browser) speak Korean like
    // the window; without the translations they stay in English.
    QTranslator qtTexts;
    veltrane::InstallQtKoreanTexts(qtTexts);

    veltrane::SingleInstanceLock lock(dataFolder);
    if (!lock.Held()) {
        std::fprintf(stderr, "%s\n", lock.Error().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Veltrane"),
                              veltrane::ToQString(lock.Error()));
        return 1;
    }
    veltrane::SystemClock clock;
    veltrane::SystemMain window(clock, dataFolder, nullptr, programFolder);
    if (!window.ScheduleError().empty()) {
        std::fprintf(stderr, "Veltrane: %s\n", window.ScheduleError().c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Veltrane"),
                              veltrane::ToQString(window.ScheduleError()));
        return 1;
    }
    veltrane::EndOnTerminationSignals(&window);
    window.show();
    return QApplication::exec();
}

int RunService(const veltrane::CommandOptions& options, const std::string& dataFolder,
               const std::string& programFolder)
{
    if (!options.rest.empty()) {
        std::fprintf(stderr, "Veltrane: unknown option \"%s\"\n%s", options.rest.front().c_str(),
                     veltrane::kUsage);
        return 2;
    }
    // No Qt at all here: the service needs no display.
    veltrane::SingleInstanceLock lock(dataFolder);
    if (!lock.Held()) {
        std::fprintf(stderr, "%s\n", lock.Error().c_str());
        return 1;
    }
    veltrane::SystemClock clock;
    return veltrane::RunHeadlessService(clock, dataFolder, programFolder, stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    veltrane::CommandOptions options;
    std::string error;
    if (!veltrane::ParseCommandOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "Veltrane: %s\n%s", error.c_str(), veltrane::kUsage);
        return 2;
    }
    if (options.help) {
        std::printf("%s", veltrane::kUsage);
        return 0;
    }
    if (options.version) {
        std::printf("Veltrane %s\n", std::string(veltrane::kVersion).c_str());
        return 0;
    }
    const std::string programFolder = veltrane::ProgramFolder();
    std::string dataFolder;
    if (!veltrane::ResolveDataFolder(options.folder, programFolder, dataFolder, error)) {
        std::fprintf(stderr, "Veltrane: %s\n", error.c_str());
        return 2;
    }
    // The FTP library checks an SFTP server's key against known_hosts in the
    // data folder first.
    setenv("HOISTLINE_KNOWN_HOSTS", veltrane::JoinPath(dataFolder, "known_hosts").c_str(), 0);
    return options.service ? RunService(options, dataFolder, programFolder)
                           : RunWindow(argv[0], options, dataFolder, programFolder);
}
