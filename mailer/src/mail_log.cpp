#include "mail_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendwick {

std::string FormatLogStamp(const ZonedTime& time)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "[%04d/%02d/%02d %02d:%02d:%02d] ", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return buffer;
}

std::string EscapeControls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            out.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 15]);
        else
            out += c;
    }
    return out;
}

Outcome AppendLog(const std::string& path, std::string_view text, const ZonedTime& time,
                  EntryEnd end, std::uintmax_t limitBytes)
{
    if (path.empty())
        return Outcome::Success();
    std::string entry = FormatLogStamp(time);
    entry.append(EscapeControls(text));
    if (end == EntryEnd::Line)
        entry.append("\r\n");
    Outcome outcome = Outcome::Success();
    // A log that cannot be renamed keeps growing rather than losing entries.
    struct stat st
    {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uintmax_t>(st.st_size) + entry.size() > limitBytes) {
        const std::string older = path + ".1";
        if (std::rename(path.c_str(), older.c_str()) != 0)
            outcome = Outcome::Failure(Outcome::Code::Log, path + " cannot be renamed to " + older +
                                                               ": " + std::strerror(errno));
    }
    auto unwritable = [&path](int error) {
        return Outcome::Failure(Outcome::Code::Log,
                                path + " cannot be written: " + std::strerror(error));
    };
    // O_APPEND keeps entries whole and in order even if another process
    // appends to the same log. The log's folder may be writable by others:
    // a link in its place is never written through, and a FIFO never holds
    // the session up (without a reader the open fails with ENXIO).
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                  0666);
    const auto refused = [&path](const char* why) {
        return Outcome::Failure(Outcome::Code::Log, path + " is " + why + " and is not written");
    };
    if (fd < 0)
        return errno == ELOOP   ? refused("a symbolic link")
               : errno == ENXIO ? refused("not a regular file")
                                : unwritable(errno);
    // A device stays possible (only root makes one): /dev/null turns the log off.
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
        close(fd);
        return refused("not a regular file");
    }
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
    return error == 0 ? outcome : unwritable(error);
}

} // namespace sendwick
