#include "platform/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

bool WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                         std::string& error)
{
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
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
    if (rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        error = Describe("Cannot replace", path, err);
        return false;
    }
    // Make the rename itself durable; a failure here cannot undo the save.
    int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

int AppendToFile(const std::string& path, std::string_view contents)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error = Describe("Cannot open", path, errno);
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
