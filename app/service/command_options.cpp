#include "service/command_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace veltrane {

bool ParseCommandOptions(int argc, const char* const* argv, CommandOptions& options,
                         std::string& error)
{
    constexpr std::string_view kFolder = "--folder";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--service") {
            options.service = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == kFolder) {
            if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
                error = "--folder needs the folder's path";
                return false;
            }
            options.folder = argv[++i];
        } else if (arg.starts_with("--folder=")) {
            options.folder = arg.substr(kFolder.size() + 1);
            if (options.folder.empty()) {
                error = "--folder needs the folder's path";
                return false;
            }
        } else {
            options.rest.emplace_back(arg);
        }
    }
    return true;
}

bool ResolveDataFolder(const std::string& folder, const std::string& programFolder,
                       std::string& resolved, std::string& error)
{
    if (folder.empty()) {
        resolved = programFolder;
        return true;
    }
    char buffer[PATH_MAX];
    struct stat st
    {};
    if (realpath(folder.c_str(), buffer) == nullptr || stat(buffer, &st) != 0) {
        error = "The folder \"" + folder + "\" cannot be used: " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "\"" + folder + "\" is not a folder";
        return false;
    }
    resolved = buffer;
    return true;
}

} // namespace veltrane
