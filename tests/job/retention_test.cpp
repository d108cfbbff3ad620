#include "platform/job_error.h"
#include "job/retention.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace veltrane;
using veltrane::test::TempDir;
using Names = std::vector<std::string>;

namespace {

std::string Stamp(int run)
{
    // Runs one day apart, in order: 20070301010203, 20070302010203, ...
    const std::string day = std::to_string(run);
    return "200703" + std::string(2 - day.size(), '0') + day + "010203";
}

void Touch(const TempDir& dir, const std::string& name)
{
    veltrane::test::WriteBytes(dir.File(name), "backup");
}

Names Listing(const TempDir& dir)
{
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// user + "_" + stamp of each run + extension
Names Backups(const std::string& user, std::initializer_list<int> runs, const std::string& ext)
{
    Names names;
    for (int run : runs)
        names.push_back(user + "_" + Stamp(run) + ext);
    return names;
}

Names Sorted(std::initializer_list<Names> groups)
{
    Names all;
    for (const auto& group : groups)
        all.insert(all.end(), group.begin(), group.end());
    std::sort(all.begin(), all.end());
    return all;
}

void Create(const TempDir& dir, const Names& names)
{
    for (const auto& name : names)
        Touch(dir, name);
}

} // namespace

TEST(PurgeOldBackups, KeepsTheNewestOfEachKindSeparately)
{
    TempDir dir;
    Create(dir, Backups("SCOTT", {1, 2, 3, 4, 5}, ".DMP"));
    Create(dir, Backups("SCOTT", {1, 2, 3}, ".LOG"));
    Create(dir, Backups("SCOTT", {2, 3, 4, 5}, ".rar")); // caught by ".RAR" in any case

    EXPECT_TRUE(PurgeOldBackups(dir.File("SCOTT_"), 3));

    EXPECT_EQ(Listing(dir),
              Sorted({Backups("SCOTT", {3, 4, 5}, ".DMP"), Backups("SCOTT", {1, 2, 3}, ".LOG"),
                      Backups("SCOTT", {3, 4, 5}, ".rar")}));
}

TEST(PurgeOldBackups, CountRuleAtAndAroundTheReservedCount)
{
    struct Case
    {
        int present;
        int reserved;
        int remaining;
    };
    const Case cases[] = {
        {3, 3, 3},                                              // equal: nothing deleted
        {4, 3, 3},  {9, 2, 2}, {1, 1, 1}, {2, 5, 2}, {4, 0, 4}, // zero deletes nothing
        {4, -1, 4},                                             // neither does a negative count
        {0, 2, 0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Names all;
        for (int run = 1; run <= c.present; ++run)
            all.push_back("SCOTT_" + Stamp(run) + ".DMP");
        Create(dir, all);

        EXPECT_TRUE(PurgeOldBackups(dir.File("SCOTT_"), c.reserved));

        const Names newest(all.end() - c.remaining, all.end());
        EXPECT_EQ(Listing(dir), newest) << c.present << " present, " << c.reserved << " reserved";
    }
}

TEST(PurgeOldBackups, NeverTouchesAnotherItemsOrForeignFiles)
{
    TempDir dir;
    // A_B's names also begin with "A_", and sort after A's own.
    const Names otherUser = Backups("A_B", {1, 2, 3, 4}, ".DMP");
    const Names lookalikes = {
        "A_2007030101020.DMP",      // 13 digits
        "A_200703010102034.DMP",    // 15 digits
        "A_2007030101020x.DMP",     // not all digits
        "A_20070301010203.DMP.bak", // another extension after it
        "A_20070301010203.DMPX",    "A_20070301010203.TXT", "XA_20070301010203.DMP",
    };
    Create(dir, otherUser);
    Create(dir, lookalikes);
    // The user name in another letter case is the same account: its run 3
    // counts with A's own and is purged in run order.
    Create(dir, Backups("A", {1, 2, 4}, ".Dmp"));
    Create(dir, Backups("a", {3}, ".DMP"));
    std::filesystem::create_directory(dir.File("A_20070309010203.DMP"));

    EXPECT_TRUE(PurgeOldBackups(dir.File("A_"), 1));

    EXPECT_EQ(Listing(dir),
              Sorted({otherUser, lookalikes, Backups("A", {4}, ".Dmp"), {"A_20070309010203.DMP"}}));
}

TEST(PurgeOldBackups, PrefixWithoutFolderMeansTheCurrentFolder)
{
    TempDir dir;
    Create(dir, Backups("SCOTT", {1, 2}, ".LOG"));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const bool result = PurgeOldBackups("SCOTT_", 1);
    std::filesystem::current_path(previous);

    EXPECT_TRUE(result);
    EXPECT_EQ(Listing(dir), Backups("SCOTT", {2}, ".LOG"));
}

TEST(PurgeOldBackups, FolderThatCannotBeListedRaises)
{
    TempDir dir;
    const std::string missing = dir.File("ORCL") + "/SCOTT_";
    try {
        PurgeOldBackups(missing, 2);
        FAIL() << "no error raised";
    } catch (const JobError& error) {
        EXPECT_EQ(error.component(), "PurgeOldBackups");
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_NE(error.description().find(dir.File("ORCL")), std::string::npos);
        EXPECT_EQ(error.StatusText(),
                  error.description() + "-PurgeOldBackups-" + std::to_string(ENOENT));
    }
}

TEST(PurgeOldBackups, FileThatCannotBeDeletedRaises)
{
    // Root may delete anything on a writable file system, so the folder is a
    // file system of its own, mounted read-only in a private mount namespace.
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    TempDir dir;
    ASSERT_EQ(mount("tmpfs", dir.path().c_str(), "tmpfs", 0, nullptr), 0) << strerror(errno);
    Create(dir, Backups("SCOTT", {1, 2, 3}, ".DMP"));
    ASSERT_EQ(mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    try {
        PurgeOldBackups(dir.File("SCOTT_"), 1);
        ADD_FAILURE() << "no error raised";
    } catch (const JobError& e) {
        EXPECT_EQ(e.component(), "PurgeOldBackups");
        EXPECT_EQ(e.code(), EROFS);
        EXPECT_NE(e.description().find(dir.File("SCOTT_" + Stamp(1) + ".DMP")), std::string::npos)
            << e.description();
    }
    EXPECT_EQ(Listing(dir), Backups("SCOTT", {1, 2, 3}, ".DMP"));
    umount(dir.path().c_str());
}
