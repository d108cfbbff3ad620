// Veltrane.state as its changes are appended to it and as it is written whole
// again: a reader started anew finds what the writer holds, every time.

#include "store/run_state.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace veltrane;
using test::ReadBytes;
using test::TempDir;

namespace {

std::string Text(RunStateFile& state)
{
    return FormatRunState({state.Pending(), state.Items(), state.Children(), 0});
}

ItemState Item(std::int32_t number, const char* service)
{
    ItemState item;
    static_cast<ItemKey&>(item) = {number, service, "SCOTT", "/backup/"};
    return item;
}

} // namespace

TEST(RunStateFile, AppendedChangesReadBackAsTheWriterHoldsThem)
{
    TempDir dir;
    const std::string path = dir.File(kRunStateFileName);
    RunStateFile state(path);
    const auto readAnew = [&](std::size_t damaged) {
        RunStateFile fresh(path);
        EXPECT_TRUE(fresh.Load());
        EXPECT_EQ(fresh.DamagedLines(), damaged);
        return Text(fresh);
    };
    ItemState a = Item(1, "A"), b = Item(2, "B");
    ASSERT_TRUE(state.SetItems({a, b}));
    PendingRun run;
    static_cast<ItemKey&>(run) = b;
    run.filePrefix = "/backup/SCOTT_";
    run.fileStamp = "20261207093000";
    run.steps = kStepExport;
    ASSERT_TRUE(state.Owe(run));
    ASSERT_TRUE(state.AddChild({4242, 99, "exp"}));
    b.history.lastSuccessTime = b.unsavedBackUpTime = "2026-12-07 09:30:00";
    b.retry.failures = 2;
    Status written;
    ASSERT_TRUE(state.SetItem(1, b, written) && written.ok());
    run.steps = kStepMail | kStepTransfer;
    ASSERT_TRUE(state.Owe(run));
    ASSERT_TRUE(state.RemoveChild(4242));
    PendingRun other = run;
    other.fileStamp = "20261207093100";
    ASSERT_TRUE(state.Owe(other));
    run.steps = 0;
    ASSERT_TRUE(state.Owe(run));
    // Each change was one line appended to the file written whole first.
    const std::string file = ReadBytes(path);
    EXPECT_NE(file.find("\nitemat\t1\t"), std::string::npos) << file;
    EXPECT_NE(file.find("\nchildgone\t4242\n"), std::string::npos) << file;
    EXPECT_EQ(readAnew(0), Text(state));
    EXPECT_EQ(state.Pending(), std::vector<PendingRun>{other});

    // Only the same item at the same place takes a change of one item.
    EXPECT_FALSE(state.SetItem(0, b, written));
    EXPECT_FALSE(state.SetItem(2, b, written));

    // A line cut short by a power cut is damage: what could be read is kept,
    // and the next change writes the file whole, never after the cut line.
    test::WriteBytes(path, file + "itemat\t0\t1\tA");
    RunStateFile after(path);
    EXPECT_EQ(after.DamagedLines(), 1u);
    a.history.lastCause = "ORA-12541";
    ASSERT_TRUE(after.SetItem(0, a, written) && written.ok());
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    EXPECT_EQ(readAnew(0), Text(after));

    // Appended lines past the file's size (and a megabyte) are written whole.
    std::uintmax_t was = 0;
    for (int i = 0; std::filesystem::file_size(path) >= was; ++i) {
        ASSERT_LT(i, 2000);
        was = std::filesystem::file_size(path);
        a.history.lastCause = std::string(1000, 'x') + std::to_string(i);
        ASSERT_TRUE(after.SetItem(0, a, written) && written.ok());
    }
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    EXPECT_EQ(readAnew(0), Text(after));

    // The program's end leaves one line per entry.
    a.history.lastCause = "ORA-01017";
    ASSERT_TRUE(after.SetItem(0, a, written) && written.ok());
    ASSERT_TRUE(after.Compact());
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    EXPECT_EQ(readAnew(0), Text(after));
}
