#include "job/data_pump.h"

#include "job/command_line.h"
#include "job/exe_cmd.h"
#include "job/export_step.h"
#include "job/export_texts.h"
#include "platform/private_files.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace veltrane {
namespace {

std::string Upper(std::string_view text)
{
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; });
    return upper;
}

// The parameter name of one Export Option argument ("owner=scott" -> "OWNER").
std::string NameOf(std::string_view argument)
{
    return Upper(argument.substr(0, argument.find('=')));
}

// The keywords of the original export that Data Pump takes in its legacy mode.
constexpr std::array<std::string_view, 17> kLegacyKeywords = {
    "BUFFER", "COMPRESS", "CONSISTENT", "CONSTRAINTS",  "DIRECT",  "FEEDBACK",
    "FILE",   "GRANTS",   "INCTYPE",    "INDEXES",      "LOG",     "OBJECT_CONSISTENT",
    "OWNER",  "RECORD",   "ROWS",       "RECORDLENGTH", "TRIGGERS"};

// The first argument of the Export Option whose name is one of `names`.
std::optional<std::string> FirstNamed(std::string_view exportOption,
                                      std::initializer_list<std::string_view> names)
{
    for (const std::string& argument : SplitCommandLine(exportOption))
        if (std::find(names.begin(), names.end(), NameOf(argument)) != names.end())
            return argument.substr(0, argument.find('='));
    return std::nullopt;
}

bool NamesFlashback(std::string_view exportOption)
{
    return FirstNamed(exportOption, {"FLASHBACK_TIME", "FLASHBACK_SCN"}).has_value();
}

// Whether the Export Option chooses what the export takes itself.
bool NamesMode(std::string_view exportOption)
{
    return FirstNamed(exportOption,
                      {"FULL", "SCHEMAS", "TABLES", "TABLESPACES", "TRANSPORT_TABLESPACES"})
        .has_value();
}

std::string LoginArgument(const ScheduleRecord& record, const std::string& parameterFile)
{
    return parameterFile.empty() ? LoginText(record, true)
                                 : "PARFILE=" + QuoteArgument(parameterFile);
}

} // namespace

std::string DirectoryObjectOf(std::string_view exportOption)
{
    std::string directory = "DATA_PUMP_DIR";
    for (const std::string& argument : SplitCommandLine(exportOption))
        if (NameOf(argument) == "DIRECTORY" && argument.find('=') != std::string::npos)
            directory = argument.substr(argument.find('=') + 1);
    return directory;
}

std::optional<std::string> ReservedKeywordIn(std::string_view exportOption)
{
    return FirstNamed(exportOption, {"DUMPFILE", "LOGFILE", "NOLOGFILE", "JOB_NAME", "ATTACH",
                                     "USERID", "PARFILE"});
}

std::optional<std::string> LegacyKeywordIn(std::string_view exportOption)
{
    for (const std::string& argument : SplitCommandLine(exportOption))
        if (std::find(kLegacyKeywords.begin(), kLegacyKeywords.end(), NameOf(argument)) !=
            kLegacyKeywords.end())
            return argument.substr(0, argument.find('='));
    return std::nullopt;
}

namespace {

std::string JobNameOf(const RunFiles& files, std::string_view what)
{
    // FNV-1a: two items of one service and user in different backup folders
    // may run in the same second; their jobs still differ.
    std::uint32_t hash = 2166136261u;
    for (const char c : files.filePrefix + std::string(what))
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char tail[8];
    std::snprintf(tail, sizeof tail, "_%06X", hash & 0xFFFFFFu);
    return std::string(kJobPrefix) + files.fileStamp + tail;
}

} // namespace

std::string DataPumpJobName(const RunFiles& files)
{
    return JobNameOf(files, {});
}

std::string DataPumpReadBackJobName(const RunFiles& files)
{
    return JobNameOf(files, "read-back");
}

std::string DumpSetSpec(const RunFiles& files)
{
    return FileNameOf(files.filePrefix) + files.fileStamp + "_%U.DMP";
}

std::string BuildDataPumpCommandLine(const ScheduleRecord& record, const std::string& programPath,
                                     const RunFiles& files, const std::string& parameterFile)
{
    std::string line = QuoteArgument(programPath) + " " + LoginArgument(record, parameterFile);
    line += " DIRECTORY=" + QuoteArgument(DirectoryObjectOf(record.strExecutionOption));
    line += " DUMPFILE=" + QuoteArgument(DumpSetSpec(files));
    line += " LOGFILE=" + QuoteArgument(FileNameOf(files.serverLog));
    line += " JOB_NAME=" + DataPumpJobName(files);
    std::string tables = record.strTables;
    std::erase_if(tables, [](char c) { return c == ' ' || c == '\t'; });
    if (!tables.empty())
        line += " TABLES=" + QuoteArgument(tables);
    else if (!NamesMode(record.strExecutionOption))
        line += " SCHEMAS=" + QuoteArgument(record.strID);
    // One moment for every table: the dump is a consistent backup.
    if (!NamesFlashback(record.strExecutionOption))
        line += " FLASHBACK_TIME=SYSTIMESTAMP";
    for (const std::string& argument : SplitCommandLine(record.strExecutionOption))
        if (NameOf(argument) != "DIRECTORY")
            line.append(" ").append(QuoteArgument(argument));
    return line;
}

std::string BuildDataPumpReadBackLine(const ScheduleRecord& record, const std::string& programPath,
                                      const RunFiles& files, const std::string& parameterFile)
{
    return QuoteArgument(programPath) + " " + LoginArgument(record, parameterFile) +
           " DIRECTORY=" + QuoteArgument(DirectoryObjectOf(record.strExecutionOption)) +
           " DUMPFILE=" + QuoteArgument(DumpSetSpec(files)) +
           " SQLFILE=" + QuoteArgument(FileNameOf(files.verifySql)) +
           " JOB_NAME=" + DataPumpReadBackJobName(files) +
           " LOGFILE=" + QuoteArgument(FileNameOf(files.verifyLog));
}

std::string DataPumpImportBeside(const std::string& exportProgram)
{
    const std::size_t slash = exportProgram.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : exportProgram.substr(0, slash + 1);
    std::string name = exportProgram.substr(folder.size());
    // expdp -> impdp, EXPDP.EXE -> IMPDP.EXE: the letters' case is kept.
    if (name.size() >= 2) {
        name[0] = name[0] == 'E' ? 'I' : 'i';
        name[1] = name[1] == 'X' ? 'M' : 'm';
    }
    return folder + name;
}

std::string KillDataPumpJob(const ScheduleRecord& record, const std::string& programPath,
                            const std::string& jobName, const std::string& dataFolder,
                            std::chrono::milliseconds limit)
{
    Result<SecretFile> login = WriteLoginFile(record, dataFolder);
    if (!login)
        return login.error().description;
    const Result<std::string> folder = SecretFolder(dataFolder);
    if (!folder)
        return folder.error().description;
    const std::string attach = QuoteArgument(programPath) +
                               " PARFILE=" + QuoteArgument(login->Path()) +
                               " ATTACH=" + QuoteArgument(Upper(record.strID) + "." + jobName);
    const auto answer = [&](std::string_view commands) -> std::string {
        Result<SecretFile> input = SecretFile::Create(*folder, commands);
        if (!input)
            return {};
        CExeCmd runner;
        runner.TimeLimit(limit);
        runner.InputFile(input->Path());
        runner.ExecuteCommand(attach);
        return runner.Outputs();
    };
    answer("KILL_JOB\nyes\n");
    // The database says the job does not exist once it is gone.
    const std::string after = answer("EXIT_CLIENT\n");
    if (after.find("ORA-31626") != std::string::npos)
        return {};
    const std::string cause = FailureCause(after, "UDE-");
    return "Data Pump 작업 " + jobName + "을(를) 끝내지 못했습니다: " + cause;
}

} // namespace veltrane
