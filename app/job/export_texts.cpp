#include "job/export_texts.h"

#include "platform/codepage.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

// The output of an export runs to megabytes, and the texts begin with bytes
// that are everywhere in it (a blank, the lead byte of Hangul): the C
// library's substring search skips ahead by pairs of bytes, many times faster
// than a search that stops at every blank.
bool HoldsAny(std::string_view bytes, const std::string_view* texts, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (memmem(bytes.data(), bytes.size(), texts[i].data(), texts[i].size()) != nullptr)
            return true;
    return false;
}

} // namespace

bool HoldsExportSuccess(std::string_view output)
{
    return HoldsAny(output, kExportSuccessTexts, std::size(kExportSuccessTexts));
}

bool LogHoldsExportSuccess(const std::string& path)
{
    static const std::array<std::string, std::size(kExportSuccessTexts)> inCodePage = [] {
        std::array<std::string, std::size(kExportSuccessTexts)> texts;
        for (std::size_t i = 0; i < texts.size(); ++i)
            texts[i] = cp949::FromUtf8(kExportSuccessTexts[i]);
        return texts;
    }();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st
    {};
    std::string tail;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t size = st.st_size;
        const off_t from = size > static_cast<off_t>(kLogVerdictBytes)
                               ? size - static_cast<off_t>(kLogVerdictBytes)
                               : 0;
        tail.resize(static_cast<std::size_t>(size - from));
        const ssize_t got = pread(fd, tail.data(), tail.size(), from);
        tail.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(fd);
    const std::string_view views[] = {inCodePage[0], inCodePage[1], inCodePage[2]};
    return HoldsAny(tail, views, std::size(views));
}

} // namespace veltrane
