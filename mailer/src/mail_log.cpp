#include "mail_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sendwick {

std::string FormatLogStamp(const ZonedTime& time)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "[%04d/%02d/%02d %02d:%02d:%02d] ", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return buffer;
}

Outcome AppendLog(const std::string& path, std::string_view text, const ZonedTime& time)
{
    if (path.empty())
        return Outcome::Success();
    std::string entry = FormatLogStamp(time);
    entry.append(text);
    auto unwritable = [&path](int error) {
        return Outcome::Failure(Outcome::Code::Log,
                                path + " cannot be written: " + std::strerror(error));
    };
    // O_APPEND keeps entries whole and in order even if another process
    // appends to the same log.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return unwritable(errno);
    int error = 0;
    std::size_t done = 0;
    while (done < entry.size()) {
        ssize_t n = write(fd, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // A file system may report a failed write only when the file is closed.
    if (close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error == 0 ? Outcome::Success() : unwritable(error);
}

} // namespace sendwick
