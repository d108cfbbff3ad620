#pragma once

// The stream the runner benchmarks read: export-like lines, ". . exporting
// table EMP 14 rows exported", alone (English) or followed by its Korean form
// in code page 949 bytes, written in 64 KiB pieces.

#include <algorithm>
#include <string>
#include <unistd.h>

namespace veltrane::bench {

// Writes `bytes` bytes of export lines to `fd`; false when a write fails.
inline bool WriteExportLines(int fd, long long bytes, bool korean)
{
    const std::string english =
        ". . exporting table                            EMP         14 rows exported\n";
    const std::string lines =
        korean
            ? english +
                  ". . \xC5\xD7\xC0\xCC\xBA\xED                            EMP(\xC0\xB8)\xB7\xCE "
                  "\xBF\xA2\xBD\xBA\xC6\xF7\xC6\xAE \xC1\xDF         14 \xC7\xE0\xC0\xCC "
                  "\xBF\xA2\xBD\xBA\xC6\xF7\xC6\xAE\xB5\xCA\n"
            : english;
    std::string block;
    while (block.size() < 65536)
        block += lines;
    while (bytes > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<long long>(bytes, 65536));
        for (std::size_t done = 0; done < n;) {
            const ssize_t w = write(fd, block.data() + done, n - done);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
        }
        bytes -= static_cast<long long>(n);
    }
    return true;
}

} // namespace veltrane::bench
