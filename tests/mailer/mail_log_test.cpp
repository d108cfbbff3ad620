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
    AppendLog(path, "SEND a --> b", clock.Now());
    AppendLog(path, "TIME OUT", clock.Now(), EntryEnd::Open);
    // Nothing from a peer starts a line: control bytes are written out.
    AppendLog(path, "250-x\r\n250 y\n[stamp] SEND OK\t\x1b\x7f", clock.Now());
    EXPECT_EQ(ReadBytes(path),
              "earlier\r\n"
              "[2026/12/07 09:15:02] SEND a --> b\r\n"
              "[2026/12/07 09:15:02] TIME OUT"
              "[2026/12/07 09:15:02] 250-x\\r\\n250 y\\n[stamp] SEND OK\\t\\x1B\\x7F\r\n");
    // Past the limit the log becomes "<name>.1", replacing the one before.
    for (const char* text : {"x", "y"})
        AppendLog(path, text, clock.Now(), EntryEnd::Line, 30);
    EXPECT_EQ(ReadBytes(path + ".1"), "[2026/12/07 09:15:02] x\r\n");
    EXPECT_EQ(ReadBytes(path), "[2026/12/07 09:15:02] y\r\n");
}

// Nothing is written without a path; a log that cannot be opened or written
// says why, to be passed on to the caller.
TEST(AppendLog, EmptyPathOrMissingFolderWritesNothing)
{
    TempDir dir;
    test::FixedClock clock;
    EXPECT_TRUE(AppendLog("", "nothing", clock.Now()).ok());
    const std::string missing = dir.File("no-such-folder/SendResult.Log");
    EXPECT_EQ(AppendLog(missing, "dropped", clock.Now()).detail,
              missing + " cannot be written: No such file or directory");
    EXPECT_FALSE(FileExists(dir.File("no-such-folder")));
    EXPECT_EQ(AppendLog("/dev/full", "dropped", clock.Now()).detail,
              "/dev/full cannot be written: No space left on device");
}

} // namespace
} // namespace sendwick
