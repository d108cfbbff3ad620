#include "platform/codepage.h"
#include "platform/disk_space.h"
#include "report/result_history.h"
#include "report/result_report.h"
#include "support/temp_dir.h"
#include "version.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

// The row labels of a page, in order, joined by "|".
std::string Labels(const std::string& page)
{
    std::string labels;
    for (auto at = page.find("<th "); at != std::string::npos; at = page.find("<th ", at + 1)) {
        const auto start = page.find('>', at) + 1;
        labels.append(labels.empty() ? "" : "|")
            .append(page, start, page.find("</th>", start) - start);
    }
    return labels;
}

} // namespace

// Each kind as its caller fills it: the headline's word and colour, and the
// rows it shows (a cause or a warning only where one is given, no free space
// where none was measured). The page of a warning is the golden file, which
// was looked at in a browser at phone width; it shows the version 1.0.70.
TEST(ResultReport, EachKindHasItsHeadlineAndItsRows)
{
    const std::string dump = "/backup/ORCL/SCOTT_20070305140709.DMP", space = "12.3 GiB";
    const std::string rows = "서비스|사용자|백업 시각|백업 파일|여유 공간|설명";
    const struct
    {
        ResultReport facts;
        std::string colour, word, rows;
    } cases[] = {
        // clang-format off
        {{.kind = ReportKind::kSuccess, .dumpPath = dump, .freeSpace = space, .dumpSize = "1.2 GiB", .runLength = "4분 0초"},
         "#1E7D32", "백업 성공", "서비스|사용자|백업 시각|백업 파일|덤프 크기|소요 시간|여유 공간|설명"},
        {{.kind = ReportKind::kWarning, .dumpPath = dump, .warning = "EXP-00091: x", .freeSpace = space},
         "#8A5A00", "백업 경고", "경고|" + rows},
        {{.kind = ReportKind::kFailure, .cause = "ORA-01017", .lastSuccess = "없음", .failuresInARow = "3회", .hint = "h"},
         "#C62828", "백업 실패", "원인|조치|서비스|사용자|연속 실패|마지막 성공|백업 시각|설명"},
        {{.kind = ReportKind::kCompressFailed, .dumpPath = dump, .cause = "rar", .freeSpace = space},
         "#C2410C", "압축 실패", "원인|" + rows},
        {{.kind = ReportKind::kUploadFailed, .dumpPath = dump, .cause = "530", .freeSpace = space},
         "#C2410C", "전송 실패", "원인|" + rows},
        {{.kind = ReportKind::kOverdue, .overdueSince = "2007-03-05 02:00:00", .freeSpace = space},
         "#6A1B9A", "백업 지연</b></font></div><div style=\"margin-top:4px;\">2007-03-05 02:00:00 이후",
         "서비스|사용자|예정 시각|확인 시각|여유 공간|설명"},
        // clang-format on
    };
    const std::string headline =
        ";color:#FFFFFF;\"><font color=\"#FFFFFF\"><div style=\"font-size:20px;font-weight:bold;\">"
        "<font size=\"5\"><b>";
    for (const auto& c : cases) {
        ResultReport facts = c.facts;
        facts.serviceName = "ORCL";
        facts.userName = "SCOTT";
        facts.time = "2007-03-05 14:07:09";
        facts.description = "주간 백업 <b>중요</b> & 확인";
        const std::string page = BuildResultReportHtml(facts);
        if (facts.kind == ReportKind::kWarning) {
            std::string golden =
                test::ReadBytes(std::string(VELTRANE_TEST_DATA_DIR) + "/result_report.html");
            golden.replace(golden.find("Veltrane 1.0.70<"), 15,
                           "Veltrane " + std::string(kVersion));
            EXPECT_EQ(page, golden);
        }
        EXPECT_NE(page.find(c.colour + headline + c.word), std::string::npos) << c.word;
        // Without styles: the band's colour as an attribute, the labels kept
        // whole, a path that may break after each "/" and "_".
        EXPECT_NE(page.find("<td colspan=\"2\" bgcolor=\"" + c.colour + "\""), std::string::npos);
        EXPECT_EQ(page.find("<th "), page.find("<th scope=\"row\" width=\"32%\" align=\"left\" "
                                               "valign=\"top\" nowrap bgcolor=\"#F3F4F6\""));
        if (!facts.dumpPath.empty()) {
            EXPECT_NE(page.find(">/<wbr>backup/<wbr>ORCL/<wbr>SCOTT_<wbr>20070305140709.DMP<"),
                      std::string::npos);
        }
        EXPECT_EQ(Labels(page), c.rows) << c.word;
    }
    EXPECT_FALSE(FreeBytesAt("/nonexistent/folder")); // so no row
}

// The first matching cause gives the hint; anything else points at the log.
TEST(ResultReport, FailureHintNamesWhatToCheck)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ORA-01017: invalid username/password; logon denied", "비밀번호"},
        {"ORA-28000: the account is locked", "계정 잠금"},
        {"ORA-12154: TNS:could not resolve the connect identifier", "서비스 이름"},
        {"ORA-12541: TNS:no listener", "리스너"},
        {"EXP-00002: error in writing to export file", "여유 공간"},
        {"write /backup/a.dmp: No space left on device", "여유 공간"},
        {"File or command not found", "프로그램 경로"},
        {"EXP-00056: ORACLE error 3113 encountered", "첨부한 로그"},
        {"", "첨부한 로그"},
    };
    for (const auto& [cause, hint] : cases)
        EXPECT_NE(FailureHint(cause).find(hint), std::string::npos) << cause;
}

// Markup in any value shows as written and never runs: title, sentence and
// every row.
TEST(ResultReport, HostileValuesAreEscapedEverywhere)
{
    const std::string evil = "\"><script>alert(1)</script>&";
    const std::string page = BuildResultReportHtml(
        {ReportKind::kOverdue, evil, evil, evil, evil, evil, evil, evil, evil, evil, evil});
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(Labels(page), "원인|경고|서비스|사용자|예정 시각|마지막 성공|확인 시각|백업 파일|"
                            "여유 공간|설명");
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
