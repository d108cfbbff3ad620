#pragma once

// Whole-file reads, appends and safe replacement, on POSIX file calls.

#include <string>
#include <string_view>
#include <sys/types.h>

namespace veltrane {

// Replaces the file at `path` with `contents` without ever losing the old one:
// the bytes go to a temporary file in the same folder, are flushed to disk,
// and only then is the temporary renamed over `path`. The new file gets
// `mode` (before any byte is written, so a secret is never readable by
// others). On failure the old file is untouched, the temporary is removed,
// and `error` says what failed and why.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view contents,
                                       mode_t mode, std::string& error);

// Appends `contents` to the file at `path`, creating it (mode 0644 less the
// umask) when missing. Returns 0, or the errno of the call that failed.
[[nodiscard]] int AppendToFile(const std::string& path, std::string_view contents);

// Reads a whole file. Returns false (and says why in `error`) when the file
// cannot be opened or read; `missing` is set when it simply does not exist.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& contents, bool& missing,
                                 std::string& error);

} // namespace veltrane
