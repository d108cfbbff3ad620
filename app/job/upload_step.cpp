#include "job/upload_step.h"

#include "hoistline.h"
#include "job/export_texts.h"
#include "job/mail_step.h"
#include "platform/codepage.h"
#include "platform/yielding_call.h"
#include "store/number_text.h"

#include <cerrno>
#include <cmath>
#include <limits>
#include <unistd.h>
#include <utility>

namespace veltrane {
namespace {

constexpr const char* kTransferSucceeded = "Data FTP 전송 성공";
constexpr const char* kTransferFailed = "Data FTP 전송 실패";
constexpr double kHighestPort = 65535;

// Stores one file; false with the library's reason (unless `reason` holds
// one already) when it was not stored.
Result<bool> Upload(RunEnvironment& env, const FtpEndpoint& endpoint, const ScheduleRecord& record,
                    const std::string& localPath, std::string& reason)
{
    const Result<PutLocalFileViaFTPProc> put =
        env.FtpLibrary().EntryAs<PutLocalFileViaFTPProc>("PutLocalFileViaFTP");
    if (!put)
        return put.error();
    // The library's reason is the calling thread's: asked for on the thread
    // that made the call. An older library cannot say.
    const Result<GetLastFTPErrorProc> lastError =
        env.FtpLibrary().EntryAs<GetLastFTPErrorProc>("GetLastFTPError");
    const std::string remote = cp949::FromUtf8(record.strFtpLocation + "/" + FileNameOf(localPath));
    const std::string host = cp949::FromUtf8(endpoint.host);
    const std::string user = cp949::FromUtf8(record.strFtpUserID);
    const std::string password = cp949::FromUtf8(record.strFtpUserPassword);
    const auto [stored, why] = CallWhileYielding(
        [&] {
            const int result = (*put)(host.c_str(), remote.c_str(), user.c_str(), password.c_str(),
                                      endpoint.port, 0, localPath.c_str());
            char text[1024] = {};
            if (result == 0 && lastError)
                (*lastError)(text, sizeof text);
            return std::pair<bool, std::string>{result != 0, text};
        },
        [&env] { env.Observer().Idle(); });
    if (!stored && reason.empty())
        reason = CutToCharacters(cp949::ToUtf8(why), kCauseCharacters);
    return stored;
}

} // namespace

Result<FtpEndpoint> ParseFtpServer(const std::string& ftpServer)
{
    FtpEndpoint endpoint;
    // A scheme ("sftp://", "ftps://" ...) belongs to the host text; the port
    // follows the host after it.
    const std::size_t schemeEnd = ftpServer.find("://");
    const bool scheme =
        schemeEnd != std::string::npos && schemeEnd > 0 && ftpServer.find(':') == schemeEnd;
    const std::size_t hostStart = scheme ? schemeEnd + 3 : 0;
    // A bracketed IPv6 address ("[::1]") keeps its colons.
    std::size_t hostEnd = hostStart;
    if (hostStart < ftpServer.size() && ftpServer[hostStart] == '[')
        if (const std::size_t close = ftpServer.find(']', hostStart); close != std::string::npos)
            hostEnd = close;
    std::size_t colon = ftpServer.find(':', hostEnd);
    endpoint.host = ftpServer.substr(0, colon);
    if (endpoint.host.size() == hostStart)
        return Error{"The FTP server \"" + ftpServer + "\" names no host", kRunComponent,
                     kInvalidArgument};
    int port = 0;
    if (colon != std::string::npos) {
        std::size_t next = ftpServer.find(':', colon + 1);
        const std::string text = ftpServer.substr(colon + 1, next - colon - 1);
        // Converted to the nearest whole number: blanks around it, a sign, a
        // fraction and an exponent are all taken; anything else is no number.
        const std::optional<double> value = WholeDecimalNumber(text);
        if (!value)
            return Error{"The FTP port \"" + text + "\" is not a number", kRunComponent,
                         kTypeMismatch};
        const double rounded = std::nearbyint(*value);
        // Every TCP port is accepted, the ones above 32767 included.
        if (!(rounded >= std::numeric_limits<std::int16_t>::min() && rounded <= kHighestPort))
            return Error{"The FTP port \"" + text + "\" is out of range", kRunComponent, kOverflow};
        port = static_cast<int>(rounded);
    }
    // Without a port a plain server is reached on 21; a scheme's own default
    // (990 for ftps, 22 for sftp ...) is the library's to choose.
    endpoint.port = port >= 1 ? port : scheme ? 0 : 21;
    return endpoint;
}

Result<std::string> Transfer(RunEnvironment& env, const ScheduleRecord& record,
                             const RunFiles& files)
{
    RunObserver& observer = env.Observer();
    observer.Stage("Transfer Start.");
    const Result<FtpEndpoint> endpoint = ParseFtpServer(record.strFtpServer);
    if (!endpoint)
        return endpoint.error();
    // The archive when it was made; without it (compression failed, or is
    // off) the dump and the log themselves.
    const bool archived = record.bDataCompress && PathExists(files.archive);
    std::vector<std::string> sent{files.archive};
    if (!archived) {
        sent = files.DumpPieces();
        if (sent.empty())
            sent.push_back(files.dump); // its failure is the upload's
        sent.push_back(files.log);
    }
    bool allStored = true;
    std::string reason; // of the first upload that failed
    for (const std::string& path : sent) {
        const Result<bool> stored = Upload(env, *endpoint, record, path, reason);
        if (!stored)
            return stored.error();
        allStored = allStored && *stored;
    }
    const std::string instead = record.bDataCompress && !archived ? " (압축 대신 덤프와 로그)" : "";
    std::string failure;
    if (allStored) {
        observer.Stage("Transfer Complete.");
        env.WriteLine(record.strServiceName + kTransferSucceeded + instead);
    } else {
        // The off-site copy is what a lost machine leaves: its failure is
        // told to the recipients too, with the reason.
        observer.Stage("Transfer Fail.");
        const std::string because = reason.empty() ? std::string() : ": " + reason;
        failure = kTransferFailed + because;
        env.WriteLine(record.strServiceName + kTransferFailed + instead + because);
        MailFailure(env, record, files, failure, {files.log}, ReportKind::kUploadFailed);
    }
    // The archive was made only to be sent: the caller deletes it once the
    // upload is recorded. One that did not reach the server stays, the only
    // compressed copy there is.
    return failure;
}

} // namespace veltrane
