#pragma once

// The history of result lines: every line the result list shows is also
// appended to "Veltrane.log" in the program folder, so that what happened
// overnight survives a restart of the program. The file is text in code page
// 949 with CR LF line ends, like the program's other logs. When it would grow
// past kHistoryLimitBytes it is renamed "Veltrane.log.1" (replacing the one
// before) and a new file starts, so the history never fills the disk.

#include "platform/result.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace veltrane {

inline constexpr const char* kHistoryFileName = "Veltrane.log";
inline constexpr std::uintmax_t kHistoryLimitBytes = 10 * 1024 * 1024;

class ResultHistory
{
public:
    // `path` is the history file; `limitBytes` the size that starts a new one.
    explicit ResultHistory(std::string path, std::uintmax_t limitBytes = kHistoryLimitBytes);

    // Appends one line (UTF-8, without its line end); an Error says why the
    // line could not be kept. Safe to call from several threads.
    Status Append(const std::string& line);

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::uintmax_t limitBytes_;
    std::mutex mutex_;
};

} // namespace veltrane
