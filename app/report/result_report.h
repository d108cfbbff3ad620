#pragma once

// The HTML report mailed to an item's recipients after a run, or when the
// item is overdue.
//
// The page is plain HTML that mail readers render alike: inline styles only
// (many readers drop <style> blocks), no scripts, no images, and one table
// as wide as the screen up to 600 pixels, so that it reads on a phone. A
// coloured headline with a word says what happened; below it one row per
// fact, with Korean labels. A fact the report does not carry (no cause, no
// warning, a free space that could not be measured) has no row at all.

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane {

// What happened, for the headline: its word, its colour and a sentence.
enum class ReportKind {
    kSuccess,        // the export succeeded ("백업 성공", green)
    kWarning,        // the export succeeded with warnings ("백업 경고", amber)
    kFailure,        // no usable backup: the export failed, the run broke
                     // off, or the dump could not be read back ("백업 실패", red)
    kCompressFailed, // the backup was made, its archive was not ("압축 실패", orange)
    kUploadFailed,   // the backup was made, it did not reach the FTP server
                     // ("전송 실패", orange)
    kOverdue,        // no success since the item's due time ("백업 지연", purple)
};

// The facts of one report (UTF-8). An empty text leaves its row out, except
// for the service, the user and the time, which every report shows. Every
// member has its default, so a designated initializer may name only some.
struct ResultReport
{
    ReportKind kind = ReportKind::kSuccess;
    std::string serviceName{};
    std::string userName{};
    std::string time{};         // "yyyy-MM-dd hh:mm:ss": the run's start; the check's when overdue
    std::string dumpPath{};     // the backup file, when the run left one
    std::string cause{};        // why it failed
    std::string warning{};      // the export's first warning
    std::string overdueSince{}; // overdue: the due time since which no run succeeded
    std::string lastSuccess{};  // overdue or failed: the item's last success ("없음" when none)
    std::string freeSpace{};    // the item folder's free space ("12.3 GiB"); empty: not measured
    std::string description{};
    std::string dumpSize{};       // a success: the dump's size ("1.2 GiB")
    std::string runLength{};      // a success: how long the export took ("4분 0초")
    std::string failuresInARow{}; // a failure: how many runs in a row failed ("3회")
    std::string hint{};           // a failure: what to check first (FailureHint)
};

// Builds the page. Every value goes in escaped (EscapeHtml), so that markup
// in a description, a path or a cause shows as written and never runs. The
// footer shows the program's title and version.
std::string BuildResultReportHtml(const ResultReport& report);

// `text` with "&", "<", ">" and the double quote written as HTML entities, for
// a value that must show as written (a failure cause quoting the output).
std::string EscapeHtml(std::string_view text);

// What to check first for a failure with `cause` (a refused login, an
// unknown service or no listener, a full disk, a utility that cannot be
// started); "첨부한 로그를 확인하십시오." for any other.
std::string FailureHint(std::string_view cause);

// "1시간 2분 3초", "4분 0초", "12초": how long a run took, as the result
// lines say it.
std::string RunLengthText(std::int64_t seconds);

// "1.2 GiB", "3.4 MiB", "512.0 KiB", "100 바이트": a size as the result lines
// and the report show it.
std::string SizeText(std::int64_t bytes);

} // namespace veltrane
