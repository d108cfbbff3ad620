#include "platform/file_io.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
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

// What a thing that is not a regular file is, for the line that refuses it.
const char* KindOf(mode_t mode)
{
    return S_ISLNK(mode)                    ? "it is a symbolic link"
           : S_ISFIFO(mode)                 ? "it is not a regular file but a FIFO"
           : S_ISDIR(mode)                  ? "it is not a regular file but a folder"
           : S_ISSOCK(mode)                 ? "it is not a regular file but a socket"
           : S_ISCHR(mode) || S_ISBLK(mode) ? "it is not a regular file but a device"
                                            : "it is not a regular file";
}

Error NotRegular(const std::string& what, const std::string& path, mode_t mode)
{
    std::string text = what;
    text.append(" \"").append(path).append("\": ").append(KindOf(mode));
    return {std::move(text), kComponent, S_ISLNK(mode) ? ELOOP : EINVAL};
}

// A descriptor closed when it goes.
class OwnedFd
{
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&&) = delete;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
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

// A file's folder, held open, and the file's name in it: every later call
// works relative to the descriptor, so the folder cannot be swapped between
// a check and the use.
struct Place
{
    OwnedFd dir;
    std::string name;
};

Result<Place> PlaceOf(const std::string& path)
{
    const std::string folder = FolderOf(path);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return Describe("Cannot open the folder of", path, errno);
    return Place{OwnedFd(dir), path.substr(path.rfind('/') + 1)};
}

// Like PlaceOf, after the links the running account made.
Result<Place> FollowedPlaceOf(const std::string& path)
{
    const Result<std::string> followed = FollowOwnLinks(path);
    if (!followed)
        return followed.error();
    return PlaceOf(*followed);
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

namespace {

Result<std::string> Follow(const std::string& path, bool ownOnly)
{
    // The same bound as the system's own for a chain of links.
    constexpr int kMaxLinks = 40;
    std::string target = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st
        {};
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return target;
        if (ownOnly && st.st_uid != geteuid()) {
            std::string text = "Refused \"";
            text.append(target).append("\": it is a symbolic link that another account made");
            return Error{std::move(text), kComponent, ELOOP};
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
        ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n < 0)
            return Describe("Cannot read the link", target, errno);
        link.resize(static_cast<std::size_t>(n));
        target = link.starts_with('/') ? link : FolderOf(target) + "/" + link;
    }
    return Describe("Cannot follow the link", path, ELOOP);
}

} // namespace

Result<std::string> FollowLinks(const std::string& path)
{
    return Follow(path, false);
}

Result<std::string> FollowOwnLinks(const std::string& path)
{
    return Follow(path, true);
}

Result<int> OpenRegularFile(const std::string& path, int flags, mode_t mode)
{
    Result<Place> place = PlaceOf(path);
    if (!place)
        return place.error();
    // Without blocking, so that a FIFO in the file's place cannot stall the
    // caller (a write-only open of one without a reader fails with ENXIO).
    const int fd = openat(place->dir.get(), place->name.c_str(),
                          flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) {
        const int err = errno;
        struct stat st
        {};
        if ((err == ELOOP || err == ENXIO) &&
            fstatat(place->dir.get(), place->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return NotRegular("Refused", path, st.st_mode);
        return Describe("Cannot open", path, err);
    }
    struct stat st
    {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return NotRegular("Refused", path, st.st_mode);
    }
    if ((flags & O_NONBLOCK) == 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

Status RemoveRegularFile(const std::string& path)
{
    Result<Place> place = PlaceOf(path);
    if (!place)
        return place.error();
    struct stat st
    {};
    if (fstatat(place->dir.get(), place->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Describe("Cannot delete", path, errno);
    if (!S_ISREG(st.st_mode))
        return NotRegular("Not deleted", path, st.st_mode);
    if (unlinkat(place->dir.get(), place->name.c_str(), 0) != 0)
        return Describe("Cannot delete", path, errno);
    return {};
}

std::string SaveTemporaryOf(const std::string& target)
{
    return target + ".tmp";
}

Status WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                           bool flushToDisk)
{
    Result<Place> place = FollowedPlaceOf(path);
    if (!place)
        return place.error();
    const int dir = place->dir.get();
    const std::string& name = place->name;
    struct stat st
    {};
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode))
            return Refused(path, KindOf(st.st_mode), S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
        // The permission bits decide for the superuser too, who could write
        // the file anyway: a file made read-only is one to keep as it is.
        if (geteuid() == 0 ? (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0
                           : faccessat(dir, name.c_str(), W_OK, AT_EACCESS) != 0 &&
                                 (errno == EACCES || errno == EROFS))
            return Refused(path, "the file is read-only", EACCES);
    } else if (errno != ENOENT) {
        return Describe("Cannot examine", path, errno);
    }

    // One fixed temporary name: a save killed part-way leaves at most this
    // file, which the next save (or the next start) clears away. Whatever
    // stands in its place (a link another account planted included) goes,
    // and the new one is made exclusively, never through a link.
    const std::string temp = SaveTemporaryOf(name);
    const std::string shownTemp = SaveTemporaryOf(path);
    if (unlinkat(dir, temp.c_str(), 0) != 0 && errno != ENOENT)
        return Describe("Cannot remove the old temporary file", shownTemp, errno);
    int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return Describe("Cannot create a temporary file beside", path, errno);
    auto fail = [&](const char* what) {
        int err = errno;
        close(fd);
        unlinkat(dir, temp.c_str(), 0);
        return Status(Describe(what, shownTemp, err));
    };
    if (fchmod(fd, mode) != 0)
        return fail("Cannot set the permissions of");
    if (!WriteAll(fd, contents))
        return fail("Cannot write");
    if (flushToDisk && fsync(fd) != 0)
        return fail("Cannot flush");
    if (close(fd) != 0) {
        int err = errno;
        unlinkat(dir, temp.c_str(), 0);
        return Describe("Cannot close", shownTemp, err);
    }
    if (renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        int err = errno;
        unlinkat(dir, temp.c_str(), 0);
        return Describe("Cannot replace", path, err);
    }
    // Make the rename itself durable; a failure here cannot undo the save.
    if (flushToDisk)
        fsync(dir);
    return {};
}

void RemoveSaveLeftovers(const std::string& path)
{
    Result<Place> place = FollowedPlaceOf(path);
    if (!place)
        return;
    const std::string& name = place->name;
    const std::string fixed = SaveTemporaryOf(name);
    const int listed = dup(place->dir.get());
    DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
    if (dir == nullptr) {
        if (listed >= 0)
            close(listed);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view entryName = entry->d_name;
        if (entryName == fixed || IsRandomTemporaryOf(entryName, name))
            leftovers.emplace_back(entryName);
    }
    closedir(dir);
    for (const std::string& leftover : leftovers) {
        struct stat st
        {};
        if (fstatat(place->dir.get(), leftover.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == geteuid())
            unlinkat(place->dir.get(), leftover.c_str(), 0);
    }
}

Status AppendToFile(const std::string& path, std::string_view contents)
{
    const Result<int> opened = OpenRegularFile(path, O_WRONLY | O_CREAT | O_APPEND, 0660);
    if (!opened)
        return opened.error();
    const int fd = *opened;
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
    const Result<std::string> followed = FollowOwnLinks(path);
    if (!followed)
        return followed.error();
    const Result<int> opened = OpenRegularFile(*followed, O_RDONLY);
    if (!opened)
        return opened.error();
    const int fd = *opened;
    struct stat st
    {};
    if (fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes) {
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
