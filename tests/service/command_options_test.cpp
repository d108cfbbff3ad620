#include "service/command_options.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace veltrane;

TEST(CommandOptions, TakesItsOwnOptionsAndLeavesTheRestForQt)
{
    const char* argv[] = {"veltrane", "-platform", "xcb", "--folder=/srv/v"};
    CommandOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandOptions(4, argv, options, error)) << error;
    EXPECT_EQ(options.command, Command::Window);
    EXPECT_EQ(options.folder, "/srv/v");
    EXPECT_EQ(options.rest, (std::vector<std::string>{"-platform", "xcb"}));

    const char* missing[] = {"veltrane", "--folder"};
    CommandOptions none;
    EXPECT_FALSE(ParseCommandOptions(2, missing, none, error));
    EXPECT_NE(error.find("--folder"), std::string::npos);
}

// Whatever the program does not know is refused before Qt could start; Qt's
// own options are known to the window only.
TEST(CommandOptions, RefusesWhatItDoesNotKnow)
{
    const struct
    {
        std::vector<const char*> args;
        const char* error; // empty: accepted
    } cases[] = {
        {{"-platform", "offscreen", "--style=fusion", "-reverse"}, ""},
        {{"--status", "--json", "--folder", "/srv"}, ""},
        {{"--run-item", "12"}, ""},
        {{"--status"}, ""},
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"-platformx", "xcb"}, "unknown option"},
        {{"--service", "-platform", "xcb"}, "is an option of the window"},
        {{"-platform"}, "needs a value"},
        {{"--json"}, "--json goes with --status"},
        {{"--status", "--check"}, "does not go with"},
        {{"--run-item", "0"}, "--run-item needs"},
        {{"--run-item", "-3"}, "--run-item needs"},
        {{"--run-item"}, "--run-item needs"},
        {{"--folder="}, "--folder needs"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"veltrane"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CommandOptions options;
        std::string error;
        const bool accepted =
            ParseCommandOptions(static_cast<int>(argv.size()), argv.data(), options, error);
        EXPECT_EQ(accepted, *c.error == '\0') << c.args[0] << ": " << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.args[0] << ": " << error;
    }
    const char* argv[] = {"veltrane", "--run-item=7", "--folder", "/srv"};
    CommandOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandOptions(4, argv, options, error)) << error;
    EXPECT_EQ(options.command, Command::RunItem);
    EXPECT_EQ(options.item, 7);
}

TEST(CommandOptions, TheDataFolderIsAbsoluteAndMustBeAFolder)
{
    test::TempDir dir;
    std::string resolved, error;
    ASSERT_TRUE(ResolveDataFolder(dir.path() + "/./", "/opt/veltrane", resolved, error));
    EXPECT_EQ(resolved, dir.path());
    ASSERT_TRUE(ResolveDataFolder("", "/opt/veltrane", resolved, error));
    EXPECT_EQ(resolved, "/opt/veltrane");
    test::WriteBytes(dir.File("file"), "");
    EXPECT_FALSE(ResolveDataFolder(dir.File("file"), "/opt", resolved, error));
    EXPECT_FALSE(ResolveDataFolder(dir.File("missing"), "/opt", resolved, error));
    EXPECT_NE(error.find("missing"), std::string::npos);
}
