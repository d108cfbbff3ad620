#include "platform/disk_space.h"

#include <sys/statvfs.h>

namespace veltrane {

std::optional<std::uint64_t> FreeBytesAt(const std::string& folder)
{
    struct statvfs fs
    {};
    if (folder.empty() || statvfs(folder.c_str(), &fs) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

} // namespace veltrane
