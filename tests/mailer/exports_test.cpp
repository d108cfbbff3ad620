// The deliverable as the program binds it: libSendwick.so from the program
// folder, loaded by name, entry points looked up by name.
#include "sendwick.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <set>

extern "C" int sendwick_c_has_entry_points(void);
extern "C" int sendwick_c_send_to_nobody(void);

namespace {

using veltrane::test::FileExists;
using veltrane::test::TempDir;

using SendMailFn = int (*)(const char*, const char*, const char*, const char*, const char*,
                           const char*, const char*);
using SendMailViaSmtpFn = int (*)(const char*, const char*, const char*, const char*, const char*,
                                  const char*, const char*, const char*, const char*, const char*);

class LoadedLibrary
{
public:
    LoadedLibrary() : handle_(dlopen(VELTRANE_PROGRAM_DIR "/libSendwick.so", RTLD_NOW | RTLD_LOCAL))
    {}
    ~LoadedLibrary()
    {
        if (handle_ != nullptr)
            dlclose(handle_);
    }
    void* handle() const { return handle_; }

private:
    void* handle_;
};

TEST(SendwickLibrary, LoadsByNameAndAnswersWithOneOrZero)
{
    LoadedLibrary library;
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    auto sendMail = reinterpret_cast<SendMailFn>(dlsym(library.handle(), "SendMail"));
    auto viaSmtp = reinterpret_cast<SendMailViaSmtpFn>(dlsym(library.handle(), "SendMailViaSMTP"));
    auto lastError =
        reinterpret_cast<GetLastMailErrorProc>(dlsym(library.handle(), "GetLastMailError"));
    ASSERT_NE(sendMail, nullptr);
    ASSERT_NE(viaSmtp, nullptr);
    ASSERT_NE(lastError, nullptr);
    // Internal names stay inside the library.
    EXPECT_EQ(dlsym(library.handle(),
                    "_ZN8sendwick12Base64EncodeB5cxx11ESt17basic_string_viewIcSt11char_traitsIcEE"),
              nullptr);

    TempDir dir;
    std::string log = dir.File("SendResult.Log");
    // Empty and skipped recipient lists: success, no log.
    EXPECT_EQ(sendMail("robot@example.com", "", "HTML", "s", "b", "", log.c_str()), 1);
    EXPECT_EQ(
        sendMail("robot@example.com", "nobody;@example.org", "HTML", "s", "b", "", log.c_str()), 1);
    EXPECT_EQ(viaSmtp("127.0.0.1", "u", "p", "robot@example.com", ";;", "HTML", "s", "b", "",
                      log.c_str()),
              1);
    EXPECT_FALSE(FileExists(log));
    // Null pointers are empty texts, not a crash.
    EXPECT_EQ(sendMail(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
    // A server that cannot be reached: 0, a SEND ERROR entry and the reason.
    EXPECT_EQ(viaSmtp("no-such-host.invalid", "u", "p", "robot@example.com", "ops@example.org",
                      "HTML", "s", "b", "", log.c_str()),
              0);
    EXPECT_TRUE(FileExists(log));
    char reason[64];
    EXPECT_GT(lastError(reason, sizeof reason), 0);
    EXPECT_EQ(std::string(reason).rfind("ops@example.org: cannot resolve ", 0), 0u) << reason;
}

TEST(SendwickLibrary, ExportsExactlyItsCalls)
{
    FILE* pipe = popen("nm -D --defined-only " VELTRANE_PROGRAM_DIR "/libSendwick.so", "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    for (char at[64], type[8], name[256]; std::fscanf(pipe, "%63s %7s %255s", at, type, name) == 3;)
        names.insert(name);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(names, (std::set<std::string>{"CheckMail", "CheckMailLogin", "CheckMailViaSMTP",
                                            "GetLastMailError", "SendMail", "SendMailViaSMTP"}));
}

TEST(SendwickLibrary, HeaderCompilesAsC)
{
    LoadedLibrary library;
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    EXPECT_EQ(sendwick_c_has_entry_points(), 1);
    EXPECT_EQ(sendwick_c_send_to_nobody(), 1);
}

} // namespace
