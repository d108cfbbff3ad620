#include "report/result_report.h"

#include "version.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace veltrane {
namespace {

// A headline: its word (what the reader sees first, so colour is never the
// only sign), the bar's colour (white text on it reads at a contrast of 5:1
// or more) and a sentence under the word. The two failed steps after a good
// backup share one colour: the backup is there, something after it failed.
struct Look
{
    std::string_view word;
    std::string_view colour;
    std::string_view sentence;
};

constexpr std::array<Look, 6> kLooks = {{
    {"백업 성공", "#1E7D32", "백업을 마쳤습니다."},
    {"백업 경고", "#8A5A00", "백업을 마쳤으나 경고가 있습니다."},
    {"백업 실패", "#C62828", "백업에 실패했습니다. 원인을 확인하십시오."},
    {"압축 실패", "#C2410C", "백업은 만들었으나 압축하지 못했습니다."},
    {"전송 실패", "#C2410C", "백업은 만들었으나 FTP 서버로 보내지 못했습니다."},
    {"백업 지연", "#6A1B9A", "예정된 백업이 제때 성공하지 못했습니다."},
}};
static_assert(kLooks.size() == static_cast<std::size_t>(ReportKind::kOverdue) + 1,
              "one look per kind");

const Look& LookOf(ReportKind kind)
{
    return kLooks[static_cast<std::size_t>(kind)];
}

// Lines end in CR LF, the form of text in a mail.
constexpr std::string_view kEnd = "\r\n";

constexpr std::string_view kFont =
    "font-family:'Malgun Gothic','맑은 고딕','Apple SD Gothic Neo','Noto Sans KR',sans-serif;";
constexpr std::string_view kRule = "border-top:1px solid #E5E7EB;";

// An escaped value with a break allowed after each "/", "\\" and "_", so
// that a long path wraps on a narrow screen also where styles are dropped.
std::string Breakable(std::string_view escaped)
{
    std::string out;
    out.reserve(escaped.size() + escaped.size() / 8);
    for (char c : escaped) {
        out.push_back(c);
        if (c == '/' || c == '\\' || c == '_')
            out.append("<wbr>");
    }
    return out;
}

// One fact: the label on the left, the value (escaped) on the right. The
// look is given twice, as attributes for readers that drop styles and as
// styles for the others: the label keeps its column (nowrap) and a long
// path or cause breaks rather than widen the table past a phone's screen.
// `emphasis` colours the value, for the cause and the warning.
void AppendRow(std::string& page, std::string_view label, std::string_view value,
               std::string_view emphasis = {})
{
    page.append("<tr><th scope=\"row\" width=\"32%\" align=\"left\" valign=\"top\" nowrap "
                "bgcolor=\"#F3F4F6\" "
                "style=\"width:32%;padding:8px 12px;background-color:#F3F4F6;")
        .append(kRule)
        .append("text-align:left;vertical-align:top;font-weight:bold;color:#374151;"
                "white-space:nowrap;\">")
        .append(label)
        .append("</th><td valign=\"top\" style=\"padding:8px 12px;")
        .append(kRule)
        .append("vertical-align:top;word-wrap:break-word;overflow-wrap:anywhere;"
                "word-break:break-word;");
    if (!emphasis.empty())
        page.append("font-weight:bold;color:").append(emphasis).append(";");
    page.append("\">");
    const std::string shown = Breakable(EscapeHtml(value));
    if (emphasis.empty())
        page.append(shown);
    else
        page.append("<font color=\"")
            .append(emphasis)
            .append("\"><b>")
            .append(shown)
            .append("</b></font>");
    page.append("</td></tr>").append(kEnd);
}

void AppendRowIfAny(std::string& page, std::string_view label, std::string_view value,
                    std::string_view emphasis = {})
{
    if (!value.empty())
        AppendRow(page, label, value, emphasis);
}

} // namespace

std::string BuildResultReportHtml(const ResultReport& report)
{
    const Look& look = LookOf(report.kind);
    const bool overdue = report.kind == ReportKind::kOverdue;
    // An overdue item says since when in its sentence.
    const std::string sentence =
        overdue && !report.overdueSince.empty()
            ? EscapeHtml(report.overdueSince) + " 이후 성공한 백업이 없습니다."
            : std::string(look.sentence);

    std::string page;
    page.reserve(6000 + report.cause.size() + report.description.size() + report.dumpPath.size());
    page.append("<!DOCTYPE html>").append(kEnd);
    page.append("<html lang=\"ko\">").append(kEnd);
    page.append("<head>").append(kEnd);
    page.append("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">")
        .append(kEnd);
    page.append("<title>")
        .append(look.word)
        .append(" - ")
        .append(EscapeHtml(report.serviceName))
        .append("</title>")
        .append(kEnd);
    page.append("</head>").append(kEnd);
    page.append("<body bgcolor=\"#FFFFFF\" text=\"#1F2937\" "
                "style=\"margin:0;padding:0;background-color:#FFFFFF;\">")
        .append(kEnd);
    // width="100%" for readers that ignore styles; max-width keeps it a
    // column on a wide screen.
    page.append("<table width=\"100%\" cellpadding=\"8\" cellspacing=\"0\" border=\"0\" "
                "bgcolor=\"#FFFFFF\" "
                "style=\"width:100%;max-width:600px;border-collapse:collapse;"
                "background-color:#FFFFFF;border:1px solid #D1D5DB;")
        .append(kFont)
        .append("font-size:14px;line-height:1.5;color:#1F2937;\">")
        .append(kEnd);
    page.append("<tr><td colspan=\"2\" bgcolor=\"")
        .append(look.colour)
        .append("\" style=\"padding:14px 16px;background-color:")
        .append(look.colour)
        .append(";color:#FFFFFF;\"><font color=\"#FFFFFF\">"
                "<div style=\"font-size:20px;font-weight:bold;\"><font size=\"5\"><b>")
        .append(look.word)
        .append("</b></font></div><div style=\"margin-top:4px;\">")
        .append(sentence)
        .append("</div></font></td></tr>")
        .append(kEnd);

    AppendRowIfAny(page, "원인", report.cause, look.colour);
    AppendRowIfAny(page, "조치", report.hint);
    AppendRowIfAny(page, "경고", report.warning, look.colour);
    AppendRow(page, "서비스", report.serviceName);
    AppendRow(page, "사용자", report.userName);
    if (overdue)
        AppendRowIfAny(page, "예정 시각", report.overdueSince);
    AppendRowIfAny(page, "연속 실패", report.failuresInARow);
    AppendRowIfAny(page, "마지막 성공", report.lastSuccess);
    AppendRow(page, overdue ? "확인 시각" : "백업 시각", report.time);
    AppendRowIfAny(page, "백업 파일", report.dumpPath);
    AppendRowIfAny(page, "덤프 크기", report.dumpSize);
    AppendRowIfAny(page, "소요 시간", report.runLength);
    AppendRowIfAny(page, "여유 공간", report.freeSpace);
    AppendRowIfAny(page, "설명", report.description);

    page.append("<tr><td colspan=\"2\" align=\"right\" style=\"padding:8px 12px;")
        .append(kRule)
        .append("text-align:right;font-size:12px;color:#6B7280;\">Veltrane ")
        .append(kVersion)
        .append("</td></tr>")
        .append(kEnd);
    page.append("</table>").append(kEnd);
    page.append("</body>").append(kEnd);
    page.append("</html>").append(kEnd);
    return page;
}

std::string EscapeHtml(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string FailureHint(std::string_view cause)
{
    // The first row whose mark the cause holds gives the hint.
    static constexpr struct
    {
        std::string_view marks[6];
        std::string_view hint;
    } kHints[] = {
        {{"ORA-01017", "ORA-28000", "ORA-28001", "ORA-01045"},
         "로그인이 거부되었습니다. 사용자 이름과 비밀번호, 계정 잠금 여부를 확인하십시오."},
        {{"ORA-12154", "ORA-12541", "ORA-12514", "ORA-12505"},
         "데이터베이스에 연결하지 못했습니다. 리스너가 실행 중인지와 서비스 이름을 확인하십시오."},
        {{"No space left", "ENOSPC", "EXP-00002", "ORA-39095", "ORA-27072", "여유 공간"},
         "디스크가 가득 찼습니다. 백업 폴더의 여유 공간을 확보하십시오."},
        {{"File or command not found", "No such file or directory", "command not found"},
         "유틸리티를 실행하지 못했습니다. 프로그램 경로를 확인하십시오."},
    };
    for (const auto& row : kHints)
        for (std::string_view mark : row.marks)
            if (!mark.empty() && cause.find(mark) != std::string_view::npos)
                return std::string(row.hint);
    return "첨부한 로그를 확인하십시오.";
}

std::string RunLengthText(std::int64_t seconds)
{
    seconds = std::max<std::int64_t>(seconds, 0);
    std::string text;
    if (seconds >= 3600)
        text += std::to_string(seconds / 3600) + "시간 ";
    if (seconds >= 60)
        text += std::to_string(seconds / 60 % 60) + "분 ";
    return text + std::to_string(seconds % 60) + "초";
}

std::string SizeText(std::int64_t bytes)
{
    char text[32];
    if (bytes >= (std::int64_t{1} << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    else if (bytes >= (1 << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else if (bytes >= (1 << 10))
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / (1 << 10));
    else
        std::snprintf(text, sizeof text, "%lld 바이트", static_cast<long long>(bytes));
    return text;
}

} // namespace veltrane
