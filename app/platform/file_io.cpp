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

constexpr const char* kComponent = "file";

Error Describe(const std::string& what, const std::string& path, int err)
{
    std::string text = what;
    text.append(" \"").append(path).append("\": ").append(std::strerror(err));
    return {std::move(text), kComponent, err};
}

Error Refused(const std::string& path, const char* why, int code)
{
    std::string text = "Cannot replace \"";
    text.append(path).append("\": ").append(why);
    return {std::move(text), kComponent, code};
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

Result<std::string> FollowLinks(const std::string& path)
{
    // The same bound as the system's own for a chain of links.
    constexpr int kMaxLinks = 40;
    std::string target = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st
        {};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return target;
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
        ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n < 0)
            return Describe("Cannot read the link", target, errno);
        link.resize(static_cast<std::size_t>(n));
        target = link.starts_with('/') ? link : FolderOf(target) + "/" + link;
    }
    return Describe("Cannot follow the link", path, ELOOP);
}

std::string SaveTemporaryOf(const std::string& target)
{
    return target + ".tmp";
}

Status WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode)
{
    const Result<std::string> followed = FollowLinks(path);
    if (!followed)
        return followed.error();
    const std::string& target = *followed;
    struct stat st
    {};
    if (lstat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return Refused(path, "it is not a regular file", EINVAL);
        if (IsReadOnly(target, st))
            return Refused(path, "the file is read-only", EACCES);
    } else if (errno != ENOENT) {
        return Describe("Cannot examine", path, errno);
    }

    // One fixed temporary name: a save killed part-way leaves at most this
    // file, which the next save (or the next start) clears away.
    const std::string temp = SaveTemporaryOf(target);
    if (unlink(temp.c_str()) != 0 && errno != ENOENT)
        return Describe("Cannot remove the old temporary file", temp, errno);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return Describe("Cannot create a temporary file beside", path, errno);
    auto fail = [&](const char* what) {
        int err = errno;
        close(fd);
        unlink(temp.c_str());
        return Status(Describe(what, temp, err));
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
        return Describe("Cannot close", temp, err);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        return Describe("Cannot replace", path, err);
    }
    // Make the rename itself durable; a failure here cannot undo the save.
    int dir = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return {};
}

void RemoveSaveLeftovers(const std::string& path)
{
    const Result<std::string> followed = FollowLinks(path);
    if (!followed)
        return;
    const std::string& target = *followed;
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

Status AppendToFile(const std::string& path, std::string_view contents)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    if (fd < 0)
        return Describe("Cannot open", path, errno);
    int err = WriteAll(fd, contents) ? 0 : errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0)
        return Describe("Cannot write", path, err);
    return {};
}

namespace {

Error TooLarge(const std::string& path, std::uint64_t size, std::uint64_t maxBytes)
{
    const auto mib = [](std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; };
    std::string text = "Cannot read \"";
    text.append(path)
        .append("\": it is larger than ")
        .append(mib(maxBytes))
        .append(" (")
        .append(size > 0 ? std::to_string(size) + " bytes" : "it grew while read")
        .append(")");
    return Error{std::move(text), kComponent, EFBIG};
}

} // namespace

Result<std::string> ReadWholeFile(const std::string& path, std::uint64_t maxBytes)
{
    // Opened without blocking, so that a FIFO in the file's place cannot
    // stall the reader; only a regular file is read.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Describe("Cannot open", path, errno);
    struct stat st
    {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        std::string text = "Cannot read \"";
        text.append(path).append("\": it is not a regular file");
        return Error{std::move(text), kComponent, EINVAL};
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        return TooLarge(path, static_cast<std::uint64_t>(st.st_size), maxBytes);
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            close(fd);
            return Describe("Cannot read", path, err);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
        if (contents.size() > maxBytes) {
            close(fd);
            return TooLarge(path, 0, maxBytes);
        }
    }
    close(fd);
    return contents;
}

} // namespace veltrane
