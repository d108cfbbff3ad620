#include "platform/file_io.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

std::string Describe(const std::string& what, const std::string& path, int err)
{
    return what + " \"" + path + "\": " + std::strerror(err);
}

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Whether the caller may not write the file. The file's own permission bits
// decide for the superuser too, who could write it anyway: a file made
// read-only is one the operator wants kept as it is.
bool IsReadOnly(const std::string& path, const struct stat& st)
{
    if (geteuid() == 0)
        return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 &&
           (errno == EACCES || errno == EROFS);
}

// "<name>.XXXXXX" as mkstemp makes it: six letters and digits of mixed kinds.
// Names an operator would give a copy ("Schedule.dat.backup", a date of six
// digits) are one kind only and are not taken for leftovers.
bool IsRandomTemporaryOf(std::string_view entry, std::string_view name)
{
    constexpr std::size_t kRandomLength = 6;
    if (entry.size() != name.size() + 1 + kRandomLength || !entry.starts_with(name) ||
        entry[name.size()] != '.')
        return false;
    int kinds[3] = {0, 0, 0};
    for (char c : entry.substr(name.size() + 1)) {
        if (c >= '0' && c <= '9')
            kinds[0] = 1;
        else if (c >= 'a' && c <= 'z')
            kinds[1] = 1;
        else if (c >= 'A' && c <= 'Z')
            kinds[2] = 1;
        else
            return false;
    }
    return kinds[0] + kinds[1] + kinds[2] >= 2;
}

} // namespace

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool FollowLinks(const std::string& path, std::string& target, std::string& error)
{
    // The same bound as the system's own for a chain of links.
    constexpr int kMaxLinks = 40;
    target = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st
        {};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
        ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n < 0) {
            error = Describe("Cannot read the link", target, errno);
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        target = link.starts_with('/') ? link : FolderOf(target) + "/" + link;
    }
    error = Describe("Cannot follow the link", path, ELOOP);
    return false;
}

std::string SaveTemporaryOf(const std::string& target)
{
    return target + ".tmp";
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                         std::string& error)
{
    std::string target;
    if (!FollowLinks(path, target, error))
        return false;
    struct stat st
    {};
    if (lstat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            error = "Cannot replace \"" + path + "\": it is not a regular file";
            return false;
        }
        if (IsReadOnly(target, st)) {
            error = "Cannot replace \"" + path + "\": the file is read-only";
            return false;
        }
    } else if (errno != ENOENT) {
        error = Describe("Cannot examine", path, errno);
        return false;
    }

    // One fixed temporary name: a save killed part-way leaves at most this
    // file, which the next save (or the next start) clears away.
    const std::string temp = SaveTemporaryOf(target);
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
        error = Describe("Cannot remove the old temporary file", temp, errno);
        return false;
    }
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        error = Describe("Cannot create a temporary file beside", path, errno);
        return false;
    }
    auto fail = [&](const char* what) {
        int err = errno;
        close(fd);
        unlink(temp.c_str());
        error = Describe(what, temp, err);
        return false;
    };
    if (fchmod(fd, mode) != 0)
        return fail("Cannot set the permissions of");
    if (!WriteAll(fd, contents))
        return fail("Cannot write");
    if (fsync(fd) != 0)
        return fail("Cannot flush");
    if (close(fd) != 0) {
        int err = errno;
        unlink(temp.c_str());
        error = Describe("Cannot close", temp, err);
        return false;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        error = Describe("Cannot replace", path, err);
        return false;
    }
    // Make the rename itself durable; a failure here cannot undo the save.
    int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

void RemoveSaveLeftovers(const std::string& path)
{
    std::string target;
    std::string error;
    if (!FollowLinks(path, target, error))
        return;
    const std::string folder = FolderOf(target);
    const std::string name = target.substr(target.rfind('/') + 1);
    const std::string fixed = SaveTemporaryOf(name);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view entryName = entry->d_name;
        if (entryName == fixed || IsRandomTemporaryOf(entryName, name))
            leftovers.emplace_back(entryName);
    }
    closedir(dir);
    for (const std::string& leftover : leftovers) {
        const std::string full = folder + "/" + leftover;
        struct stat st
        {};
        if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
            unlink(full.c_str());
    }
}

int AppendToFile(const std::string& path, std::string_view contents)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    if (fd < 0)
        return errno;
    int err = WriteAll(fd, contents) ? 0 : errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    return err;
}

bool ReadWholeFile(const std::string& path, std::string& contents, bool& missing,
                   std::string& error)
{
    contents.clear();
    missing = false;
    // Opened without blocking, so that a FIFO in the file's place cannot
    // stall the reader; only a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error = Describe("Cannot open", path, errno);
        return false;
    }
    struct stat st
    {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "Cannot read \"" + path + "\": it is not a regular file";
        close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = Describe("Cannot read", path, errno);
            close(fd);
            return false;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

} // namespace veltrane
