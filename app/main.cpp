// Veltrane: backs up Oracle databases on a schedule.

#include "cli/check_command.h"
#include "cli/items_command.h"
#include "cli/run_item_command.h"
#include "cli/status_command.h"
#include "editor/qt_text.h"
#include "platform/clock.h"
#include "platform/private_files.h"
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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// `word` as a shell reads it back: quoted when it holds anything but plain
// characters.
std::string ShellWord(const std::string& word)
{
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_./:=+-") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

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

int RunService(const veltrane::Clock& clock, const std::string& dataFolder,
               const std::string& programFolder)
{
    // No Qt at all here: the service needs no display.
    veltrane::SingleInstanceLock lock(dataFolder);
    if (!lock.Held()) {
        std::fprintf(stderr, "%s\n", lock.Error().c_str());
        return 1;
    }
    return veltrane::RunHeadlessService(clock, dataFolder, programFolder);
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a signal in the first moments of a start (a reload sent
    // as the service comes up) must not kill it.
    if (!veltrane::InstallServiceSignals())
        std::fprintf(stderr, "Veltrane: cannot set up the signals\n");
    // Before any password is read: nothing of them may reach a core file.
    if (!veltrane::KeepSecretsOutOfCoreDumps())
        std::fprintf(stderr, "Veltrane: cannot keep the passwords out of core dumps: %s\n",
                     std::strerror(errno));
    using veltrane::Command;
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
    // Only the service and a run of one item answer the signals themselves.
    if (options.command != Command::Service && options.command != Command::RunItem)
        veltrane::ReleaseServiceSignals();
    const std::string programFolder = veltrane::ProgramFolder();
    std::string dataFolder;
    if (!veltrane::ResolveDataFolder(options.folder, programFolder, dataFolder, error)) {
        std::fprintf(stderr, "Veltrane: %s\n", error.c_str());
        return 2;
    }
    // The FTP library checks an SFTP server's key against known_hosts in the
    // data folder first.
    setenv("HOISTLINE_KNOWN_HOSTS", veltrane::JoinPath(dataFolder, "known_hosts").c_str(), 0);
    // Root works only on its own folders (the status only reads).
    if (options.command != Command::Status) {
        std::string commandLine = "veltrane";
        for (int i = 1; i < argc; ++i)
            commandLine.append(" ").append(ShellWord(argv[i]));
        if (options.folder.empty())
            commandLine.append(" --folder ").append(ShellWord(dataFolder));
        if (const veltrane::Status owner = veltrane::CheckFolderOwner(dataFolder, commandLine);
            !owner) {
            std::fprintf(stderr, "Veltrane: %s\n", owner.error().description.c_str());
            return 2; // a folder this account cannot use
        }
    }
    veltrane::SystemClock clock;
    switch (options.command) {
    case Command::Service:
        return RunService(clock, dataFolder, programFolder);
    case Command::Status:
        return veltrane::StatusCommand(clock, dataFolder, options.json);
    case Command::RunItem:
        return veltrane::RunItemCommand(clock, dataFolder, programFolder, options.item);
    case Command::Check:
        return veltrane::CheckCommand(dataFolder, programFolder, options.connect);
    case Command::TestMail:
        return veltrane::TestMailCommand(dataFolder, programFolder, options.item);
    case Command::ExportItems:
        return veltrane::ExportItemsCommand(dataFolder, options.withSecrets);
    case Command::ImportItems:
        return veltrane::ImportItemsCommand(dataFolder, options.source);
    case Command::Log:
        return veltrane::LogCommand(dataFolder, options.item);
    case Command::Window:
        break;
    }
    return RunWindow(argv[0], options, dataFolder, programFolder);
}
