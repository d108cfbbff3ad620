#pragma once

// What the transfer tests share: test data, the reason GetLastFTPError gives,
// a stopwatch, and leftovers in a folder. The servers they talk to are in
// ftp_test_server.h and scripted_peer.h.

#include "ftp_test_server.h"
#include "hoistline.h"
#include "support/temp_dir.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace hoistline::test {

using veltrane::test::FileExists;
using veltrane::test::ReadBytes;
using veltrane::test::TempDir;
using veltrane::test::WriteBytes;
namespace fs = std::filesystem;

inline constexpr const char* kUser = FtpTestServer::kUser;
inline constexpr const char* kPassword = FtpTestServer::kPassword;

inline std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(generator() & 0xFF);
    return bytes;
}

inline std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    // CR LF pairs and lone LFs too: a text-mode transfer would change them.
    return bytes + "\r\n\n\r" + bytes;
}

// Everything in `folder` except `keep`: leftovers of a transfer.
inline std::vector<std::string> OtherFiles(const std::string& folder, const std::string& keep)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != keep)
            names.push_back(entry.path().filename());
    }
    return names;
}

// What GetLastFTPError says of this thread's last call.
inline std::string LastError()
{
    char reason[512];
    GetLastFTPError(reason, sizeof reason);
    return reason;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace hoistline::test
