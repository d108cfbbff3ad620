#include "service/command_options.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace veltrane;

TEST(CommandOptions, TakesItsOwnOptionsAndLeavesTheRestForQt)
{
    const char* argv[] = {"veltrane", "--service", "-platform", "xcb", "--folder=/srv/v"};
    CommandOptions options;
    std::string error;
    ASSERT_TRUE(ParseCommandOptions(5, argv, options, error)) << error;
    EXPECT_TRUE(options.service);
    EXPECT_EQ(options.folder, "/srv/v");
    EXPECT_EQ(options.rest, (std::vector<std::string>{"-platform", "xcb"}));

    const char* missing[] = {"veltrane", "--folder"};
    CommandOptions none;
    EXPECT_FALSE(ParseCommandOptions(2, missing, none, error));
    EXPECT_NE(error.find("--folder"), std::string::npos);
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
