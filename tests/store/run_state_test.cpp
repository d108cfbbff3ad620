// Veltrane.state as its changes are appended to it and as it is written whole
// again: a reader started anew finds what the writer holds, every time.

#include "store/run_state.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace veltrane;
using test::ReadBytes;

TEST(RunStateFile, AppendedChangesReadBackAsTheWriterHoldsThem)
{
    test::TempDir dir;
    const std::string path = dir.File(kRunStateFileName);
    const auto text = [](RunStateFile& state) {
        return FormatRunState({state.Pending(), state.Items(), state.Children(), 0});
    };
    const auto readAnew = [&](RunStateFile& writer) {
        RunStateFile fresh(path);
        EXPECT_EQ(fresh.DamagedLines(), 0u);
        EXPECT_EQ(text(fresh), text(writer));
    };
    RunStateFile state(path);
    ItemState a, b;
    static_cast<ItemKey&>(a) = {1, "A", "SCOTT", "/backup/"};
    static_cast<ItemKey&>(b) = {2, "B", "SCOTT", "/backup/"};
    ASSERT_TRUE(state.SetItems({a, b}));
    PendingRun run{b, "2026-12-07 09:30:00", "/backup/SCOTT_", "20261207093000", kStepExport};
    PendingRun other = run;
    other.fileStamp = "20261207093100";
    b.history.lastSuccessTime = b.unsavedBackUpTime = "2026-12-07 09:30:00";
    b.retry.failures = 2;
    Status written;
    ASSERT_TRUE(state.Owe(run) && state.AddChild({4242, 99, "exp"}));
    ASSERT_TRUE(state.SetItem(1, b, written) && written.ok());
    run.steps = kStepMail | kStepTransfer;
    ASSERT_TRUE(state.Owe(run) && state.RemoveChild(4242) && state.Owe(other));
    run.steps = 0;
    ASSERT_TRUE(state.Owe(run));
    // Each change was one line appended to the file written whole first.
    const std::string file = ReadBytes(path);
    EXPECT_NE(file.find("\nitemat\t1\t"), std::string::npos) << file;
    EXPECT_NE(file.find("\nchildgone\t4242\n"), std::string::npos) << file;
    readAnew(state);
    EXPECT_EQ(state.Pending(), std::vector<PendingRun>{other});
    // Only the same item at the same place takes a change of one item.
    EXPECT_FALSE(state.SetItem(0, b, written) || state.SetItem(2, b, written));

    // A line cut short by a power cut is damage: what could be read is kept,
    // and the next change writes the file whole, never after the cut line.
    test::WriteBytes(path, file + "itemat\t0\t1\tA");
    RunStateFile after(path);
    EXPECT_EQ(after.DamagedLines(), 1u);
    const auto change = [&](const std::string& cause) {
        a.history.lastCause = cause;
        ASSERT_TRUE(after.SetItem(0, a, written) && written.ok());
    };
    change("ORA-12541");
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    readAnew(after);
    // Appended lines past the file's size (and a megabyte) are written whole,
    // and so is the file at the program's end.
    for (std::uintmax_t was = 0, i = 0; std::filesystem::file_size(path) >= was; ++i) {
        ASSERT_LT(i, 2000u);
        was = std::filesystem::file_size(path);
        change(std::string(1000, 'x') + std::to_string(i));
    }
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    change("ORA-01017");
    ASSERT_TRUE(after.Compact());
    EXPECT_EQ(ReadBytes(path).find("itemat"), std::string::npos);
    readAnew(after);
}
