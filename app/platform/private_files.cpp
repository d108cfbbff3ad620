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
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {

void KeepFilesFromOthers()
{
    const mode_t previous = umask(S_IRWXO);
    umask(previous | S_IRWXO);
}

std::string SecretFolder(const std::string& dataFolder, std::string& error)
{
    const std::string runtime = UserRuntimeFolder();
    struct stat st
    {};
    if (runtime.empty() || stat(dataFolder.c_str(), &st) != 0) {
        error = "no private folder of this user for the login's parameter file";
        return {};
    }
    char name[64];
    std::snprintf(name, sizeof name, "veltrane-%llx-%llx-secrets",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const std::string folder = JoinPath(runtime, name);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + folder + ": " + std::strerror(errno);
        return {};
    }
    // Only a folder of this user's, closed to everyone else, holds a secret.
    struct stat own
    {};
    if (lstat(folder.c_str(), &own) != 0 || !S_ISDIR(own.st_mode) || own.st_uid != geteuid() ||
        (own.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = folder + " is not a private folder of this user";
        return {};
    }
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

SecretFile::SecretFile(const std::string& folder, std::string_view contents)
{
    if (folder.empty()) {
        error_ = "no private folder";
        return;
    }
    std::string path = JoinPath(folder, "login-XXXXXX");
    // mkstemp makes the file 0600, whatever the umask.
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        error_ = "cannot make a file in " + folder + ": " + std::strerror(errno);
        return;
    }
    const bool written = WriteAll(fd, contents);
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        error_ = "cannot write " + path + ": " + std::strerror(written ? errno : writeError);
        unlink(path.c_str());
        return;
    }
    path_ = std::move(path);
}

SecretFile::SecretFile(SecretFile&& other) noexcept
    : path_(std::move(other.path_)), error_(std::move(other.error_))
{
    other.path_.clear();
}

SecretFile::~SecretFile()
{
    if (!path_.empty())
        unlink(path_.c_str());
}

} // namespace veltrane
