#include "platform/private_files.h"

#include "platform/file_io.h"
#include "platform/program_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {

void KeepFilesFromOthers()
{
    const mode_t previous = umask(S_IRWXO);
    umask(previous | S_IRWXO);
}

bool KeepSecretsOutOfCoreDumps()
{
    const rlimit none{0, 0};
    const bool undumpable = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    const int err = errno;
    const bool noCore = setrlimit(RLIMIT_CORE, &none) == 0;
    if (!undumpable)
        errno = err;
    return undumpable && noCore;
}

Status CheckFolderOwner(const std::string& dataFolder, const std::string& commandLine)
{
    struct stat st
    {};
    if (geteuid() != 0 || stat(dataFolder.c_str(), &st) != 0 || st.st_uid == 0)
        return {};
    const passwd* owner = getpwuid(st.st_uid);
    const std::string name =
        owner != nullptr ? owner->pw_name : std::string("#").append(std::to_string(st.st_uid));
    return Error{"The data folder " + dataFolder + " belongs to the account " + name +
                     "; Veltrane does not work on it as root. Run it as that account: runuser -u " +
                     name + " -- " + commandLine,
                 "CheckFolderOwner", EPERM};
}

namespace {

constexpr const char* kSecretsPrefix = ".veltrane-secrets-";

// A folder of this account's that no one else may enter, and no link.
bool IsOwnClosedFolder(int dir, const char* name)
{
    struct stat st
    {};
    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
}

constexpr const char* kSecretsComponent = "SecretFolder";

// This account's secret folder in `dataFolder`, empty when it has none.
Result<std::string> FindSecretFolder(const std::string& dataFolder)
{
    DIR* dir = opendir(dataFolder.c_str());
    if (dir == nullptr)
        return SystemError("Cannot list " + dataFolder, kSecretsComponent, errno);
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(kSecretsPrefix) && IsOwnClosedFolder(dirfd(dir), entry->d_name) &&
            (found.empty() || name < found))
            found = name;
    }
    closedir(dir);
    return found.empty() ? found : JoinPath(dataFolder, found);
}

} // namespace

Result<std::string> SecretFolder(const std::string& dataFolder)
{
    const Result<std::string> found = FindSecretFolder(dataFolder);
    if (!found || !found->empty())
        return found;
    // mkdtemp makes the folder 0700 whatever the umask, under a name nobody
    // could have made ready.
    std::string made = JoinPath(dataFolder, std::string(kSecretsPrefix) + "XXXXXX");
    if (mkdtemp(made.data()) == nullptr)
        return SystemError("Cannot make a private folder in " + dataFolder, kSecretsComponent,
                           errno);
    return made;
}

Status CheckSecretFolder(const std::string& dataFolder)
{
    const Result<std::string> found = FindSecretFolder(dataFolder);
    if (!found)
        return found.error();
    const std::string& folder = found->empty() ? dataFolder : *found;
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return SystemError(found->empty() ? "Cannot make a private folder in " + folder
                                          : "Cannot write the private folder " + folder,
                           kSecretsComponent, errno);
    return {};
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
