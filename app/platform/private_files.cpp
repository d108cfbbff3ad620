#include "platform/private_files.h"

#include "platform/file_io.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {

void KeepFilesFromOthers()
{
    const mode_t previous = umask(S_IRWXO);
    umask(previous | S_IRWXO);
}

Status CheckFolderOwner(const std::string& dataFolder, const std::string& commandLine)
{
    struct stat st
    {};
    if (geteuid() != 0 || stat(dataFolder.c_str(), &st) != 0 || st.st_uid == 0)
        return {};
    const passwd* owner = getpwuid(st.st_uid);
    const std::string name = owner != nullptr ? owner->pw_name : "#" + std::to_string(st.st_uid);
    return Error{"The data folder " + dataFolder + " belongs to the account " + name +
                     "; Veltrane does not work on it as root. Run it as that account: runuser -u " +
                     name + " -- " + commandLine,
                 "CheckFolderOwner", EPERM};
}

Result<std::string> SecretFolder(const std::string& dataFolder)
{
    constexpr const char* kComponent = "SecretFolder";
    const std::string runtime = UserRuntimeFolder();
    struct stat st
    {};
    if (runtime.empty())
        return Error{"no private folder of this user", kComponent, ENOENT};
    if (stat(dataFolder.c_str(), &st) != 0)
        return SystemError("Cannot examine " + dataFolder, kComponent, errno);
    char name[64];
    std::snprintf(name, sizeof name, "veltrane-%llx-%llx-secrets",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const std::string folder = JoinPath(runtime, name);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return SystemError("Cannot make " + folder, kComponent, errno);
    // Only a folder of this user's, closed to everyone else, holds a secret.
    struct stat own
    {};
    if (lstat(folder.c_str(), &own) != 0 || !S_ISDIR(own.st_mode) || own.st_uid != geteuid() ||
        (own.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return Error{folder + " is not a private folder of this user", kComponent, EPERM};
    return folder;
}

void RemoveSecretFiles(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            unlinkat(dirfd(dir), entry->d_name, 0);
    closedir(dir);
}

Result<SecretFile> SecretFile::Create(const std::string& folder, std::string_view contents)
{
    std::string path = JoinPath(folder, "login-XXXXXX");
    // mkstemp makes the file 0600, whatever the umask.
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return SystemError("Cannot make a file in " + folder, "SecretFile", errno);
    const bool written = WriteAll(fd, contents);
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        const int err = written ? errno : writeError;
        unlink(path.c_str());
        return SystemError("Cannot write " + path, "SecretFile", err);
    }
    return SecretFile(std::move(path));
}

SecretFile::SecretFile(SecretFile&& other) noexcept : path_(std::move(other.path_))
{
    other.path_.clear();
}

SecretFile::~SecretFile()
{
    if (!path_.empty())
        unlink(path_.c_str());
}

} // namespace veltrane
