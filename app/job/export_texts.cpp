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

namespace {

// Calls `line` for each line of `text` with its blanks around it taken off.
template <typename Visit> void ForEachLine(std::string_view text, Visit line)
{
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        std::string_view piece = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::size_t first = piece.find_first_not_of(" \t");
        if (first == std::string_view::npos)
            continue;
        piece = piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
        line(piece);
    }
}

} // namespace

std::string CutToCharacters(std::string_view text, std::size_t characters)
{
    std::size_t at = 0;
    for (std::size_t count = 0; at < text.size(); ++at) {
        // A character starts at every byte that is no continuation byte.
        if ((static_cast<unsigned char>(text[at]) & 0xC0u) != 0x80u && count++ == characters)
            return std::string(text.substr(0, at)) + "…";
    }
    return std::string(text);
}

std::string FailureCause(std::string_view output, std::string_view prefix)
{
    std::string_view database;
    std::string_view utility;
    std::string_view last;
    std::string summary(prefix);
    summary += "00000";
    ForEachLine(output, [&](std::string_view line) {
        if (line.starts_with("ORA-"))
            database = line;
        else if (!prefix.empty() && line.starts_with(prefix) && !line.starts_with(summary))
            utility = line;
        last = line;
    });
    const std::string_view cause = !database.empty() ? database : !utility.empty() ? utility : last;
    return cause.empty() ? std::string("출력 없음") : CutToCharacters(cause, kCauseCharacters);
}

std::string FirstWarning(std::string_view output)
{
    std::string_view warning;
    ForEachLine(output, [&](std::string_view line) {
        if (warning.empty() && (line.starts_with("EXP-") || line.starts_with("ORA-")))
            warning = line;
    });
    return CutToCharacters(warning, kCauseCharacters);
}

} // namespace veltrane
