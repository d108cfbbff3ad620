#include "platform/single_instance.h"

#include "platform/program_folder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace veltrane {

SingleInstanceLock::SingleInstanceLock(const std::string& programFolder)
{
    const std::string path = JoinPath(programFolder, ".veltrane.lock");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = "Cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error_ = errno == EWOULDBLOCK ? "Veltrane is already running from " + programFolder + "."
                                      : "Cannot lock " + path + ": " + std::strerror(errno);
        close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstanceLock::~SingleInstanceLock()
{
    if (fd_ >= 0)
        close(fd_);
}

} // namespace veltrane
