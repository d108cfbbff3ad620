// The library's only entry points. Each turns the caller's C texts into an
// Endpoint, runs one job and answers 1 or 0; nothing thrown inside ever
// reaches the caller, who may not be C++ at all.

#include "ftp_transfer.h"
#include "hoistline.h"

#include <optional>
#include <string>

namespace {

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

// Runs `job` and maps its outcome to the 1/0 of the C interface. The reason
// of a failure is deliberately dropped: the interface reports no detail.
template <typename Job> int Answer(Job&& job) noexcept
{
    try {
        return job().ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // namespace

extern "C" {

HOISTLINE_API int PutLocalFileViaFTP(const char* server, const char* remoteFile, const char* user,
                                     const char* password, int port, int /*reserved*/,
                                     const char* localFile)
{
    if (server == nullptr || remoteFile == nullptr || localFile == nullptr)
        return 0;
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
        return 0;
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
        return 0;
    return Answer([&] {
        return hoistline::DeleteFile(MakeEndpoint(server, user, password, port), remoteFile);
    });
}

} // extern "C"
