// A shared data folder and backup folder in which another account planted
// links and FIFOs: a run as root never writes, replaces, deletes or shows
// anything through them, never blocks on them, and says what it refused.

#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/net.h"
#include "support/second_account.h"
#include "support/temp_dir.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace veltrane;
using test::ReadBytes;
using test::TempDir;

namespace {

const std::string kProgram = std::string(VELTRANE_PROGRAM_DIR) + "/veltrane";

enum class Plant { LinkToVictim, LinkToMissing, Fifo };

struct Planted
{
    const char* name; // in the data folder, or "@" + name in the backup folder
    Plant what;
    const char* line; // what the run says, after the planted path
};

mode_t ModeOf(const std::string& path)
{
    struct stat st
    {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

} // namespace

TEST(PlantedFiles, ARunAsRootRefusesWhatAnotherAccountPlanted)
{
    std::string whyNot;
    const std::optional<test::Account> planter = test::SecondAccount(whyNot);
    if (!planter)
        GTEST_SKIP() << whyNot;
    const Planted cases[] = {
        {"Veltrane.log", Plant::LinkToVictim, "\": it is a symbolic link"},
        {"Veltrane.log", Plant::LinkToMissing, "\": it is a symbolic link"},
        {"Veltrane.log", Plant::Fifo, "\": it is not a regular file but a FIFO"},
        {"Veltrane.state", Plant::LinkToVictim, "\": it is a symbolic link that another account"},
        {"Veltrane.ini", Plant::LinkToVictim, "\": it is a symbolic link that another account"},
        {"Schedule.dat.tmp", Plant::LinkToVictim, ""}, // the save clears it and goes on
        {".veltrane.lock", Plant::LinkToVictim, "\": it is a symbolic link; remove it"},
        {"@ORCL", Plant::LinkToVictim, ": it is a symbolic link"},
    };
    for (const Planted& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(static_cast<int>(c.what)));
        TempDir data, backups, victims, logs;
        for (const TempDir* shared : {&data, &backups})
            ASSERT_EQ(chmod(shared->path().c_str(), 0777), 0);
        const std::string victim = victims.File("victim");
        test::WriteBytes(victim, "precious\n");
        ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
        auto item = std::make_shared<ScheduleRecord>();
        item->bEnabled = true;
        item->strServiceName = "ORCL";
        item->strID = "SCOTT";
        item->strPWD = "tiger";
        item->strBackUpFolder = backups.path() + "/";
        item->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
        ASSERT_TRUE(SaveSchedule(data.File("Schedule.dat"), {item}).ok());

        const std::string name = c.name;
        const std::string planted =
            name.starts_with('@') ? backups.File(name.substr(1)) : data.File(name);
        const std::string target = name.starts_with('@')            ? victims.path()
                                   : c.what == Plant::LinkToMissing ? victims.File("cron-job")
                                                                    : victim;
        ASSERT_TRUE(test::AsAccount(*planter, [&] {
            return c.what == Plant::Fifo ? mkfifo(planted.c_str(), 0666) == 0
                                         : symlink(target.c_str(), planted.c_str()) == 0;
        }));

        const std::string out = logs.File("out");
        test::ChildProcess run({kProgram, "--run-item", "1", "--folder", data.path()}, out);
        const int status = run.WaitForExit(60000);
        EXPECT_TRUE(WIFEXITED(status)) << "blocked: " << ReadBytes(out);
        if (*c.line != '\0') {
            EXPECT_NE(ReadBytes(out).find(planted + c.line), std::string::npos) << ReadBytes(out);
        }
        EXPECT_EQ(ReadBytes(victim), "precious\n");
        EXPECT_EQ(ModeOf(victim) & 07777, 0600u);
        EXPECT_FALSE(test::FileExists(victims.File("cron-job")));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(victims.path()), {}), 1);
        const mode_t left = *c.line == '\0' ? 0 : c.what == Plant::Fifo ? S_IFIFO : S_IFLNK;
        EXPECT_EQ(ModeOf(planted) & S_IFMT, left); // a refused thing is left for the operator
    }
}

// Root on a folder that another account owns works on nothing there and says
// how to run as the owner.
TEST(PlantedFiles, RootRefusesAFolderOfAnotherAccount)
{
    std::string whyNot;
    const std::optional<test::Account> owner = test::SecondAccount(whyNot);
    if (!owner)
        GTEST_SKIP() << whyNot;
    TempDir data, logs;
    ASSERT_EQ(chown(data.path().c_str(), owner->uid, owner->gid), 0);
    for (const char* command : {"--run-item", "--service", "--check"}) {
        const std::string out = logs.File(std::string(command) + ".out");
        std::vector<std::string> argv{kProgram, command, "--folder", data.path()};
        if (command == std::string("--run-item"))
            argv.insert(argv.begin() + 2, "1");
        test::ChildProcess run(argv, out);
        const int status = run.WaitForExit(20000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_NE(ReadBytes(out).find("runuser -u veltrane-planter -- veltrane " + argv[1]),
                  std::string::npos)
            << ReadBytes(out);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data.path()), {}), 0);
    }
}

// Without XDG_RUNTIME_DIR (cron, a timer), another account that took
// /tmp/veltrane-<uid> first, or planted folders named like the private one,
// never stops a run nor receives the login file.
TEST(PlantedFiles, NoClaimedNameStopsARunOrReceivesTheLogin)
{
    std::string whyNot;
    const std::optional<test::Account> planter = test::SecondAccount(whyNot);
    if (!planter)
        GTEST_SKIP() << whyNot;
    // A /tmp of this test's own, where the planter may take the name first.
    ASSERT_TRUE(test::EnterPrivateNetwork(whyNot)) << whyNot;
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777"), 0) << std::strerror(errno);
    TempDir data, backups, victims, logs;
    for (const TempDir* shared : {&data, &backups})
        ASSERT_EQ(chmod(shared->path().c_str(), 0777), 0);
    const std::string claimed = "/tmp/veltrane-" + std::to_string(geteuid());
    ASSERT_TRUE(test::AsAccount(*planter, [&] {
        return mkdir(claimed.c_str(), 0777) == 0 &&
               mkdir(data.File(".veltrane-secrets-AAAAAA").c_str(), 0777) == 0 &&
               chmod(data.File(".veltrane-secrets-AAAAAA").c_str(), 0777) == 0 &&
               symlink(victims.path().c_str(), data.File(".veltrane-secrets-BBBBBB").c_str()) == 0;
    }));
    auto item = std::make_shared<ScheduleRecord>();
    item->bEnabled = true;
    item->strServiceName = "ORCL";
    item->strID = "SCOTT";
    item->strPWD = "tiger";
    item->strBackUpFolder = backups.path() + "/";
    item->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    ASSERT_TRUE(SaveSchedule(data.File("Schedule.dat"), {item}).ok());
    unsetenv("XDG_RUNTIME_DIR");
    setenv("FAKE_EXP_MODE", "english", 1);
    for (const char* command : {"--check", "--run-item"}) {
        const std::string out = logs.File(command);
        std::vector<std::string> argv{kProgram, command, "--folder", data.path()};
        if (command == std::string("--run-item"))
            argv.insert(argv.begin() + 2, "1");
        test::ChildProcess run(argv, out);
        const int status = run.WaitForExit(60000);
        EXPECT_EQ(ReadBytes(out).find("비밀 파일 폴더"), std::string::npos) << ReadBytes(out);
        if (command == std::string("--run-item")) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadBytes(out);
        }
    }
    // A data folder that cannot take it (read-only) is found by --check.
    ASSERT_EQ(mount(data.path().c_str(), data.path().c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(
        mount(nullptr, data.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    test::ChildProcess check({kProgram, "--check", "--folder", data.path()}, logs.File("ro"));
    EXPECT_EQ(check.WaitForExit(60000) >> 8, 1);
    EXPECT_NE(ReadBytes(logs.File("ro")).find("비밀 파일 폴더: "), std::string::npos)
        << ReadBytes(logs.File("ro"));
    for (const std::string& planted : {victims.path(), data.File(".veltrane-secrets-AAAAAA")})
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(planted), {}), 0) << planted;
}
