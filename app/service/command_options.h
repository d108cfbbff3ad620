#pragma once

// The program's command line:
//
//   veltrane [--folder DIR] [Qt's options]   the window
//   veltrane --service [--folder DIR]        the headless service
//   veltrane --status [--json] [--folder DIR]
//   veltrane --run-item N [--folder DIR]
//   veltrane --check [--connect] [--folder DIR]
//   veltrane --test-mail N [--folder DIR]
//   veltrane --export-items [--with-secrets] [--folder DIR]
//   veltrane --import-items FILE|- [--folder DIR]
//   veltrane --log N [--folder DIR]
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
    Status,      // how every item stands, from what the service keeps
    RunItem,     // one item, once, now, in the foreground
    Check,       // what would fail at the items' next runs
    ExportItems, // the items as a JSON document
    ImportItems, // a JSON document made the schedule
    Log,         // an item's newest run log
    TestMail,    // a short mail through an item's route
};

struct CommandOptions
{
    Command command = Command::Window;
    bool help = false;
    bool version = false;
    bool json = false;             // --status: one JSON document
    bool withSecrets = false;      // --export-items: the passwords too
    bool connect = false;          // --check: the servers and files are tried too
    int item = 0;                  // --run-item, --log, --test-mail: the item's number
    std::string source;            // --import-items: the document's file, "-" standard input
    std::string folder;            // as given; empty: the program folder
    std::vector<std::string> rest; // Qt's options for the window, in order
};

inline constexpr const char* kUsage =
    "Usage: veltrane [--folder DIR]                   the window\n"
    "       veltrane --service [--folder DIR]         run the schedule without a window\n"
    "       veltrane --status [--json] [--folder DIR] how every item stands\n"
    "       veltrane --run-item N [--folder DIR]      back up item N now, in the foreground\n"
    "       veltrane --check [--connect] [--folder DIR]\n"
    "                                                 check what tonight's runs need\n"
    "       veltrane --test-mail N [--folder DIR]     mail item N's recipients a short test\n"
    "       veltrane --export-items [--with-secrets] [--folder DIR]\n"
    "                                                 print the items as JSON\n"
    "       veltrane --import-items FILE|- [--folder DIR]\n"
    "                                                 make a JSON document the schedule\n"
    "       veltrane --log N [--folder DIR]           print item N's newest run log\n"
    "\n"
    "  --folder DIR  the folder holding Schedule.dat, SendResult.Log, Veltrane.log\n"
    "                and the archiver (default: the program's own folder)\n"
    "  --service     no window and no display: result lines go to standard output;\n"
    "                SIGTERM or SIGINT ends it, SIGHUP reads Schedule.dat again;\n"
    "                under systemd (Type=notify) it reports ready and feeds the watchdog\n"
    "  --status      one row per item: number, service, user, enabled, schedule, next run,\n"
    "                last run (time, result, cause), last success (time, dump, size),\n"
    "                failures in a row, overdue, running now (since when, which step);\n"
    "                --json prints one JSON document instead, with each item's last log.\n"
    "                Exit status 0 when every enabled item's last run succeeded and none\n"
    "                is overdue, 1 otherwise. Reads only; works beside a running service.\n"
    "                Sizes in MiB and GiB as the window shows them (--json: bytes)\n"
    "  --run-item N  runs item N (its number in Schedule.dat) once, now, whatever its\n"
    "                schedule, with every step of a run; its lines go to standard output.\n"
    "                Exit status 0 when the export and every later step succeeded, 1 when\n"
    "                one failed, 2 when the folder is in use by the service or the window\n"
    "  --check       checks each enabled item's export utility, backup folder, archiver,\n"
    "                mail and FTP servers, and Veltrane.ini; one line per finding. Exit\n"
    "                status 0 when nothing was found, 1 otherwise. Changes nothing.\n"
    "                --connect also logs in to each item's mail server (STARTTLS as a\n"
    "                run takes it; no mail) and FTP server (into its folder; SFTP: the\n"
    "                host key against known_hosts), and makes and removes a file in the\n"
    "                private folder and beside MetricsFile\n"
    "  --test-mail N sends a short test mail through item N's route (its server and\n"
    "                login, or straight to the recipients' exchangers), as a run\n"
    "                sends its result; exit status 0 when sent, 1 when not\n"
    "  --export-items  prints {\"items\": [...]}, one object per item keyed by its\n"
    "                Schedule.dat field names (nNo, bEnabled, strBackUpType ...); the\n"
    "                passwords only with --with-secrets, then in clear\n"
    "  --import-items  reads such a document (\"-\": standard input), checks every item\n"
    "                as the editor does and replaces Schedule.dat with it. An item\n"
    "                without a password or strLastBackUpTime keeps the stored item's of\n"
    "                the same nNo. Exit status 0 when imported, 1 when the document was\n"
    "                refused (nothing changes), 2 when the folder is in use by the\n"
    "                service or the window: stop it, import, start it again\n"
    "  --log N       prints item N's newest run log (failed runs too) in UTF-8; exit\n"
    "                status 1 when the item has none\n"
    "  --help, --version\n"
    "\n"
    "Exit status 2, whatever the command: a wrong command line; a folder that cannot be\n"
    "used; a Schedule.dat that cannot be read (--status, --run-item: a missing one too);\n"
    "--status: a Veltrane.state that cannot be read (a missing one is a folder where\n"
    "nothing has run yet); --run-item, --log, --test-mail: no item N; --run-item,\n"
    "--import-items: the folder is in use by the service or the window;\n"
    "--import-items: a document or Schedule.dat that cannot be read or written;\n"
    "--log: a run log that cannot be read; --export-items, --log: standard output\n"
    "that cannot be written.\n"
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
