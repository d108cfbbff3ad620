#include "known_hosts.h"

#include <cstdlib>
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hoistline {
namespace {

// The folder of the shared object this code was loaded from, so that a
// known_hosts file can be kept beside the library.
std::string LibraryFolder()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    // The reentrant lookup: calls may come from several threads at once.
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

} // namespace

std::string ChooseKnownHostsFile(const char* named, const std::string& libraryFolder,
                                 const std::string& home)
{
    struct stat st
    {};
    if (named != nullptr && *named != '\0' && ::stat(named, &st) == 0)
        return named;
    std::string besideLibrary = (libraryFolder.empty() ? "." : libraryFolder) + "/known_hosts";
    if (::stat(besideLibrary.c_str(), &st) == 0)
        return besideLibrary;
    return home.empty() ? besideLibrary : home + "/.ssh/known_hosts";
}

std::string KnownHostsFile()
{
    return ChooseKnownHostsFile(std::getenv(kKnownHostsVariable), LibraryFolder(), HomeFolder());
}

} // namespace hoistline
