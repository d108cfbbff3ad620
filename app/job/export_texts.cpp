#include "job/export_texts.h"

#include "platform/codepage.h"
#include "platform/file_io.h"
#include "platform/terminal_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <limits>
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

namespace {

// The last kLogVerdictBytes of a log, as written (code page 949); empty when
// it cannot be read.
std::string LogTail(const std::string& path)
{
    const Result<int> opened = OpenRegularFile(path, O_RDONLY);
    if (!opened)
        return {};
    const int fd = *opened;
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
    return tail;
}

} // namespace

bool LogHoldsExportSuccess(const std::string& path)
{
    constexpr std::size_t kTexts = std::size(kExportSuccessTexts) +
                                   std::size(kDataPumpSuccessTexts) + 1; // and kLogAcceptedMark
    static const std::array<std::string, kTexts> inCodePage = [] {
        std::array<std::string, kTexts> texts;
        std::size_t i = 0;
        for (const std::string_view text : kExportSuccessTexts)
            texts[i++] = cp949::FromUtf8(text);
        for (const std::string_view text : kDataPumpSuccessTexts)
            texts[i++] = cp949::FromUtf8(text);
        texts[i] = cp949::FromUtf8(kLogAcceptedMark);
        return texts;
    }();
    static const std::array<std::string_view, kTexts> views = [] {
        std::array<std::string_view, kTexts> texts;
        for (std::size_t i = 0; i < kTexts; ++i)
            texts[i] = inCodePage[i];
        return texts;
    }();
    static const std::string failedMark = cp949::FromUtf8(kLogFailedMark);
    const std::string tail = LogTail(path);
    if (!HoldsAny(tail, views.data(), views.size()))
        return false;
    // The run's own verdict of failure comes after the utility's last word.
    const std::size_t mark = tail.rfind(failedMark);
    if (mark == std::string::npos)
        return true;
    const std::string_view after = std::string_view(tail).substr(mark);
    return HoldsAny(after, views.data(), views.size());
}

namespace {

bool AppendMarkedLine(const std::string& path, std::string_view mark, const std::string& text)
{
    const Result<int> opened = OpenRegularFile(path, O_WRONLY | O_APPEND);
    if (!opened)
        return false;
    const int fd = *opened;
    const std::string line = cp949::FromUtf8("\r\n" + std::string(mark) + text + "\r\n");
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return close(fd) == 0 && written;
}

} // namespace

bool MarkLogFailed(const std::string& path, const std::string& cause)
{
    return AppendMarkedLine(path, kLogFailedMark, cause);
}

bool MarkLogAccepted(const std::string& path, const std::string& warning)
{
    return AppendMarkedLine(path, kLogAcceptedMark, warning);
}

std::string WarningOfLog(const std::string& path)
{
    return FirstWarning(cp949::ToUtf8(LogTail(path)));
}

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

namespace {

// A line longer than this is judged by its start: no cause or warning is
// longer than kCauseCharacters, and an endless line must not fill memory.
constexpr std::size_t kLongestLine = 4 * kCauseCharacters + 16;

std::string_view TrimBlanks(std::string_view line)
{
    std::size_t first = 0;
    while (first < line.size() && (line[first] == ' ' || line[first] == '\t'))
        ++first;
    std::size_t last = line.size();
    while (last > first && (line[last - 1] == ' ' || line[last - 1] == '\t'))
        --last;
    return line.substr(first, last - first);
}

// The slot of the skip table for two bytes in a row.
std::size_t PairSlot(unsigned char first, unsigned char second)
{
    return (static_cast<std::size_t>(first) << 8) | second;
}

} // namespace

OutputWatch::OutputWatch(std::string prefix, std::vector<std::string> successTexts)
    : prefix_(std::move(prefix)), successTexts_(std::move(successTexts))
{
    std::size_t shortest = std::numeric_limits<std::size_t>::max();
    for (const std::string& text : successTexts_) {
        longestText_ = std::max(longestText_, text.size());
        shortest = std::min(shortest, text.size());
    }
    if (successTexts_.empty() || shortest < 2)
        return; // searched for one by one
    // How far the end of a window of the shortest text's length may move on
    // when its last two bytes are these: to where they would end the first
    // such pair in some text's start, or a whole window past them.
    window_ = std::min<std::size_t>(shortest, 255);
    skip_.assign(0x10000, static_cast<std::uint8_t>(window_ - 1));
    for (const std::string& text : successTexts_)
        for (std::size_t j = 0; j + 1 < window_; ++j) {
            std::uint8_t& slot = skip_[PairSlot(static_cast<unsigned char>(text[j]),
                                                static_cast<unsigned char>(text[j + 1]))];
            slot = std::min(slot, static_cast<std::uint8_t>(window_ - 2 - j));
        }
}

void OutputWatch::Feed(std::string_view chunk)
{
    if (!succeeded_ && !chunk.empty()) {
        // A text of success may be cut in two by a chunk: the end of the
        // output before it is searched with the chunk's start.
        if (!overlap_.empty()) {
            std::string seam = overlap_;
            seam.append(chunk.substr(0, longestText_));
            succeeded_ = HoldsAnyOf(seam);
        }
        succeeded_ = succeeded_ || HoldsAnyOf(chunk);
        if (chunk.size() >= longestText_) {
            overlap_.assign(chunk.substr(chunk.size() - longestText_));
        } else {
            overlap_.append(chunk);
            overlap_.erase(0, overlap_.size() - std::min(overlap_.size(), longestText_));
        }
    }
    if (chunk.empty())
        return;
    // Lines end at a CR or an LF. Each is searched for at the speed of the
    // C library, and only once for as many lines as come before the one it
    // finds (output whose lines end in LF alone has no CR to find at all).
    // A line whole within the chunk is judged where it lies.
    const char* at = chunk.data();
    const char* const end = at + chunk.size();
    const auto next = [end](const char* from, char byte) {
        const void* found = std::memchr(from, byte, static_cast<std::size_t>(end - from));
        return found != nullptr ? static_cast<const char*>(found) : end;
    };
    const char* lineFeed = next(at, '\n');
    const char* carriageReturn = next(at, '\r');
    std::string_view lastHere; // the last line of the chunk with more than blanks
    while (at < end) {
        if (lineFeed < at)
            lineFeed = next(at, '\n');
        if (carriageReturn < at)
            carriageReturn = next(at, '\r');
        const char* stop = std::min(lineFeed, carriageReturn);
        const std::string_view piece(at, static_cast<std::size_t>(stop - at));
        if (stop == end || !carry_.empty()) {
            if (carry_.size() < kLongestLine)
                carry_.append(piece.substr(0, kLongestLine - carry_.size()));
            if (stop == end)
                break;
            if (const std::string_view line = Line(carry_); !line.empty())
                last_.assign(line);
            carry_.clear();
        } else if (const std::string_view line = Line(piece.substr(0, kLongestLine));
                   !line.empty()) {
            lastHere = line;
        }
        at = stop + 1;
    }
    if (!lastHere.empty())
        last_.assign(lastHere);
}

bool OutputWatch::HoldsAnyOf(std::string_view bytes) const
{
    if (skip_.empty()) {
        for (const std::string& text : successTexts_)
            if (memmem(bytes.data(), bytes.size(), text.data(), text.size()) != nullptr)
                return true;
        return false;
    }
    // All the texts in one pass: a window moves over the bytes by what its
    // last two bytes allow (a pair found in none of the texts' starts moves
    // it a whole window on), and where none allow a move, the texts are
    // compared at its start.
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = window_ - 1; // the longest move
    for (std::size_t end = whole; end < bytes.size();) {
        std::uint8_t move = skip_[PairSlot(data[end - 1], data[end])];
        // A whole window on is the usual move: the look-up there is made
        // beside this one rather than after it.
        if (const std::size_t ahead = end + whole; move == whole && ahead < bytes.size()) {
            end = ahead;
            move = skip_[PairSlot(data[end - 1], data[end])];
        }
        if (move != 0) {
            end += move;
            continue;
        }
        const std::size_t start = end + 1 - window_;
        for (const std::string& text : successTexts_)
            if (bytes.size() - start >= text.size() &&
                std::memcmp(data + start, text.data(), text.size()) == 0)
                return true;
        ++end;
    }
    return false;
}

void OutputWatch::Finish()
{
    if (!carry_.empty())
        if (const std::string_view line = Line(carry_); !line.empty())
            last_.assign(line);
    carry_.clear();
}

std::string_view OutputWatch::Line(std::string_view line)
{
    line = TrimBlanks(line);
    if (line.empty())
        return line;
    // Every line judged for a cause, a warning or a refusal starts with the
    // first letter of a code ("ORA-", "UDE-", "LRM-", "EXP-", the prefix);
    // the bulk of an export's output ("  . . exporting table") skips them.
    const char first = line.front();
    if (first == 'O' || first == 'U' || first == 'L' || first == 'E' ||
        (!prefix_.empty() && first == prefix_.front())) {
        // Kept as they are (no longer than a judged line), cut when asked for.
        if (line.starts_with("ORA-"))
            database_.assign(line);
        else if (!prefix_.empty() && line.starts_with(prefix_) &&
                 !line.substr(prefix_.size()).starts_with("00000"))
            utility_.assign(line);
        for (const std::string_view code : kLoginRefusedCodes)
            loginRefused_ = loginRefused_ || line.starts_with(code);
        if (warning_.empty() && (line.starts_with("EXP-") || line.starts_with("ORA-")))
            warning_.assign(line);
        if (firstDatabase_.empty() && line.starts_with("ORA-"))
            firstDatabase_.assign(line);
        if (line.starts_with("ORA-") || line.starts_with("UDE-") || line.starts_with("LRM-"))
            lastCoded_.assign(line);
    }
    constexpr std::size_t kMostPieces = 1000;
    const bool piece = line.size() > 4 && (line.ends_with(".DMP") || line.ends_with(".dmp")) &&
                       line.find(' ') == std::string_view::npos;
    if (piece && listedPieces_.size() < kMostPieces)
        listedPieces_.emplace_back(line.substr(line.find_last_of("/\\") + 1));
    return line;
}

std::string OutputWatch::Cause() const
{
    const std::string& cause = !database_.empty()  ? database_
                               : !utility_.empty() ? utility_
                                                   : last_;
    // The database's word may carry text of its own (an object's name, a
    // trigger's message): its control characters never reach a terminal.
    return cause.empty() ? std::string("출력 없음")
                         : CutToCharacters(EscapeControlCharacters(cause), kCauseCharacters);
}

std::string OutputWatch::FirstDatabaseError() const
{
    return CutToCharacters(EscapeControlCharacters(firstDatabase_), kCauseCharacters);
}

std::string OutputWatch::LastCodedError() const
{
    return CutToCharacters(EscapeControlCharacters(lastCoded_), kCauseCharacters);
}

std::string OutputWatch::Warning() const
{
    return CutToCharacters(EscapeControlCharacters(warning_), kCauseCharacters);
}

std::string FailureCause(std::string_view output, std::string_view prefix)
{
    OutputWatch watch(std::string(prefix), {});
    watch.Feed(output);
    watch.Finish();
    return watch.Cause();
}

std::string FirstWarning(std::string_view output)
{
    OutputWatch watch("EXP-", {});
    watch.Feed(output);
    watch.Finish();
    return watch.Warning();
}

} // namespace veltrane
