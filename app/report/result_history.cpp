#include "report/result_history.h"

#include "platform/codepage.h"
#include "platform/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace veltrane {

ResultHistory::ResultHistory(std::string path, std::uintmax_t limitBytes)
    : path_(std::move(path)), limitBytes_(limitBytes)
{}

Status ResultHistory::Append(const std::string& line)
{
    const std::string bytes = cp949::FromUtf8(line) + "\r\n";
    const std::lock_guard<std::mutex> lock(mutex_);
    struct stat st
    {};
    if (lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uintmax_t>(st.st_size) + bytes.size() > limitBytes_) {
        const std::string older = path_ + ".1";
        if (std::rename(path_.c_str(), older.c_str()) != 0)
            return SystemError("Cannot rename " + path_ + " to " + older, "ResultHistory", errno);
    }
    return AppendToFile(path_, bytes);
}

} // namespace veltrane
