#include "platform/codepage.h"
#include "report/result_history.h"
#include "report/result_report.h"
#include "support/temp_dir.h"
#include "version.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

// The golden page was assembled by hand from the template's pieces, for these
// values and the version 1.0.70.
constexpr std::string_view kGoldenVersion = "1.0.70";
const char* const kValues[6] = {"ORCL",
                                "SCOTT",
                                "2007-03-05 14:07:09",
                                "/backup/ORCL/SCOTT_20070305140709.DMP",
                                "",
                                "주간 백업 <b>중요</b> & 확인\r\n끝"};

std::string Golden()
{
    std::string page =
        veltrane::test::ReadBytes(std::string(VELTRANE_TEST_DATA_DIR) + "/result_report.html");
    // The page shows the program's version; follow it when the version moves.
    const std::string footer = "Veltrane  " + std::string(kGoldenVersion) + "<o:p>";
    const auto at = page.find(footer);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos)
        page.replace(at, footer.size(), "Veltrane  " + std::string(kVersion) + "<o:p>");
    return page;
}

std::size_t Count(const std::string& text, std::string_view what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

constexpr std::string_view kR9 = "  9.0pt;font-family:&#44404;&#47548;'>";
constexpr std::string_view kR10 = "<o:p></o:p></span></font></p>";

} // namespace

TEST(ResultReport, PageMatchesTheTemplateByteForByte)
{
    const std::string page = BuildResultReportHtml(kValues[0], kValues[1], kValues[2], kValues[3],
                                                   kValues[4], kValues[5]);
    EXPECT_EQ(page, Golden());
}

// Markup in a value shows as written: a description's <script> never runs
// when the page is opened in a browser.
TEST(ResultReport, ValuesGoInEscapedInArgumentOrder)
{
    const std::string page = BuildResultReportHtml(kValues[0], kValues[1], kValues[2], kValues[3],
                                                   kValues[4], kValues[5]);
    std::size_t previous = 0;
    for (const char* value : {kValues[0], kValues[1], kValues[2], kValues[3], kValues[5]}) {
        const auto at = page.find(std::string(kR9) + EscapeHtml(value) + std::string(kR10));
        ASSERT_NE(at, std::string::npos) << value;
        EXPECT_GT(at, previous) << value;
        previous = at;
    }
    EXPECT_NE(page.find("&lt;b&gt;중요&lt;/b&gt; &amp; 확인\r\n끝"), std::string::npos);
    const std::string hostile = BuildResultReportHtml("<s>", "\"u\"", "", "<x>", "", "<script>");
    EXPECT_EQ(hostile.find("<script>"), std::string::npos);
    EXPECT_EQ(hostile.find("<s>"), std::string::npos);
}

TEST(ResultReport, AllEmptyValuesStillGiveSevenRowsAndTheLengthRule)
{
    const std::string empty = BuildResultReportHtml("", "", "", "", "", "");
    EXPECT_EQ(Count(empty, " <tr>"), 7u);
    EXPECT_EQ(Count(empty, " </tr>"), 7u);
    EXPECT_EQ(Count(empty, std::string(kR9) + std::string(kR10)), 6u);
    EXPECT_EQ(empty.find('\n'), std::string::npos);
    EXPECT_EQ(empty.find('\r'), std::string::npos);
    EXPECT_NE(empty.find("Veltrane  " + std::string(kVersion) + std::string(kR10)),
              std::string::npos);

    // Without line breaks the length is the template's plus the values'.
    std::size_t valueBytes = 0;
    for (const char* value : kValues)
        valueBytes += EscapeHtml(value).size();
    const std::string full = BuildResultReportHtml(kValues[0], kValues[1], kValues[2], kValues[3],
                                                   kValues[4], kValues[5]);
    EXPECT_EQ(full.size(), empty.size() + valueBytes);
    EXPECT_EQ(Golden().size(), empty.size() + valueBytes);
}

TEST(ResultReport, FreeSpaceRowKeepsItsLabelExactly)
{
    const std::string page = BuildResultReportHtml("", "", "", "", "12 GB", "");
    EXPECT_NE(page.find("'>Free DiskSpace Size<o:p>"), std::string::npos);
    EXPECT_NE(page.find(std::string(kR9) + "12 GB" + std::string(kR10)), std::string::npos);
}

TEST(ResultHistory, KeepsLinesInCodePage949AndStartsAnewPastItsLimit)
{
    test::TempDir dir;
    const std::string path = dir.File("Veltrane.log");
    ResultHistory history(path, 60); // each line here is 28 or 30 bytes
    EXPECT_TRUE(history.Append("[2026-12-08 02:00:00] 첫째").ok());
    EXPECT_TRUE(history.Append("[2026-12-08 02:00:01] 둘째").ok());
    EXPECT_EQ(test::ReadBytes(path), cp949::FromUtf8("[2026-12-08 02:00:00] 첫째\r\n"
                                                     "[2026-12-08 02:00:01] 둘째\r\n"));
    // The next line would pass the limit: the file moves aside, one generation.
    EXPECT_TRUE(history.Append("[2026-12-08 02:00:02] 셋째").ok());
    EXPECT_TRUE(history.Append("[2026-12-08 02:00:03] 넷째").ok());
    EXPECT_TRUE(history.Append("[2026-12-08 02:00:04] 다섯째").ok());
    EXPECT_EQ(test::ReadBytes(path), cp949::FromUtf8("[2026-12-08 02:00:04] 다섯째\r\n"));
    EXPECT_EQ(test::ReadBytes(path + ".1"), cp949::FromUtf8("[2026-12-08 02:00:02] 셋째\r\n"
                                                            "[2026-12-08 02:00:03] 넷째\r\n"));
    EXPECT_FALSE(ResultHistory(dir.File("missing/Veltrane.log")).Append("x").ok());
}

TEST(ResultReport, AWarningAddsItsRowBeforeTheDescription)
{
    const std::string page = BuildResultReportHtml("", "", "", "", "", "desc", "EXP-00011: x");
    EXPECT_EQ(Count(page, " <tr>"), 8u);
    const auto warning = page.find("'>Warning<o:p>");
    ASSERT_NE(warning, std::string::npos);
    EXPECT_LT(page.find(std::string(kR9) + "EXP-00011: x" + std::string(kR10)),
              page.find(std::string(kR9) + "desc" + std::string(kR10)));
}
