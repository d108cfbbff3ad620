#pragma once

// The program's command line:
//
//   veltrane [--folder DIR] [Qt's options]   the window
//   veltrane --service [--folder DIR]        the headless service
//   veltrane --status [--json] [--folder DIR]
//   veltrane --run-item N [--folder DIR]
//   veltrane --check [--folder DIR]
//
// --folder names the folder that holds Schedule.dat, SendResult.Log,
// Veltrane.log and the archiver, in place of the program's own folder; the
// libraries are still looked for beside the program first.
//
// Everything but the window runs without Qt and without a display, and so
// does the refusal of an option the program does not know: only the window
// takes Qt's own documented options ("-platform offscreen", "-style fusion"
// ...), and only those.

#include <string>
#include <vector>

namespace veltrane {

enum class Command {
    Window,
    Service,
    Status,  // how every item stands, from what the service keeps
    RunItem, // one item, once, now, in the foreground
    Check,   // what would fail at the items' next runs
};

struct CommandOptions
{
    Command command = Command::Window;
    bool help = false;
    bool version = false;
    bool json = false;             // --status: one JSON document
    int item = 0;                  // --run-item: the item's number
    std::string folder;            // as given; empty: the program folder
    std::vector<std::string> rest; // Qt's options for the window, in order
};

inline constexpr const char* kUsage =
    "Usage: veltrane [--folder DIR]                   the window\n"
    "       veltrane --service [--folder DIR]         run the schedule without a window\n"
    "       veltrane --status [--json] [--folder DIR] how every item stands\n"
    "       veltrane --run-item N [--folder DIR]      back up item N now, in the foreground\n"
    "       veltrane --check [--folder DIR]           check what tonight's runs need\n"
    "\n"
    "  --folder DIR  the folder holding Schedule.dat, SendResult.Log, Veltrane.log\n"
    "                and the archiver (default: the program's own folder)\n"
    "  --service     no window and no display: result lines go to standard output;\n"
    "                SIGTERM or SIGINT ends it, SIGHUP reads Schedule.dat again;\n"
    "                under systemd (Type=notify) it reports ready and feeds the watchdog\n"
    "  --status      one row per item: number, service, user, enabled, schedule, next run,\n"
    "                last run (time, result, cause), last success (time, dump, size),\n"
    "                failures in a row, overdue; --json prints one JSON document instead.\n"
    "                Exit status 0 when every enabled item's last run succeeded and none\n"
    "                is overdue, 1 otherwise. Reads only; works beside a running service\n"
    "  --run-item N  runs item N (its number in Schedule.dat) once, now, whatever its\n"
    "                schedule, with every step of a run; its lines go to standard output.\n"
    "                Exit status 0 when the export and every later step succeeded, 1 when\n"
    "                one failed, 2 when the folder is in use by the service or the window\n"
    "  --check       checks each enabled item's export utility, backup folder, archiver,\n"
    "                mail and FTP servers, and Veltrane.ini; one line per finding. Exit\n"
    "                status 0 when nothing was found, 1 otherwise. Changes nothing\n"
    "  --help, --version\n"
    "\n"
    "Exit status 2: a wrong command line or a folder that cannot be used.\n"
    "The window also takes Qt's own options (-platform, -display, -style ...).\n";

// Takes the program's own options out of argv[1..]. False, with the reason in
// `error`, when an option lacks its value, is not known (Qt's own options
// are known to the window only), or does not go with the command.
[[nodiscard]] bool ParseCommandOptions(int argc, const char* const* argv, CommandOptions& options,
                                       std::string& error);

// The data folder: `folder` made absolute, or `programFolder` when `folder`
// is empty. False, with the reason in `error`, when it is no folder.
[[nodiscard]] bool ResolveDataFolder(const std::string& folder, const std::string& programFolder,
                                     std::string& resolved, std::string& error);

} // namespace veltrane
