#include "job/retention.h"
#include "platform/codepage.h"
#include "support/manual_clock.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace veltrane;
using veltrane::test::TempDir;
using Names = std::vector<std::string>;

namespace {

const LocalDateTime kNow = test::ManualClock("2007-03-20 00:00:00").Now();

std::string Stamp(int run)
{
    // Runs one day apart, in order: 20070301010203, 20070302010203, ...
    const std::string day = std::to_string(run);
    return "200703" + std::string(2 - day.size(), '0') + day + "010203";
}

Names Listing(const TempDir& dir)
{
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// user + "_" + stamp of each run + each extension
Names Backups(const std::string& user, std::initializer_list<int> runs,
              std::initializer_list<const char*> extensions)
{
    Names names;
    for (int run : runs)
        for (const char* ext : extensions)
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

// A log holds what the export utility said: its closing text of success, or
// of failure. Other files hold anything.
void Create(const TempDir& dir, const Names& names, bool good = true)
{
    for (const auto& name : names) {
        const bool log = name.ends_with(".LOG") && !name.ends_with(".VERIFY.LOG");
        test::WriteBytes(dir.File(name),
                         !log ? "backup"
                         : good
                             ? cp949::FromUtf8("엑스포트가 경고 없이 정상적으로 종료되었습니다.\n")
                             : "EXP-00000: Export terminated unsuccessfully\n");
    }
}

PurgeReport Purge(const std::string& prefix, int reserved, std::string_view ownStamp = {})
{
    return PurgeOldBackups(prefix, reserved, kNow, ownStamp);
}

} // namespace

TEST(PurgeOldBackups, KeepsTheNewestGoodBackupsOfEachKind)
{
    TempDir dir;
    Create(dir, Backups("SCOTT", {2, 3, 4, 5, 6}, {".DMP", ".LOG"}));
    Create(dir, Backups("SCOTT", {2, 5, 6}, {".rar"})); // caught by ".RAR" in any case
    Create(dir, Backups("SCOTT", {2, 6}, {".VERIFY.LOG"}));
    // What an earlier purge left of an older set: an archive never sent and
    // its read-back log.
    Create(dir, Backups("SCOTT", {1}, {".rar", ".VERIFY.LOG"}));

    const PurgeReport report = Purge(dir.File("SCOTT_"), 3);

    // An archive and a read-back log go with their set's dump and log.
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(Listing(dir),
              Sorted({Backups("SCOTT", {4, 5, 6}, {".DMP", ".LOG"}),
                      Backups("SCOTT", {5, 6}, {".rar"}), Backups("SCOTT", {6}, {".VERIFY.LOG"})}));
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
            all.push_back("SCOTT_" + Stamp(run) + ".LOG");
        Create(dir, all);

        Purge(dir.File("SCOTT_"), c.reserved);

        const Names newest(all.end() - c.remaining, all.end());
        EXPECT_EQ(Listing(dir), newest) << c.present << " present, " << c.reserved << " reserved";
    }
}

// Retried failures came every second and each pushed a good backup out; a
// backup stamped by a clock that was ahead outlived every new one.
TEST(PurgeOldBackups, OnlyGoodBackupsCountAndAFutureStampIsTheOldest)
{
    TempDir dir;
    Create(dir, Backups("SCOTT", {1, 3, 6}, {".DMP", ".LOG"}));
    Create(dir, Backups("SCOTT", {2, 4, 5, 7}, {".DMP", ".LOG"}), false);
    Create(dir, Backups("SCOTT", {8}, {".DMP"}));        // no log: not a set this program made
    Create(dir, Backups("SCOTT", {9}, {".LOG"}), false); // the run now under way
    const Names future = {"SCOTT_20300101000000.DMP", "SCOTT_20300101000000.LOG"};
    Create(dir, future);

    const PurgeReport report = Purge(dir.File("SCOTT_"), 2, Stamp(9));

    EXPECT_EQ(report.futureStamped, future);
    EXPECT_EQ(Listing(dir),
              Sorted({Backups("SCOTT", {3, 5, 6, 7}, {".DMP", ".LOG"}),
                      Backups("SCOTT", {8}, {".DMP"}), Backups("SCOTT", {9}, {".LOG"})}));
}

TEST(PurgeOldBackups, NeverTouchesAnotherItemsOrForeignFiles)
{
    TempDir dir;
    // A_B's names also begin with "A_", and sort after A's own.
    const Names otherUser = Backups("A_B", {1, 2, 3, 4}, {".DMP", ".LOG"});
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
    Create(dir, Backups("A", {1, 2, 4}, {".Dmp", ".LOG"}));
    Create(dir, Backups("a", {3}, {".DMP", ".LOG"}));
    std::filesystem::create_directory(dir.File("A_20070309010203.DMP"));

    Purge(dir.File("A_"), 1);

    EXPECT_EQ(Listing(dir), Sorted({otherUser,
                                    lookalikes,
                                    Backups("A", {4}, {".Dmp", ".LOG"}),
                                    {"A_20070309010203.DMP"}}));
}

TEST(PurgeOldBackups, PrefixWithoutFolderMeansTheCurrentFolder)
{
    TempDir dir;
    Create(dir, Backups("SCOTT", {1, 2}, {".LOG"}));
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    Purge("SCOTT_", 1);
    std::filesystem::current_path(previous);

    EXPECT_EQ(Listing(dir), Backups("SCOTT", {2}, {".LOG"}));
}

// Nothing that cannot be deleted stops the run: it is named, and the rest is
// purged.
TEST(PurgeOldBackups, WhatCannotBeDeletedOrListedIsReportedAndTheRestPurged)
{
    TempDir missing;
    const PurgeReport unlisted = Purge(missing.File("ORCL") + "/SCOTT_", 2);
    ASSERT_EQ(unlisted.problems.size(), 1u);
    EXPECT_EQ(unlisted.problems[0], missing.File("ORCL") + ": " + std::strerror(ENOENT));

    // A file mounted over itself cannot be unlinked, whoever asks (root too).
    std::string error;
    ASSERT_TRUE(veltrane::test::EnterPrivateNetwork(error)) << error;
    TempDir dir;
    Create(dir, Backups("SCOTT", {1, 2, 3}, {".DMP", ".LOG"}));
    const std::string held = dir.File("SCOTT_" + Stamp(1) + ".DMP");
    ASSERT_EQ(mount(held.c_str(), held.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);

    const PurgeReport report = Purge(dir.File("SCOTT_"), 1);
    umount(held.c_str());

    EXPECT_EQ(report.problems, Names{held + ": " + std::strerror(EBUSY)});
    EXPECT_EQ(Listing(dir),
              Sorted({{"SCOTT_" + Stamp(1) + ".DMP"}, Backups("SCOTT", {3}, {".DMP", ".LOG"})}));
}
