// The items document against the real program: an import and an export give
// back the same items, a refused document or a busy folder changes nothing,
// and an imported item runs with what it was given (its mail login).

#include "cli/items_command.h"
#include "store/schedule_file.h"
#include "support/child_process.h"
#include "support/ftp_item.h"
#include "support/net.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace veltrane;
using test::ChildProcess;
using test::ReadBytes;
using test::TempDir;

namespace {

const std::string kProgram = std::string(VELTRANE_PROGRAM_DIR) + "/veltrane";

// Runs `command` through sh with the program as $V; its exit status.
int Shell(const std::string& command, const std::string& out)
{
    return ChildProcess({"/bin/sh", "-c", "V=" + kProgram + "; " + command}, out).ExitCode(60000);
}

std::shared_ptr<ScheduleRecord> Item(const TempDir& backups)
{
    auto r = std::make_shared<ScheduleRecord>();
    r->strBackUpType = kKindWeekly;
    r->strWeek = "수";
    r->strTime = "02:30:00";
    r->strServiceName = "ORCL";
    r->strID = "SCOTT";
    r->strPWD = "tiger";
    r->strBackUpFolder = backups.path() + "/";
    r->strProgramPath = std::string(JOB_TEST_DATA_DIR) + "/fake_exp.py";
    r->strDescription = "야간 \"전체\" 백업 \\ 매주";
    r->nReservedFiles = 7;
    return r;
}

} // namespace

TEST(ItemsProgram, AnImportExportsAsItCameAndARefusalChangesNothing)
{
    TempDir data, backups, logs;
    auto second = Item(backups);
    second->nNo = 2;
    second->bEnabled = true;
    second->bDataTransfer = true;
    second->strFtpUserID = "up";
    second->strFtpUserPassword = "ftp 비밀";
    second->strSmtpUserPassword = "smtp!";
    auto first = Item(backups);
    first->nNo = 1;
    const std::string document = FormatItemsJson({first, second}, true);
    test::WriteBytes(logs.File("items.json"), document);
    const std::string in = " --folder " + data.path();
    ASSERT_EQ(Shell("$V --import-items " + logs.File("items.json") + in, logs.File("out")), 0)
        << ReadBytes(logs.File("out"));
    ASSERT_EQ(Shell("$V --export-items --with-secrets" + in, logs.File("export.json")), 0);
    EXPECT_EQ(ReadBytes(logs.File("export.json")), document);
    ASSERT_EQ(Shell("$V --export-items" + in, logs.File("plain.json")), 0);
    EXPECT_EQ(ReadBytes(logs.File("plain.json")).find("PWD\""), std::string::npos);
    EXPECT_EQ(ReadBytes(logs.File("plain.json")).find("Password\""), std::string::npos);

    // The plain export, with the second item's schedule broken: refused whole.
    const std::string stored = ReadBytes(data.File("Schedule.dat"));
    EXPECT_EQ(
        Shell("sed '3s/\"수\"/\"Wed\"/' " + logs.File("plain.json") + " | $V --import-items -" + in,
              logs.File("out")),
        1);
    EXPECT_NE(ReadBytes(logs.File("out")).find("items[1] (nNo 2), strWeek"), std::string::npos)
        << ReadBytes(logs.File("out"));
    EXPECT_EQ(ReadBytes(data.File("Schedule.dat")), stored);

    // Unchanged, it keeps the passwords it leaves out.
    ASSERT_EQ(Shell("$V --import-items - <" + logs.File("plain.json") + in, logs.File("out")), 0);
    EXPECT_EQ(ReadBytes(data.File("Schedule.dat")), stored);

    // Beside the service the folder is not the import's to write.
    ChildProcess service({kProgram, "--service", "--folder", data.path()}, logs.File("service"));
    ASSERT_TRUE(test::WaitForText(logs.File("service"), "서비스 시작"));
    EXPECT_EQ(Shell("$V --import-items " + logs.File("items.json") + in, logs.File("out")), 2);
    EXPECT_NE(ReadBytes(logs.File("out")).find("systemctl stop veltrane"), std::string::npos);
    EXPECT_EQ(ReadBytes(data.File("Schedule.dat")), stored);
}

TEST(ItemsProgram, AnImportedItemMailsAndUploadsWithItsPasswords)
{
    TempDir data, backups, logs;
    std::filesystem::create_directory(logs.File("sink"));
    const int port = test::FreeLoopbackPort();
    ChildProcess sink({"/usr/bin/python3", std::string(MAILER_TEST_DATA_DIR) + "/smtp_sink.py",
                       "--host", "127.0.0.1", "--port", std::to_string(port), "--folder",
                       logs.File("sink"), "--user", "backup", "--password", "s3cret"},
                      logs.File("sink.log"));
    ASSERT_TRUE(test::WaitForPort("127.0.0.1", port)) << ReadBytes(logs.File("sink.log"));
    auto item = Item(backups);
    item->nNo = 1;
    item->strMailReceiveList = "dba@example.kr";
    item->bUseSmtpServer = true;
    item->strSmtpServer = "127.0.0.1:" + std::to_string(port);
    item->strSmtpUserID = "backup";
    item->strSmtpUserPassword = "s3cret";
    hoistline::test::FtpTestServer ftp;
    ASSERT_TRUE(ftp.ok());
    test::UploadTo(ftp, *item);
    test::WriteBytes(logs.File("items.json"), FormatItemsJson({item}, true));
    const std::string in = " --folder " + data.path();
    ASSERT_EQ(Shell("$V --import-items - <" + logs.File("items.json") + in, logs.File("out")), 0)
        << ReadBytes(logs.File("out"));
    EXPECT_EQ(Shell("$V --run-item 1" + in, logs.File("run")), 0) << ReadBytes(logs.File("run"));
    EXPECT_EQ(ReadBytes(logs.File("sink/0001.env")), "backup@127.0.0.1\ndba@example.kr\n")
        << ReadBytes(logs.File("run"));
    std::size_t uploaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ftp.DiskPath("/backup")))
        uploaded += entry.path().extension() == ".DMP";
    EXPECT_EQ(uploaded, 1u) << ReadBytes(logs.File("run"));
    // The run's log, as --log shows it.
    EXPECT_EQ(Shell("$V --log 1" + in, logs.File("log")), 0);
    EXPECT_NE(ReadBytes(logs.File("log")).find("Export terminated successfully"), std::string::npos)
        << ReadBytes(logs.File("log"));
}

// A run in progress shows in --status (both forms) and in the metrics, and
// is gone from them once it ends; its log is then the item's last.
TEST(ItemsProgram, ARunInProgressShowsWhileItRuns)
{
    TempDir data, backups, logs;
    const std::string slow = logs.File("slow_exp");
    test::WriteBytes(slow, "#!/bin/sh\nFAKE_EXP_SILENCE=4 exec " JOB_TEST_DATA_DIR
                           "/fake_exp.py \"$@\"\n");
    std::filesystem::permissions(slow, std::filesystem::perms::owner_all);
    auto item = Item(backups);
    item->strProgramPath = slow;
    ASSERT_TRUE(SaveSchedule(data.File("Schedule.dat"), {item}).ok());
    const std::string in = " --folder " + data.path();
    ChildProcess run({kProgram, "--run-item", "1", "--folder", data.path()}, logs.File("run"));
    const auto status = [&] {
        Shell("$V --status --json" + in, logs.File("status.json"));
        return ReadBytes(logs.File("status.json"));
    };
    ASSERT_TRUE(test::Eventually([&] {
        return status().find("\"running\": true") != std::string::npos;
    })) << ReadBytes(logs.File("status.json"));
    EXPECT_NE(status().find("\"run_stage\": \"export\""), std::string::npos);
    Shell("$V --status" + in, logs.File("status.txt"));
    EXPECT_NE(ReadBytes(logs.File("status.txt")).find("엑스포트 ("), std::string::npos);
    EXPECT_NE(ReadBytes(data.File("Veltrane.prom"))
                  .find("veltrane_running{item=\"1\",service=\"ORCL\","
                        "user=\"SCOTT\"} 1"),
              std::string::npos);

    ASSERT_EQ(run.WaitForExit(60000), 0) << ReadBytes(logs.File("run"));
    const std::string after = status();
    EXPECT_NE(after.find("\"running\": false, \"run_started\": null, \"run_stage\": null"),
              std::string::npos)
        << after;
    EXPECT_NE(after.find("\"last_log\": \"" + backups.path() + "/ORCL/SCOTT_"), std::string::npos);
    EXPECT_NE(ReadBytes(data.File("Veltrane.prom")).find("user=\"SCOTT\"} 0"), std::string::npos);
}

// --check --connect tries what the static check cannot: a mail server on a
// refused port and an SFTP server whose key known_hosts lacks are found, a
// login the server takes is not, and no mail goes out.
TEST(ItemsProgram, CheckConnectFindsARefusedPortAndAnUnknownHostKey)
{
    TempDir data, backups, logs, sftpDir;
    std::filesystem::create_directory(logs.File("sink"));
    const int port = test::FreeLoopbackPort(), refused = test::FreeLoopbackPort();
    ChildProcess sink({"/usr/bin/python3", std::string(MAILER_TEST_DATA_DIR) + "/smtp_sink.py",
                       "--host", "127.0.0.1", "--port", std::to_string(port), "--folder",
                       logs.File("sink"), "--user", "backup", "--password", "s3cret"},
                      logs.File("sink.log"));
    ASSERT_TRUE(test::WaitForPort("127.0.0.1", port)) << ReadBytes(logs.File("sink.log"));
    ScheduleTable items;
    for (const int smtpPort : {port, refused}) {
        items.push_back(Item(backups));
        items.back()->nNo = static_cast<int>(items.size());
        items.back()->bEnabled = items.back()->bUseSmtpServer = true;
        items.back()->strMailReceiveList = "dba@example.kr";
        items.back()->strSmtpServer = "127.0.0.1:" + std::to_string(smtpPort);
        items.back()->strSmtpUserID = "backup";
        items.back()->strSmtpUserPassword = "s3cret";
    }
    // sshd switches users: as root only.
    std::unique_ptr<ChildProcess> sshd;
    const int sftpPort = test::FreeLoopbackPort();
    if (getuid() == 0) {
        sshd = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", SYSTEM_SERVERS_SCRIPT, "--dir",
                                     sftpDir.path(), "--port", std::to_string(sftpPort), "sshd",
                                     "--user", "vltcheck", "--password", "pw"},
            logs.File("sshd.log"));
        ASSERT_TRUE(test::WaitForPort("127.0.0.1", sftpPort, 15000))
            << ReadBytes(logs.File("sshd.log"));
        items.push_back(Item(backups));
        items.back()->nNo = 3;
        items.back()->bEnabled = items.back()->bDataTransfer = true;
        items.back()->strFtpServer = "sftp://127.0.0.1:" + std::to_string(sftpPort);
        items.back()->strFtpUserID = "vltcheck";
        items.back()->strFtpUserPassword = "pw";
    }
    test::WriteBytes(data.File("known_hosts"), "");
    ASSERT_TRUE(SaveSchedule(data.File("Schedule.dat"), items).ok());

    EXPECT_EQ(Shell("$V --check --connect --folder " + data.path(), logs.File("out")), 1);
    const std::string out = ReadBytes(logs.File("out"));
    // The sink offers no STARTTLS: the login went through, in clear.
    EXPECT_NE(out.find("항목 1 (ORCL, SCOTT): 메일 서버 127.0.0.1:" + std::to_string(port) +
                       ": password sent in clear"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("항목 2 (ORCL, SCOTT): 메일 서버 127.0.0.1:" + std::to_string(refused)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("connection refused"), std::string::npos) << out;
    if (sshd) {
        EXPECT_NE(out.find("항목 3 (ORCL, SCOTT): FTP 서버 sftp://"), std::string::npos) << out;
        EXPECT_NE(out.find("known_hosts"), std::string::npos) << out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(logs.File("sink")));
    // The test mail goes the route the check tried, or fails as the check said.
    EXPECT_EQ(Shell("$V --test-mail 1 --folder " + data.path(), logs.File("mail")), 0);
    EXPECT_EQ(ReadBytes(logs.File("sink/0001.env")), "backup@127.0.0.1\ndba@example.kr\n");
    EXPECT_EQ(Shell("$V --test-mail 2 --folder " + data.path(), logs.File("mail")), 1);
}
