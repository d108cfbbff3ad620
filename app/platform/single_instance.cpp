#include "platform/single_instance.h"

#include "platform/file_io.h"
#include "platform/program_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr const char* kFolderLockName = ".veltrane.lock";

// A folder that only this user can write into, and no link to one elsewhere.
bool IsPrivateFolder(const std::string& path)
{
    struct stat st
    {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string IdentityLockName(const std::string& folder)
{
    struct stat st
    {};
    if (stat(folder.c_str(), &st) != 0)
        return {};
    char name[64];
    std::snprintf(name, sizeof name, "veltrane-%llx-%llx.lock",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return name;
}

// "major:minor:inode" as /proc/locks names the file at `path` (the device
// numbers in hexadecimal); empty when it is not there.
std::string LockedFileName(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    char name[64];
    std::snprintf(name, sizeof name, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return name;
}

} // namespace

bool FolderLockHeld(const std::string& programFolder)
{
    std::vector<std::string> files{LockedFileName(JoinPath(programFolder, kFolderLockName))};
    // This user's own lock beside it, where a start that could not open
    // the folder's lock file holds it (looked up without making anything).
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string identity = IdentityLockName(programFolder);
    for (const std::string& folder : {std::string(runtime != nullptr ? runtime : ""),
                                      "/tmp/veltrane-" + std::to_string(geteuid())})
        if (!folder.empty() && !identity.empty())
            files.push_back(LockedFileName(JoinPath(folder, identity)));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"
        std::istringstream fields(line);
        std::string field;
        while (fields >> field)
            for (const std::string& file : files)
                if (!file.empty() && field == file)
                    return true;
    }
    return false;
}

std::string UserRuntimeFolder()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        if (IsPrivateFolder(runtime))
            return runtime;
    const std::string own = "/tmp/veltrane-" + std::to_string(geteuid());
    if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return IsPrivateFolder(own) ? own : std::string();
}

SingleInstanceLock::SingleInstanceLock(const std::string& programFolder) : folder_(programFolder)
{
    if (!TryLock(JoinPath(programFolder, kFolderLockName)))
        return;
    const std::string runtime = UserRuntimeFolder();
    const std::string identity = IdentityLockName(programFolder);
    if (!runtime.empty() && !identity.empty())
        TryLock(JoinPath(runtime, identity));
}

SingleInstanceLock::~SingleInstanceLock()
{
    for (int fd : fds_)
        close(fd);
}

bool SingleInstanceLock::TryLock(const std::string& path)
{
    // Open to the owner and the group (an operator of the service's group
    // opens the window on its folder), never to others: another account that
    // could open it could hold it and keep Veltrane from starting.
    Result<int> opened = OpenRegularFile(path, O_RDWR | O_CREAT, 0660);
    if (!opened && (opened.error().code == EACCES || opened.error().code == EROFS))
        opened = OpenRegularFile(path, O_RDONLY); // flock needs no write access
    if (!opened) {
        // A link or anything but a regular file in the lock's place was put
        // there to take the lock away (a link to a file elsewhere locks that
        // file, not the folder): the program does not start without it.
        if (opened.error().code == ELOOP || opened.error().code == EINVAL) {
            error_ = opened.error().description + "; remove it to start Veltrane.";
            return false;
        }
        return true;
    }
    const int fd = *opened;
    struct stat st
    {};
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & S_IRWXO) != 0)
        fchmod(fd, st.st_mode & 07770);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        close(fd);
        if (taken)
            error_ = "Veltrane is already running from " + folder_ + ".";
        return !taken;
    }
    fds_.push_back(fd);
    return true;
}

} // namespace veltrane
