#include "store/settings_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace veltrane;
using test::ReadBytes;

TEST(Settings, AMissingFileIsWrittenWithTheDefaultsAndACommentAboveEachKey)
{
    test::TempDir dir;
    Settings settings;
    settings.verifyDump = true;
    std::vector<std::string> problems;
    LoadSettings(dir.File("Veltrane.ini"), settings, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(settings.exportTimeoutMinutes, 240);
    EXPECT_EQ(settings.overdueAlertHours, 2);
    EXPECT_FALSE(settings.verifyDump);
    const std::string text = ReadBytes(dir.File("Veltrane.ini"));
    EXPECT_EQ(text.rfind("[Veltrane]\n; ", 0), 0u) << text;
    for (const char* line : {"\nExportTimeoutMinutes=240\n", "\nOverdueAlertHours=2\n",
                             "\nVerifyDump=0\n", "\nImportUtility=\n", "\nMetricsFile=\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(Settings, KeepsTheOperatorsLinesAndNamesAValueItCannotRead)
{
    test::TempDir dir;
    const std::string path = dir.File("Veltrane.ini");
    const std::string written = "; my notes\n[Veltrane]\nExportTimeoutMinutes = 0.05\r\n"
                                "OverdueAlertHours=soon\nMyOwnKey=1\n[Other]\nVerifyDump=1\n";
    test::WriteBytes(path, written);
    Settings settings;
    std::vector<std::string> problems;
    LoadSettings(path, settings, problems);
    EXPECT_DOUBLE_EQ(settings.exportTimeoutMinutes, 0.05);
    EXPECT_EQ(settings.overdueAlertHours, 2); // unreadable: the default
    EXPECT_FALSE(settings.verifyDump);        // another section's key is not ours
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("OverdueAlertHours"), std::string::npos) << problems[0];

    // The keys it lacked are added inside its section; nothing else changes.
    const std::string text = ReadBytes(path);
    const std::size_t other = text.find("[Other]");
    ASSERT_NE(other, std::string::npos);
    EXPECT_EQ(text.substr(0, 85), written.substr(0, 85)); // up to [Other]
    EXPECT_LT(text.find("\nVerifyDump=0\n"), other);
    EXPECT_LT(text.find("\nImportUtility=\n"), other);
    EXPECT_EQ(text.substr(other), "[Other]\nVerifyDump=1\n");
    // Read again, the file is whole and left as it is.
    LoadSettings(path, settings, problems);
    EXPECT_EQ(ReadBytes(path), text);
}

// A value outside its sane range keeps the default: a time limit of 1e12
// minutes overflowed and stopped every export at once.
TEST(Settings, ValuesOutsideTheirRangeKeepTheirDefaults)
{
    const struct
    {
        const char* line;
        bool accepted;
    } cases[] = {
        {"ExportTimeoutMinutes=1e12", false}, {"ExportTimeoutMinutes=0.0001", false},
        {"ExportTimeoutMinutes=0", true},     {"ExportTimeoutMinutes=43200", true},
        {"OverdueAlertHours=1e300", false},   {"OverdueAlertHours=-1", false},
        {"OverdueAlertHours=8784", true},     {"VerifyDump=2", false},
        {"RunMissedBackups=0", true},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        test::WriteBytes(dir.File("Veltrane.ini"), std::string("[Veltrane]\n") + c.line + "\n");
        Settings settings;
        std::vector<std::string> problems;
        LoadSettings(dir.File("Veltrane.ini"), settings, problems);
        EXPECT_EQ(problems.empty(), c.accepted) << c.line;
    }
}
