#include "job/export_step.h"

#include "job/command_line.h"
#include "job/command_step.h"
#include "job/data_pump.h"
#include "platform/process_tree.h"
#include "platform/program_folder.h"
#include "schedule/due_rules.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

// The texts of the import utility that mean it read the dump through.
const std::vector<std::string> kImportSuccessTexts = {"Import terminated successfully",
                                                      " 정상적으로 종료", "성공적으로 끝났습"};

std::string TrimBlanks(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

std::vector<std::string> ExportSuccessTexts()
{
    return {std::begin(kExportSuccessTexts), std::end(kExportSuccessTexts)};
}

} // namespace

std::string MinutesText(double minutes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", minutes);
    return text;
}

std::chrono::milliseconds TimeLimitOf(const Settings& settings)
{
    return std::chrono::milliseconds(std::llround(settings.exportTimeoutMinutes * 60 * 1000));
}

std::string TablesProblem(std::string_view tables)
{
    const auto allowed = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c >= 0x80 ||
               std::string_view("_$#.:%, \t\"-").find(static_cast<char>(c)) !=
                   std::string_view::npos;
    };
    // A quoted name ("Mixed-Case") may hold a comma of its own, but never
    // stays open: a quote left open would take what follows into the name.
    bool quoted = false;
    auto bad = std::find_if(tables.begin(), tables.end(), [&](char c) {
        quoted ^= c == '"';
        return !allowed(static_cast<unsigned char>(c));
    });
    if (bad == tables.end() && quoted)
        bad = tables.begin() + static_cast<std::ptrdiff_t>(tables.rfind('"'));
    if (bad == tables.end())
        return {};
    const std::size_t at = static_cast<std::size_t>(bad - tables.begin());
    const std::size_t begin = tables.find_last_of(',', at) == std::string_view::npos
                                  ? 0
                                  : tables.find_last_of(',', at) + 1;
    const std::string entry = TrimBlanks(tables.substr(begin, tables.find(',', at) - begin));
    char shown[8];
    if (static_cast<unsigned char>(*bad) < 0x20 || *bad == 0x7F)
        std::snprintf(shown, sizeof shown, "\\x%02X", static_cast<unsigned char>(*bad));
    else
        std::snprintf(shown, sizeof shown, "%c", *bad);
    std::string printable;
    for (const char c : entry)
        printable += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return "Tables 목록에 테이블 이름이 아닌 항목: \"" + printable + "\" (쓸 수 없는 글자 " +
           shown + ")";
}

std::string LoginText(const ScheduleRecord& r, bool displayed)
{
    return r.strID + "/" + (displayed ? std::string("****") : r.strPWD) + "@" + r.strServiceName;
}

std::string BuildExportCommandLine(const ScheduleRecord& r, const std::string& programPath,
                                   const std::string& dumpPath, const std::string& parameterFile)
{
    std::string line = QuoteArgument(programPath);
    line += ' ';
    line += parameterFile.empty() ? LoginText(r, true) : "PARFILE=" + QuoteArgument(parameterFile);
    line += " File=" + QuoteArgument(dumpPath);
    if (!TrimBlanks(r.strTables).empty())
        line += " Tables=(" + r.strTables + ") ";
    if (!TrimBlanks(r.strExecutionOption).empty())
        line += " " + r.strExecutionOption;
    return line;
}

std::string ResolveExportProgram(const std::string& dataFolder, const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    if (path.find('/') != std::string::npos)
        return JoinPath(dataFolder, path);
    // A bare name is looked for in the data folder first, then on the
    // search path, as a program started from its own folder finds it.
    const std::string beside = JoinPath(dataFolder, path);
    struct stat st
    {};
    if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(beside.c_str(), X_OK) == 0)
        return beside;
    return path;
}

std::string ResolveImportProgram(const std::string& dataFolder, const ScheduleRecord& record,
                                 const Settings& settings)
{
    if (!settings.importUtility.empty())
        return ResolveExportProgram(dataFolder, settings.importUtility);
    if (IsDataPumpProgram(record.strProgramPath))
        return DataPumpImportBeside(ResolveExportProgram(dataFolder, record.strProgramPath));
    return FolderOfPath(ResolveExportProgram(dataFolder, record.strProgramPath)) + "imp";
}

Result<SecretFile> WriteLoginFile(const ScheduleRecord& record, const std::string& dataFolder)
{
    const Result<std::string> folder = SecretFolder(dataFolder);
    if (!folder)
        return Error{"Cannot write the parameter file of the login: " + folder.error().description,
                     kRunComponent, folder.error().code};
    Result<SecretFile> file =
        SecretFile::Create(*folder, "USERID=" + LoginText(record, false) + "\n");
    if (!file)
        return Error{"Cannot write the parameter file of the login: " + file.error().description,
                     kRunComponent, file.error().code};
    return file;
}

namespace {

// The export of a Data Pump item. The job runs in the database: the client's
// exit status and closing line are the verdict, and the dump set must be in
// the item folder. A job that may still run (the client was stopped at its
// time limit) is ended in the database.
Result<ExportVerdict> RunDataPumpExport(const ScheduleRecord& record, const RunFiles& files,
                                        const std::string& dataFolder, const Settings& settings,
                                        const Clock& clock, RunObserver& observer,
                                        const ChildWatch& children, const std::string& program)
{
    if (const std::optional<std::string> legacy = LegacyKeywordIn(record.strExecutionOption))
        return Error{"Export Option의 " + *legacy +
                         "은(는) 원래 엑스포트의 키워드입니다: Data Pump(expdp) 항목에서는 쓸 "
                         "수 없습니다",
                     kRunComponent, kInvalidArgument};
    if (const std::optional<std::string> own = ReservedKeywordIn(record.strExecutionOption))
        return Error{"Export Option의 " + *own +
                         "은(는) Veltrane이 정하는 매개변수입니다: 덤프 세트와 작업을 실행마다 "
                         "따로 이름 짓습니다",
                     kRunComponent, kInvalidArgument};
    Result<SecretFile> login = WriteLoginFile(record, dataFolder);
    if (!login)
        return login.error();
    observer.Progress("[" + record.strServiceName + "] Data Pump 엑스포트 시작 (" + record.strID +
                      ")");
    const std::int64_t begun = SecondsOf(clock.Now());
    const std::string jobName = DataPumpJobName(files);
    // The database's job is ended before the program ends (its end stops
    // the client, never the job).
    const posix::EndingTask ending(
        [&] { KillDataPumpJob(record, program, jobName, dataFolder, kJobKillLimit); });
    CommandStep step(observer, TimeLimitOf(settings), children);
    OutputWatch watch("UDE-", {std::begin(kDataPumpSuccessTexts), std::end(kDataPumpSuccessTexts)});
    const CommandResult result =
        step.Run(BuildDataPumpCommandLine(record, program, files, login->Path()), watch, files.log);
    ExportVerdict verdict;
    verdict.strays = result.strays;
    // Stopping the client left the job running in the database; a job
    // stopped by a fatal error stays there, NOT RUNNING, with its master
    // table (at 99 of them the database takes no new job). A refused login
    // is never tried again for it: each try counts toward locking the account.
    const bool jobMayRemain = result.timedOut || (result.exitCode == 1 && !watch.LoginRefused());
    const std::string left =
        jobMayRemain ? KillDataPumpJob(record, program, jobName, dataFolder, kJobKillLimit) : "";
    verdict.seconds = SecondsOf(clock.Now()) - begun;
    const Status& log = step.LogStatus();
    const std::vector<std::string> pieces = files.DumpPieces();
    // Every piece the job lists is on disk here, with bytes in it.
    bool setWhole = !pieces.empty() && pieces.size() >= watch.ListedPieces().size();
    for (const std::string& piece : pieces) {
        struct stat st
        {};
        setWhole = setWhole && stat(piece.c_str(), &st) == 0 && st.st_size > 0;
    }
    const bool completed = !result.timedOut && result.exitCode == 0 && watch.Succeeded();
    if (completed && log.ok() && setWhole) {
        verdict.succeeded = true;
        return verdict;
    }
    // Completed with errors: a backup without what the errors name, taken
    // as such when the settings say so. The log says it was accepted.
    if (settings.dataPumpErrorsAsWarnings && !result.timedOut && result.exitCode == 5 && log.ok() &&
        setWhole && MarkLogAccepted(files.log, watch.FirstDatabaseError())) {
        verdict.succeeded = true;
        verdict.warning = watch.FirstDatabaseError();
        return verdict;
    }
    verdict.loginRefused = watch.LoginRefused();
    if (result.timedOut)
        verdict.cause = "엑스포트 시간 초과 (" + MinutesText(settings.exportTimeoutMinutes) + "분)";
    else if (!result.started)
        verdict.cause = result.failure + " (" + program + ")";
    else if (completed && !log.ok())
        verdict.cause = "로그를 쓸 수 없습니다: " + log.error().description;
    else if (completed)
        verdict.cause =
            "덤프 파일이 항목 폴더 " + files.itemFolder + "에 없습니다: 디렉터리 객체 " +
            DirectoryObjectOf(record.strExecutionOption) + "가 이 폴더를 가리켜야 합니다";
    else if (result.exitCode == 5 && !watch.FirstDatabaseError().empty())
        verdict.cause = watch.FirstDatabaseError(); // completed with errors: a table is missing
    else
        verdict.cause = !watch.LastCodedError().empty() ? watch.LastCodedError() : watch.Cause();
    if (!left.empty())
        verdict.cause += "; " + left;
    if (!result.started)
        observer.Message(result.failure, true);
    if (watch.Succeeded())
        MarkLogFailed(files.log, verdict.cause);
    return verdict;
}

} // namespace

Result<ExportVerdict> RunExport(const ScheduleRecord& record, const RunFiles& files,
                                const std::string& dataFolder, const Settings& settings,
                                const Clock& clock, RunObserver& observer,
                                const ChildWatch& children)
{
    const std::string program = ResolveExportProgram(dataFolder, record.strProgramPath);
    if (const std::string problem = TablesProblem(record.strTables); !problem.empty())
        return Error{problem, kRunComponent, EINVAL};
    if (IsDataPumpProgram(program))
        return RunDataPumpExport(record, files, dataFolder, settings, clock, observer, children,
                                 program);
    // The login goes to the utility in a parameter file only this user can
    // read, for the life of the child: a command line is every account's to
    // read in the process list.
    Result<SecretFile> login = WriteLoginFile(record, dataFolder);
    if (!login)
        return login.error();
    observer.Progress("[" + record.strServiceName + "] 엑스포트 시작 (" + record.strID + ")");
    const std::int64_t begun = SecondsOf(clock.Now());
    CommandStep step(observer, TimeLimitOf(settings), children);
    OutputWatch watch("EXP-", ExportSuccessTexts());
    const CommandResult result = step.Run(
        BuildExportCommandLine(record, program, files.dump, login->Path()), watch, files.log);
    ExportVerdict verdict;
    verdict.seconds = SecondsOf(clock.Now()) - begun;
    verdict.strays = result.strays;
    const Status& log = step.LogStatus();
    verdict.succeeded = !result.timedOut && watch.Succeeded() && log.ok();
    // A good export leaves a dump with bytes in it: a wrapper that lost it,
    // or a utility that wrote nothing, said its text of success in vain.
    struct stat dump
    {};
    const bool dumpThere = stat(files.dump.c_str(), &dump) == 0 && S_ISREG(dump.st_mode);
    const bool dumpWritten = dumpThere && dump.st_size > 0;
    if (verdict.succeeded && dumpWritten) {
        verdict.warning = watch.Warning();
        return verdict;
    }
    verdict.loginRefused = watch.LoginRefused();
    verdict.succeeded = false;
    if (watch.Succeeded() && !result.timedOut && log.ok())
        verdict.cause = dumpThere
                            ? "덤프 파일이 비어 있습니다 (0 바이트, " + FileNameOf(files.dump) + ")"
                            : "덤프 파일이 없습니다 (" + FileNameOf(files.dump) + ")";
    else if (result.timedOut)
        verdict.cause = "엑스포트 시간 초과 (" + MinutesText(settings.exportTimeoutMinutes) + "분)";
    else if (!result.started)
        verdict.cause = result.failure + " (" + program + ")";
    else if (watch.Succeeded())
        verdict.cause = "로그를 쓸 수 없습니다: " + log.error().description; // it did not fit
    else
        verdict.cause = watch.Cause();
    // A log that cannot be written (a full disk) fails the run; the
    // utility's own word still reaches the line.
    if (!log.ok() && !(watch.Succeeded() && !result.timedOut))
        verdict.cause += " (로그를 쓸 수 없습니다: " + log.error().description + ")";
    if (!result.started)
        observer.Message(result.failure, true);
    // The log keeps the utility's text of success; the run's own verdict
    // follows it, so that the log is taken for a failed run's from now on.
    if (watch.Succeeded())
        MarkLogFailed(files.log, verdict.cause);
    return verdict;
}

Result<std::string> VerifyDump(const ScheduleRecord& record, const RunFiles& files,
                               const std::string& dataFolder, const Settings& settings,
                               RunObserver& observer, std::vector<std::string>& strays)
{
    const std::string importer = ResolveImportProgram(dataFolder, record, settings);
    observer.Stage("Dump Verifying...");
    const bool dataPump = IsDataPumpProgram(record.strProgramPath);
    auto commandLine = [&](const std::string& login) {
        if (dataPump) // the login is handed over as PARFILE=, or shown
            return BuildDataPumpReadBackLine(
                record, importer, files,
                login.starts_with("PARFILE=") ? SplitCommandLine(login)[0].substr(8) : "");
        return QuoteArgument(importer) + " " + login + " File=" + QuoteArgument(files.dump) +
               " Full=y Show=y Log=" + QuoteArgument(files.verifyLog);
    };
    observer.Detail(commandLine(LoginText(record, true)));
    Result<SecretFile> login = WriteLoginFile(record, dataFolder);
    if (!login)
        return login.error();
    CommandStep step(observer, TimeLimitOf(settings));
    OutputWatch watch(dataPump ? "UDE-" : "IMP-",
                      dataPump ? std::vector<std::string>{std::begin(kDataPumpSuccessTexts),
                                                          std::end(kDataPumpSuccessTexts)}
                               : kImportSuccessTexts);
    const CommandResult result =
        step.Run(commandLine("PARFILE=" + QuoteArgument(login->Path())), watch);
    strays = result.strays;
    // The DDL was written only to make the database read every piece. A
    // read-back stopped at its time limit leaves its job in the database.
    if (dataPump) {
        if (result.timedOut)
            KillDataPumpJob(record, importer, DataPumpReadBackJobName(files), dataFolder,
                            kJobKillLimit);
        unlink(files.verifySql.c_str());
    }
    if (!result.timedOut && watch.Succeeded() && (!dataPump || result.exitCode == 0))
        return std::string();
    if (dataPump && !result.timedOut && result.started && !watch.LastCodedError().empty())
        return watch.LastCodedError();
    if (result.timedOut)
        return "검증 시간 초과 (" + MinutesText(settings.exportTimeoutMinutes) + "분)";
    if (!result.started) {
        observer.Message(result.failure, true);
        return result.failure + " (" + importer + ")";
    }
    return watch.Cause();
}

} // namespace veltrane
