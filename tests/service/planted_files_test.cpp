// A shared data folder and backup folder in which another account planted
// links, FIFOs and names: a run as root never writes, replaces or deletes
// through them, never hands them the login, never blocks on them, and says
// what it refused.

#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/net.h"
#include "support/second_account.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace veltrane;
using test::ReadBytes;
using test::TempDir;

namespace {

const std::string kProgram = std::string(VELTRANE_PROGRAM_DIR) + "/veltrane";

enum class Plant { LinkToVictim, LinkToMissing, Fifo, OwnTheFolder };
using Kind = std::filesystem::file_type;

} // namespace

TEST(PlantedFiles, ARunAsRootRefusesWhatAnotherAccountPlanted)
{
    std::string why;
    const std::optional<passwd> planter = test::SecondAccount(why);
    if (!planter)
        GTEST_SKIP() << why;
    // In the test's own mount namespace, the name of the private folder of
    // earlier versions is a folder the planter made first: one of its own
    // bound over the name (the program and its data may lie in /tmp itself).
    ASSERT_TRUE(test::EnterPrivateNetwork(why)) << why;
    const std::string claimed = "/tmp/veltrane-" + std::to_string(geteuid());
    mkdir(claimed.c_str(), 0700); // as the program makes it, when no one has yet
    TempDir planters;
    ASSERT_EQ(chmod(planters.path().c_str(), 0777), 0);
    const std::string own = planters.File("claimed");
    ASSERT_TRUE(test::AsAccount(*planter, [&] { return mkdir(own.c_str(), 0777) == 0; }));
    ASSERT_EQ(mount(own.c_str(), claimed.c_str(), nullptr, MS_BIND, nullptr), 0);
    unsetenv("XDG_RUNTIME_DIR");
    setenv("FAKE_EXP_MODE", "english", 1);
    const struct
    {
        const char* name; // in the data folder, "@" + name in the backup folder
        Plant what;
        const char* line; // what the run says after the planted path; "": it succeeds
        Kind left;        // what stays in the planted place
    } cases[] = {
        {"Veltrane.log", Plant::LinkToVictim, "\": it is a symbolic link", Kind::symlink},
        {"Veltrane.log", Plant::LinkToMissing, "\": it is a symbolic link", Kind::symlink},
        {"Veltrane.log", Plant::Fifo, "\": it is not a regular file but a FIFO", Kind::fifo},
        {"Veltrane.state", Plant::LinkToVictim, "\": it is a symbolic link that another",
         Kind::symlink},
        {"Veltrane.ini", Plant::LinkToVictim, "\": it is a symbolic link that another",
         Kind::symlink},
        {".veltrane-secrets-AAAAAA", Plant::LinkToVictim, "", Kind::symlink},
        {"Schedule.dat.tmp", Plant::LinkToVictim, "", Kind::not_found}, // the save clears it
        {".veltrane.lock", Plant::LinkToVictim, "\": it is a symbolic link; remove it",
         Kind::symlink},
        {"@ORCL", Plant::LinkToVictim, ": it is a symbolic link", Kind::symlink},
        {"", Plant::OwnTheFolder,
         " belongs to the account veltrane-planter; Veltrane does not work on it as root. Run "
         "it as that account: runuser -u veltrane-planter -- veltrane --run-item 1",
         Kind::directory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(static_cast<int>(c.what)));
        TempDir data, backups, victims, logs;
        for (const TempDir* shared : {&data, &backups})
            ASSERT_EQ(chmod(shared->path().c_str(), 0777), 0);
        const std::string victim = victims.File("victim");
        test::WriteBytes(victim, "precious\n");
        ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
        ScheduleRecord item;
        item.bEnabled = true;
        item.strServiceName = "ORCL";
        item.strID = "SCOTT";
        item.strBackUpFolder = backups.path() + "/";
        item.strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
        ASSERT_TRUE(
            SaveSchedule(data.File("Schedule.dat"), {std::make_shared<ScheduleRecord>(item)}).ok());

        const std::string name = c.name;
        const std::string planted = name.starts_with('@') ? backups.File(name.substr(1))
                                    : name.empty()        ? data.path()
                                                          : data.File(name);
        const std::string target = name.starts_with('@')            ? victims.path()
                                   : c.what == Plant::LinkToMissing ? victims.File("cron-job")
                                                                    : victim;
        if (c.what == Plant::OwnTheFolder)
            ASSERT_EQ(chown(planted.c_str(), planter->pw_uid, planter->pw_gid), 0);
        else
            ASSERT_TRUE(test::AsAccount(*planter, [&] {
                return c.what == Plant::Fifo ? mkfifo(planted.c_str(), 0666) == 0
                                             : symlink(target.c_str(), planted.c_str()) == 0;
            }));

        const std::string out = logs.File("out");
        test::ChildProcess run({kProgram, "--run-item", "1", "--folder", data.path()}, out);
        const int status = run.WaitForExit(60000);
        EXPECT_TRUE(WIFEXITED(status)) << "blocked: " << ReadBytes(out);
        if (*c.line == '\0') {
            EXPECT_EQ(WEXITSTATUS(status), 0) << ReadBytes(out);
        } else {
            EXPECT_NE(ReadBytes(out).find(planted + c.line), std::string::npos) << ReadBytes(out);
        }
        EXPECT_EQ(ReadBytes(victim), "precious\n");
        EXPECT_EQ(std::filesystem::status(victim).permissions(), std::filesystem::perms(0600));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(victims.path()), {}), 1);
        EXPECT_EQ(std::filesystem::symlink_status(planted).type(), c.left); // left as it was
    }
    // A data folder that cannot take the private folder is found by --check.
    TempDir readOnly, logs;
    ASSERT_EQ(mount(readOnly.path().c_str(), readOnly.path().c_str(), nullptr, MS_BIND, nullptr),
              0);
    ASSERT_EQ(
        mount(nullptr, readOnly.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
        0);
    test::ChildProcess check({kProgram, "--check", "--folder", readOnly.path()}, logs.File("out"));
    EXPECT_EQ(check.WaitForExit(60000), 1 << 8);
    EXPECT_NE(ReadBytes(logs.File("out")).find("비밀 파일 폴더: Cannot make a private folder"),
              std::string::npos)
        << ReadBytes(logs.File("out"));
}
