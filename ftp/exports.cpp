// The library's only entry points. Each turns the caller's C texts into an
// Endpoint, runs one job and answers 1 or 0; nothing thrown inside ever
// reaches the caller, who may not be C++ at all. The reason of the calling
// thread's last failure waits for GetLastFTPError.

#include "ftp_transfer.h"
#include "hoistline.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Why this thread's last Put/Get/Delete call failed; empty after a success.
thread_local std::string lastFailure;

// Keeps `reason` (and `detail` after it) for GetLastFTPError as one line of
// at most a few hundred bytes. Whatever happens here, the call's answer
// stands.
void Remember(std::string_view reason, std::string_view detail = {}) noexcept
{
    constexpr std::size_t kMaxReasonBytes = 400;
    try {
        lastFailure.assign(reason.substr(0, kMaxReasonBytes));
        lastFailure.append(detail.substr(0, kMaxReasonBytes - lastFailure.size()));
        for (auto& c : lastFailure) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = ' ';
        }
    } catch (...) {
        lastFailure.clear();
    }
}

int Refuse(const char* reason) noexcept
{
    Remember(reason);
    return 0;
}

std::optional<std::string> OptionalText(const char* text)
{
    if (text == nullptr)
        return std::nullopt;
    return std::string(text);
}

hoistline::Endpoint MakeEndpoint(const char* server, const char* user, const char* password,
                                 int port)
{
    return hoistline::Endpoint{server, port, OptionalText(user), OptionalText(password)};
}

// Runs `job`, keeps the reason of a failure for GetLastFTPError and maps the
// outcome to the 1/0 of the C interface.
template <typename Job> int Answer(Job&& job) noexcept
{
    try {
        hoistline::Outcome outcome = job();
        if (outcome.ok) {
            Remember({});
            return 1;
        }
        Remember(outcome.error.empty() ? std::string_view("the call failed")
                                       : std::string_view(outcome.error));
    } catch (const std::exception& e) {
        Remember("unexpected failure inside the library: ", e.what());
    } catch (...) {
        Remember("unexpected failure inside the library");
    }
    return 0;
}

} // namespace

extern "C" {

HOISTLINE_API int PutLocalFileViaFTP(const char* server, const char* remoteFile, const char* user,
                                     const char* password, int port, int /*reserved*/,
                                     const char* localFile)
{
    if (server == nullptr || remoteFile == nullptr || localFile == nullptr)
        return Refuse("no server, remote file or local file given");
    return Answer([&] {
        return hoistline::PutFile(MakeEndpoint(server, user, password, port), remoteFile,
                                  localFile);
    });
}

HOISTLINE_API int GetRemoteFileViaFTP(const char* server, const char* remoteFile, const char* user,
                                      const char* password, int port, int /*reserved*/,
                                      const char* localFile)
{
    if (server == nullptr || remoteFile == nullptr || localFile == nullptr)
        return Refuse("no server, remote file or local file given");
    return Answer([&] {
        return hoistline::GetFile(MakeEndpoint(server, user, password, port), remoteFile,
                                  localFile);
    });
}

HOISTLINE_API int DeleteRemoteFileViaFTP(const char* server, const char* remoteFile,
                                         const char* user, const char* password, int port,
                                         int /*reserved*/)
{
    if (server == nullptr || remoteFile == nullptr)
        return Refuse("no server or remote file given");
    return Answer([&] {
        return hoistline::DeleteFile(MakeEndpoint(server, user, password, port), remoteFile);
    });
}

HOISTLINE_API int CheckRemoteFolderViaFTP(const char* server, const char* remoteFolder,
                                          const char* user, const char* password, int port,
                                          int /*reserved*/)
{
    if (server == nullptr)
        return Refuse("no server given");
    return Answer([&] {
        return hoistline::CheckFolder(MakeEndpoint(server, user, password, port),
                                      remoteFolder != nullptr ? remoteFolder : "");
    });
}

HOISTLINE_API int GetLastFTPError(char* buffer, int bufferSize)
{
    const std::string& reason = lastFailure;
    if (buffer != nullptr && bufferSize > 0) {
        const std::size_t copied =
            std::min(reason.size(), static_cast<std::size_t>(bufferSize) - 1);
        std::memcpy(buffer, reason.data(), copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(reason.size());
}

} // extern "C"
