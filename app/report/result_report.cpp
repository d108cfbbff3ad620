#include "report/result_report.h"

#include "version.h"

#include <array>
#include <initializer_list>

namespace veltrane {
namespace {

using Piece = std::string_view;

// The head: document element, style sheet, body and the opening of the table.
constexpr std::array<Piece, 63> kHead = {
    R"~(<html xmlns:o="urn:schemas-microsoft-com:office:office" xmlns:w="urn:schemas-microsoft-com:office:word" xmlns="http://www.w3.org/TR/REC-html40">)~",
    R"~(<head>)~",
    R"~(<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=us-ascii">)~",
    R"~(<meta name=Generator content="Microsoft Word 11 (filtered medium)">)~",
    R"~(<style>)~",
    R"~(<!--)~",
    R"~( /* Font Definitions */)~",
    R"~( @font-face)~",
    R"~( {font-family:&#48148;&#53461;;)~",
    R"~( panose-1:2 3 6 0 0 1 1 1 1 1;})~",
    R"~(@font-face)~",
    R"~( {font-family:&#44404;&#47548;;)~",
    R"~( panose-1:2 11 6 0 0 1 1 1 1 1;})~",
    R"~(@font-face)~",
    R"~( {font-family:"\@&#44404;&#47548;";)~",
    R"~( panose-1:2 11 6 0 0 1 1 1 1 1;})~",
    R"~(@font-face)~",
    R"~( {font-family:"\@&#48148;&#53461;";)~",
    R"~( panose-1:2 3 6 0 0 1 1 1 1 1;})~",
    R"~( /* Style Definitions */)~",
    R"~( p.MsoNormal, li.MsoNormal, div.MsoNormal)~",
    R"~( {margin:0cm;)~",
    R"~( margin-bottom:.0001pt;)~",
    R"~( text-align:justify;)~",
    R"~( text-justify:inter-ideograph;)~",
    R"~( text-autospace:none;)~",
    R"~( word-break:break-hangul;)~",
    R"~( font-size:10.0pt;)~",
    R"~( font-family:&#48148;&#53461;;})~",
    R"~(p.MsoCaption, li.MsoCaption, div.MsoCaption)~",
    R"~( {margin:0cm;)~",
    R"~( margin-bottom:.0001pt;)~",
    R"~( text-align:justify;)~",
    R"~( text-justify:inter-ideograph;)~",
    R"~( text-autospace:none;)~",
    R"~( word-break:break-hangul;)~",
    R"~( font-size:10.0pt;)~",
    R"~( font-family:&#48148;&#53461;;)~",
    R"~( font-weight:bold;})~",
    R"~(a:link, span.MsoHyperlink)~",
    R"~( {color:blue;)~",
    R"~( text-decoration:underline;})~",
    R"~(a:visited, span.MsoHyperlinkFollowed)~",
    R"~( {color:purple;)~",
    R"~( text-decoration:underline;})~",
    R"~(span.EmailStyle17)~",
    R"~( {mso-style-type:personal-compose;)~",
    R"~( font-family:&#44404;&#47548;;)~",
    R"~( color:windowtext;})~",
    R"~( /* Page Definitions */)~",
    R"~( @page Section1)~",
    R"~( {size:595.3pt 841.9pt;)~",
    R"~( margin:99.25pt 3.0cm 3.0cm 3.0cm;)~",
    R"~( layout-grid:18.0pt;})~",
    R"~(div.Section1)~",
    R"~( {page:Section1;})~",
    R"~(-->)~",
    R"~(</style>)~",
    R"~(</head>)~",
    R"~(<body lang=KO link=blue vlink=purple>)~",
    R"~(<div class=Section1 style='layout-grid:18.0pt'>)~",
    R"~(<table class=MsoNormalTable border=1 cellspacing=0 cellpadding=0)~",
    R"~( style='border-collapse:collapse;border:none'>)~",
};

// Pieces of the table rows.
constexpr Piece R1 = R"~( <tr>)~";
constexpr Piece R2 =
    R"~(  <td width=175 valign=top bgcolor="#E7E7FF" style='width:131.4pt;border-top:)~";
constexpr Piece R3 =
    R"~(  solid windowtext 1.5pt;border-left:none;border-bottom:solid windowtext 1.0pt;)~";
constexpr Piece R4 =
    R"~(  border-right:solid windowtext 1.0pt;background:#E7E7FF;padding:0cm 5.4pt 0cm 5.4pt'>)~";
constexpr Piece R5 =
    R"~(  <p class=MsoNormal><font size=1 face=&#44404;&#47548;><span lang=EN-US style='font-size:)~";
constexpr Piece R6 = R"~(  </td>)~";
constexpr Piece R7 =
    R"~(  <td width=405 valign=top bgcolor="#FFEFFF" style='width:303.7pt;border-top:)~";
constexpr Piece R8 = R"~(  border-right:none;background:#FFEFFF;padding:0cm 5.4pt 0cm 5.4pt'>)~";
constexpr Piece R9 = R"~(  9.0pt;font-family:&#44404;&#47548;'>)~";
constexpr Piece R10 = R"~(<o:p></o:p></span></font></p>)~";
constexpr Piece R11 = R"~( </tr>)~";
constexpr Piece R12 =
    R"~(  none;border-left:none;border-bottom:solid windowtext 1.0pt;border-right:solid windowtext 1.0pt;)~";
constexpr Piece R13 = R"~(  background:#E7E7FF;padding:0cm 5.4pt 0cm 5.4pt'>)~";
constexpr Piece R14 =
    R"~(  <td width=405 valign=top bgcolor="#FFEFFF" style='width:303.7pt;border:none;)~";
constexpr Piece R15 =
    R"~(  border-bottom:solid windowtext 1.0pt;background:#FFEFFF;padding:0cm 5.4pt 0cm 5.4pt'>)~";
constexpr Piece R16 =
    R"~(  none;border-left:none;border-bottom:solid windowtext 1.5pt;border-right:solid windowtext 1.0pt;)~";
constexpr Piece R17 =
    R"~(  border-bottom:solid windowtext 1.5pt;background:#FFEFFF;padding:0cm 5.4pt 0cm 5.4pt'>)~";

// Label cells' texts.
constexpr Piece LA =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>Oracle Service Name<o:p></o:p></span></font></p>)~";
constexpr Piece LB =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>User Name<o:p></o:p></span></font></p>)~";
constexpr Piece LC =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>BackUp Date<o:p></o:p></span></font></p>)~";
constexpr Piece LD =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>BackUp File<o:p></o:p></span></font></p>)~";
constexpr Piece LE =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>Free DiskSpace Size<o:p></o:p></span></font></p>)~";
constexpr Piece LF =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>Description<o:p></o:p></span></font></p>)~";
constexpr Piece LW =
    R"~(  9.0pt;font-family:&#44404;&#47548;'>Warning<o:p></o:p></span></font></p>)~";

// The footer cell, spanning both columns, with the title before the version.
constexpr Piece F1 = R"~(  <td width=580 colspan=2 valign=top style='width:435.1pt;border:none;)~";
constexpr Piece F2 = R"~(  padding:0cm 5.4pt 0cm 5.4pt'>)~";
constexpr Piece F3 =
    R"~(  <p class=MsoNormal align=right style='text-align:right'><font size=1 face=&#44404;&#47548;><span)~";
constexpr Piece F4 =
    R"~(  lang=EN-US style='font-size:9.0pt;font-family:&#44404;&#47548;'>Veltrane)~";
constexpr Piece F5 = R"~(  )~";

// The end of the table, two empty paragraphs and the end of the document.
// T1 and T2 are joined by one blank.
constexpr std::array<Piece, 9> kClosing = {
    R"~(</table>)~",
    R"~(<p class=MsoNormal align=right style='text-align:right;layout-grid-mode:char'><b><font)~",
    R"~( )~",
    R"~(size=2 face=&#48148;&#53461;><span lang=EN-US style='font-size:10.0pt;font-weight:bold'><o:p>&nbsp;</o:p></span></font></b></p>)~",
    R"~(<p class=MsoNormal><font size=2 face=&#44404;&#47548;><span lang=EN-US style='font-size:10.0pt;)~",
    R"~(font-family:&#44404;&#47548;'><o:p>&nbsp;</o:p></span></font></p>)~",
    R"~(</div>)~",
    R"~(</body>)~",
    R"~(</html>)~",
};

void Append(std::string& page, std::initializer_list<Piece> pieces)
{
    for (Piece piece : pieces)
        page.append(piece);
}

// The first row has a 1.5pt top border, the last data row a 1.5pt bottom
// border, the rows between them 1.0pt bottom borders.
void AppendFirstRow(std::string& page, Piece label, std::string_view value)
{
    Append(page, {R1, R2, R3, R4, R5, label, R6, R7, R3, R8, R5, R9, value, R10, R6, R11});
}

void AppendMiddleRow(std::string& page, Piece label, std::string_view value)
{
    Append(page, {R1, R2, R12, R13, R5, label, R6, R14, R15, R5, R9, value, R10, R6, R11});
}

void AppendLastRow(std::string& page, Piece label, std::string_view value)
{
    Append(page, {R1, R2, R16, R13, R5, label, R6, R14, R17, R5, R9, value, R10, R6, R11});
}

} // namespace

std::string BuildResultReportHtml(std::string_view serviceName, std::string_view userName,
                                  std::string_view backupDate, std::string_view backupFile,
                                  std::string_view freeDiskSpace, std::string_view description,
                                  std::string_view warning)
{
    std::string page;
    page.reserve(12000 + serviceName.size() + userName.size() + backupDate.size() +
                 backupFile.size() + freeDiskSpace.size() + description.size() + warning.size());
    for (Piece piece : kHead)
        page.append(piece);
    // Every value is the operator's or a peer's text: markup in it shows as
    // written and never runs when the page is opened in a browser.
    AppendFirstRow(page, LA, EscapeHtml(serviceName));
    AppendMiddleRow(page, LB, EscapeHtml(userName));
    AppendMiddleRow(page, LC, EscapeHtml(backupDate));
    AppendMiddleRow(page, LD, EscapeHtml(backupFile));
    AppendMiddleRow(page, LE, EscapeHtml(freeDiskSpace));
    if (!warning.empty())
        AppendMiddleRow(page, LW, EscapeHtml(warning));
    AppendLastRow(page, LF, EscapeHtml(description));
    // kVersion is the project version, major.minor.revision.
    Append(page, {R1, F1, F2, F3, F4, F5, kVersion, R10, R6, R11});
    for (Piece piece : kClosing)
        page.append(piece);
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

} // namespace veltrane
