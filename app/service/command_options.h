#pragma once

// The program's command line:
//
//   veltrane [--folder DIR]              the window
//   veltrane --service [--folder DIR]    the headless service
//
// --folder names the folder that holds Schedule.dat, SendResult.Log,
// Veltrane.log and the archiver, in place of the program's own folder; the
// libraries are still looked for beside the program first.

#include <string>
#include <vector>

namespace veltrane {

struct CommandOptions
{
    bool service = false;
    bool help = false;
    bool version = false;
    std::string folder;            // as given; empty: the program folder
    std::vector<std::string> rest; // everything else, in order (the window hands it to Qt)
};

inline constexpr const char* kUsage =
    "Usage: veltrane [--folder DIR]            the window\n"
    "       veltrane --service [--folder DIR]  run the schedule without a window\n"
    "\n"
    "  --folder DIR  the folder holding Schedule.dat, SendResult.Log, Veltrane.log\n"
    "                and the archiver (default: the program's own folder)\n"
    "  --service     no window and no display: result lines go to standard output;\n"
    "                SIGTERM or SIGINT ends it, SIGHUP reads Schedule.dat again\n"
    "  --help, --version\n";

// Takes the program's own options out of argv[1..]. False, with the reason in
// `error`, when an option lacks its value.
[[nodiscard]] bool ParseCommandOptions(int argc, const char* const* argv, CommandOptions& options,
                                       std::string& error);

// The data folder: `folder` made absolute, or `programFolder` when `folder`
// is empty. False, with the reason in `error`, when it is no folder.
[[nodiscard]] bool ResolveDataFolder(const std::string& folder, const std::string& programFolder,
                                     std::string& resolved, std::string& error);

} // namespace veltrane
