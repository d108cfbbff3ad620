#include "mail_log.h"
#include "support/temp_dir.h"
#include "test_clock.h"

#include <gtest/gtest.h>

namespace sendwick {
namespace {

using veltrane::test::FileExists;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;

TEST(AppendLog, AppendsStampedEntriesWithoutAddingLineEnds)
{
    TempDir dir;
    test::FixedClock clock;
    std::string path = dir.File("SendResult.Log");
    WriteBytes(path, "earlier\r\n");
    AppendLog(path, "SEND a --> b\r\n", clock.Now());
    AppendLog(path, "TIME OUT", clock.Now());
    AppendLog(path, "next", clock.Now());
    EXPECT_EQ(ReadBytes(path), "earlier\r\n"
                               "[2026/12/07 09:15:02] SEND a --> b\r\n"
                               "[2026/12/07 09:15:02] TIME OUT"
                               "[2026/12/07 09:15:02] next");
}

TEST(AppendLog, EmptyPathOrMissingFolderWritesNothing)
{
    TempDir dir;
    test::FixedClock clock;
    AppendLog("", "nothing", clock.Now());
    AppendLog(dir.File("no-such-folder/SendResult.Log"), "dropped", clock.Now());
    EXPECT_FALSE(FileExists(dir.File("no-such-folder")));
}

} // namespace
} // namespace sendwick
