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
