// The library as the program meets it: a shared object in the program
// folder, bound by name at run time, with exactly four C entry points.

#include "c_header_check.h"
#include "ftp_test_server.h"
#include "hoistline.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <latch>
#include <sstream>

namespace hoistline::test {
namespace {

using veltrane::test::FileExists;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;

const std::string kLibraryPath = std::string(VELTRANE_PROGRAM_DIR) + "/libHoistline.so";

using PutOrGet = int (*)(const char*, const char*, const char*, const char*, int, int, const char*);
using Delete = int (*)(const char*, const char*, const char*, const char*, int, int);

TEST(FtpExports, AreExactlyTheFourCalls)
{
    std::string command = "nm -D --defined-only " + kLibraryPath;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> names;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            names.push_back(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"CheckRemoteFolderViaFTP", "DeleteRemoteFileViaFTP",
                                               "GetLastFTPError", "GetRemoteFileViaFTP",
                                               "PutLocalFileViaFTP"}));
}

TEST(FtpExports, WorkWhenBoundByNameAtRunTime)
{
    FtpTestServer server;
    ASSERT_TRUE(server.ok());
    void* library = dlopen(kLibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto put = reinterpret_cast<PutOrGet>(dlsym(library, "PutLocalFileViaFTP"));
    auto get = reinterpret_cast<PutOrGet>(dlsym(library, "GetRemoteFileViaFTP"));
    auto del = reinterpret_cast<Delete>(dlsym(library, "DeleteRemoteFileViaFTP"));
    auto lastError = reinterpret_cast<GetLastFTPErrorProc>(dlsym(library, "GetLastFTPError"));
    ASSERT_TRUE(put && get && del && lastError);

    TempDir local;
    WriteBytes(local.File("up.dmp"), "bound at run time");
    const char* user = FtpTestServer::kUser;
    const char* password = FtpTestServer::kPassword;
    EXPECT_EQ(put("127.0.0.1", "/dl/x.dmp", user, password, server.port(), 0,
                  local.File("up.dmp").c_str()),
              1);
    EXPECT_EQ(get("127.0.0.1", "/dl/x.dmp", user, password, server.port(), 0,
                  local.File("down.dmp").c_str()),
              1);
    EXPECT_EQ(ReadBytes(local.File("down.dmp")), "bound at run time");
    EXPECT_EQ(del("127.0.0.1", "/dl/x.dmp", user, password, server.port(), 0), 1);
    EXPECT_EQ(del("127.0.0.1", "/dl/x.dmp", user, password, server.port(), 0), 0);

    // The reason is cut to fit, always terminated, and never written past
    // the size given; its whole length is the answer.
    const int length = lastError(nullptr, 0);
    std::string whole(length + 1, 'x');
    EXPECT_EQ(lastError(whole.data(), length + 1), length);
    EXPECT_EQ(whole.rfind("DELE refused: 550 ", 0), 0u) << whole;
    char cut[8] = "xxxxxxx";
    for (int size : {0, -1, 5})
        EXPECT_EQ(lastError(cut, size), length);
    EXPECT_EQ(std::string(cut, sizeof cut), std::string("DELE\0xx\0", sizeof cut));
    EXPECT_EQ(dlclose(library), 0);
}

TEST(FtpExports, HeaderServesACCaller)
{
    FtpTestServer server;
    ASSERT_TRUE(server.ok());
    TempDir local;
    WriteBytes(local.File("up.dmp"), "from C");
    EXPECT_EQ(HoistlineRoundTripFromC("127.0.0.1", server.port(), FtpTestServer::kUser,
                                      FtpTestServer::kPassword, "/c/x.dmp",
                                      local.File("up.dmp").c_str(), local.File("down.dmp").c_str()),
              0);
    EXPECT_EQ(ReadBytes(local.File("down.dmp")), "from C");
    EXPECT_FALSE(FileExists(server.DiskPath("/c/x.dmp")));
}

// Calls from several threads at once, each with its own connection, as the
// first calls of a process race to initialise the network library. Every
// other thread gives a wrong password; once all calls are done, each thread
// reads the reason of its own call.
TEST(FtpExports, ConcurrentCallsFromSeveralThreads)
{
    FtpTestServer server;
    ASSERT_TRUE(server.ok());
    TempDir local;
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads, -1);
    std::vector<std::string> reasons(kThreads);
    std::latch allDone(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        WriteBytes(local.File("up" + std::to_string(i)), "file " + std::to_string(i));
        threads.emplace_back([&, i] {
            results[i] = PutLocalFileViaFTP(
                "127.0.0.1", ("/t/f" + std::to_string(i)).c_str(), FtpTestServer::kUser,
                i % 2 == 0 ? FtpTestServer::kPassword : "wrong", server.port(), 0,
                local.File("up" + std::to_string(i)).c_str());
            allDone.arrive_and_wait();
            char reason[256];
            GetLastFTPError(reason, sizeof reason);
            reasons[i] = reason;
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        const bool good = i % 2 == 0;
        EXPECT_EQ(results[i], good ? 1 : 0) << i;
        EXPECT_EQ(reasons[i], good ? "" : "login refused: 530 Authentication failed.") << i;
        EXPECT_EQ(FileExists(server.DiskPath("/t/f" + std::to_string(i))), good) << i;
    }
}

} // namespace
} // namespace hoistline::test
