#include "job/archive_step.h"

#include "job/command_line.h"
#include "job/command_step.h"
#include "job/export_step.h"
#include "job/mail_step.h"
#include "platform/file_io.h"
#include "platform/program_folder.h"

#include <unistd.h>

namespace veltrane {

std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::string& dump, const std::string& log)
{
    return BuildArchiverCommandLine(archiverPath, archive, std::vector<std::string>{dump, log});
}

std::string BuildArchiverCommandLine(const std::string& archiverPath, const std::string& archive,
                                     const std::vector<std::string>& members)
{
    std::string line = QuoteArgument(archiverPath) + " A -ep -- " + QuoteArgument(archive);
    for (const std::string& member : members)
        line.append(" ").append(QuoteArgument(member));
    return line;
}

std::vector<std::string> ArchiveMembers(const RunFiles& files)
{
    std::vector<std::string> members = files.DumpPieces();
    if (members.empty())
        members.push_back(files.dump); // the archiver says it is missing
    members.push_back(files.log);
    if (access(files.serverLog.c_str(), R_OK) == 0)
        members.push_back(files.serverLog);
    return members;
}

void ReportStrays(RunEnvironment& env, const ScheduleRecord& record,
                  const std::vector<std::string>& strays)
{
    if (strays.empty())
        return;
    std::string names;
    for (const std::string& stray : strays) {
        if (!names.empty())
            names += ", ";
        names += stray;
    }
    env.WriteLine(record.strServiceName + " 남은 하위 프로세스 종료: " + names);
}

std::string Compress(RunEnvironment& env, const ScheduleRecord& record, const RunFiles& files,
                     const Settings& settings)
{
    RunObserver& observer = env.Observer();
    observer.Stage("Data Compressing...");
    const std::string archiver = JoinPath(env.DataFolder(), kArchiverFile);
    // An archive left by a run that was stopped while compressing is partial;
    // the archiver would add to it.
    (void)RemoveRegularFile(files.archive);
    CommandStep step(observer, TimeLimitOf(settings), [&env](pid_t pid, bool running) {
        running ? env.ChildStarted(pid) : env.ChildEnded(pid);
    });
    OutputWatch watch({}, {});
    const CommandResult result =
        step.Run(BuildArchiverCommandLine(archiver, files.archive, ArchiveMembers(files)), watch);
    ReportStrays(env, record, result.strays);
    std::string cause;
    std::string line;
    if (result.timedOut) {
        cause = "압축 시간 초과 (" + MinutesText(settings.exportTimeoutMinutes) + "분)";
        line = " " + cause;
    } else if (!result.started) {
        observer.Message(result.failure, true);
        cause = "압축 실패: " + result.failure + " (" + archiver + ")";
    } else if (result.exitCode != 0) {
        // A non-zero exit (a write error, a full disk) leaves a partial
        // archive that must not pass for a backup.
        cause = "압축 실패: " + watch.Cause() + " (종료 코드 " +
                (result.exitCode ? std::to_string(*result.exitCode) : std::string("없음")) + ")";
    } else if (!PathExists(files.archive)) {
        cause = "압축 실패: 압축 파일이 없습니다 (" + files.archive + ")";
    }
    if (cause.empty())
        return cause;
    (void)RemoveRegularFile(files.archive);
    if (line.empty())
        line = " " + cause;
    if (record.bDataTransfer)
        line += ": 덤프와 로그를 그대로 전송합니다";
    env.WriteLine(record.strServiceName + line);
    MailFailure(env, record, files, cause, {files.log}, ReportKind::kCompressFailed);
    return cause;
}

} // namespace veltrane
