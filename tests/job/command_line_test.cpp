#include "job/command_line.h"

#include <gtest/gtest.h>

using namespace veltrane;
using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheWindowsArgumentRule)
{
    struct Case
    {
        const char* line;
        Args expected;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"exp scott/tiger@ORCL File=/b/x.DMP", {"exp", "scott/tiger@ORCL", "File=/b/x.DMP"}},
        {"  a \t b  ", {"a", "b"}},
        {R"("/opt/my tools/exp" x)", {"/opt/my tools/exp", "x"}},
        {R"(ab"c d"e)", {"abc de"}},
        {R"("" x "")", {"", "x", ""}},
        {R"(a\"b)", {"a\"b"}},
        {R"(a\\"b c")", {"a\\b c"}}, // 2 backslashes + quote: 1 backslash, quote opens
        {R"(a\\\"b)", {"a\\\"b"}},   // 3 backslashes + quote: 1 backslash, literal quote
        {R"(C:\dir\file x)", {"C:\\dir\\file", "x"}},
        {R"(a\\ b)", {"a\\\\", "b"}}, // backslashes before no quote stay
        {R"("unterminated quote)", {"unterminated quote"}},
        {"Tables=(EMP,DEPT) ", {"Tables=(EMP,DEPT)"}},
        {"; | > $(x) `y` &&", {";", "|", ">", "$(x)", "`y`", "&&"}},
        {"매일 백업", {"매일", "백업"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.expected) << c.line;
}

TEST(QuoteArgument, EveryArgumentVectorSurvivesQuotingAndSplitting)
{
    const Args args = {"",        "plain",    "with blank", "tab\there",  R"(a"b)",
                       R"(a\"b)", R"(end\)",  R"(end\\)",   R"(sp ace\)", R"(\\server\share)",
                       "\"\"",    "매일 백업"};
    std::string line;
    for (const auto& a : args)
        line += QuoteArgument(a) + " ";
    EXPECT_EQ(SplitCommandLine(line), args) << line;
    EXPECT_EQ(QuoteArgument("/opt/oracle/bin/exp"), "/opt/oracle/bin/exp"); // unchanged
}
