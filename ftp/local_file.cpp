// The local side of a transfer: the file an upload reads (opened before any
// server is contacted), and a download's replacement file, renamed over the
// old one only once it is whole and on disk.

#include "local_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hoistline {
namespace {

std::string Describe(const char* what, const std::string& path, int err)
{
    return std::string(what) + " " + path + ": " + std::strerror(err);
}

} // namespace

UniqueFd::~UniqueFd()
{
    Close();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::Close()
{
    if (fd_ < 0)
        return true;
    // Linux releases the descriptor even when close() reports EINTR, so it
    // is never retried.
    bool ok = ::close(fd_) == 0 || errno == EINTR;
    fd_ = -1;
    return ok;
}

Outcome OpenSource(const std::string& path, UniqueFd& fd, std::int64_t& size)
{
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid())
        return Failure(Describe("cannot open", path, errno));
    struct stat st
    {};
    if (::fstat(file.get(), &st) != 0)
        return Failure(Describe("cannot inspect", path, errno));
    if (!S_ISREG(st.st_mode))
        return Failure(path + " is not a regular file");
    // The kernel may read further ahead: the file is read once, front to back.
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    size = st.st_size;
    fd = std::move(file);
    return Success();
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ReplacementFile::~ReplacementFile()
{
    Discard();
}

Outcome ReplacementFile::Create(const std::string& target)
{
    // Several downloads may run at once, in this process and others: the
    // process id and a counter keep the names apart, O_EXCL settles the rest.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = target + ".part-" + std::to_string(::getpid()) + "-" +
                                std::to_string(counter.fetch_add(1));
        // 0666 less the umask: the same permissions any new file would get.
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            target_ = target;
            tempPath_ = std::move(candidate);
            fd_ = UniqueFd(fd);
            return Success();
        }
        if (errno != EEXIST)
            return Failure(Describe("cannot create a file beside", target, errno));
    }
    return Failure("no free temporary name beside " + target);
}

Outcome ReplacementFile::Commit()
{
    if (!fd_.valid())
        return Failure("nothing to commit for " + target_);
    // The old file is only given up once the new one is safely on disk.
    std::string error;
    if (::fsync(fd_.get()) != 0)
        error = Describe("cannot flush", tempPath_, errno);
    else if (!fd_.Close())
        error = Describe("cannot close", tempPath_, errno);
    else if (::rename(tempPath_.c_str(), target_.c_str()) != 0)
        error = Describe("cannot replace", target_, errno);
    if (!error.empty()) {
        Discard();
        return Failure(std::move(error));
    }
    tempPath_.clear();
    return Success();
}

void ReplacementFile::Discard()
{
    fd_.Close();
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

} // namespace hoistline
