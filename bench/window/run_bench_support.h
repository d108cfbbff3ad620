#pragma once

// What the window's run benchmarks share: the program stands in for the export
// utility itself, a tray that shows nothing, a scratch folder and medians.
//
// As the export utility, the program is started by the backup run with the
// command line the run builds from the item ("SCOTT/tiger@ORCL File=<dump>")
// followed by the item's execution option, which the benchmarks set to
//   --stand-in-export <bytes> <english|korean> <silent seconds> <dump MiB>
// It writes a dump of that size, prints nothing for that long, then prints
// that many bytes of export-like lines in 64 KiB writes (ASCII lines, or ASCII
// and code page 949 Korean lines alternating) and the closing text of a
// successful export.

#include "export_lines.h"
#include "support/quiet_tray.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace veltrane::bench {

inline bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t w = write(fd, data, size);
        if (w <= 0)
            return false;
        data += w;
        size -= static_cast<std::size_t>(w);
    }
    return true;
}

// The stand-in export utility when the arguments ask for it: sets `exitCode`
// and returns true.
inline bool StandInExport(int argc, char** argv, int& exitCode)
{
    int at = 1;
    while (at < argc && std::strcmp(argv[at], "--stand-in-export") != 0)
        ++at;
    if (at + 4 >= argc)
        return false;
    const long long bytes = std::atoll(argv[at + 1]);
    const bool korean = std::strcmp(argv[at + 2], "korean") == 0;
    const double silence = std::atof(argv[at + 3]);
    const long long dumpMiB = std::atoll(argv[at + 4]);
    exitCode = 1;

    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "File=", 5) != 0)
            continue;
        const int fd = open(argv[i] + 5, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return true;
        std::vector<char> block(1 << 20);
        for (std::size_t j = 0; j < block.size(); ++j)
            block[j] = static_cast<char>(j * 131 + j / 4096);
        bool ok = WriteAll(fd, "DUMP", 4);
        for (long long m = 0; ok && m < dumpMiB; ++m)
            ok = WriteAll(fd, block.data(), block.size());
        close(fd);
        if (!ok)
            return true;
    }
    if (silence > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(silence));

    if (!WriteExportLines(1, bytes, korean))
        return true;
    const char closing[] = "\nExport terminated successfully without warnings.\n";
    exitCode = WriteAll(1, closing, sizeof closing - 1) ? 0 : 1;
    return true;
}

// The stand-in's arguments, for an item's execution option.
inline std::string StandInOption(long long bytes, const std::string& content, double silence,
                                 long long dumpMiB)
{
    return "--stand-in-export " + std::to_string(bytes) + " " + content + " " +
           std::to_string(silence) + " " + std::to_string(dumpMiB);
}

inline std::string SelfPath()
{
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return {};
    return std::string(self, static_cast<std::size_t>(len));
}

// A fresh folder in `base`, removed with everything in it at the end.
class ScratchFolder
{
public:
    explicit ScratchFolder(const std::string& base)
    {
        std::string pattern = base + "/veltrane-window-bench-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~ScratchFolder()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A desktop that shows nothing: no tray icon, no hidden window.
using NoTray = test::QuietTray;

// The window benchmarks draw offscreen unless told otherwise.
inline void UseOffscreenUnlessSet()
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

inline double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double LoadAverage()
{
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

} // namespace veltrane::bench
