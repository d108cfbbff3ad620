#pragma once

// The texts by which the export utility says it ended well, in its Korean and
// English versions, compared exactly. They judge a run's output, and later
// tell the run's log apart from the log of a run that failed.

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane {

inline constexpr std::string_view kExportSuccessTexts[] = {
    " 정상적으로 종료", "Export terminated successfully", "성공적으로 끝났습"};

// Whether `output` (UTF-8) holds one of kExportSuccessTexts.
bool HoldsExportSuccess(std::string_view output);

// Whether the log file at `path` (code page 949, as the run writes it) holds
// one of kExportSuccessTexts within its last kLogVerdictBytes: the utility's
// closing text is its last line. False for a log that cannot be read.
inline constexpr std::size_t kLogVerdictBytes = 1 << 20;
bool LogHoldsExportSuccess(const std::string& path);

} // namespace veltrane
