#include "job/run_files.h"

#include "platform/program_folder.h"
#include "schedule/due_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrane {
namespace {

// A service or user name is one level of a path (the item folder, the file
// prefix): "../x" would send the dump outside the backup folder and let the
// retention delete what matches there.
Status CheckPathComponent(const char* what, const std::string& name)
{
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    const char* problem = name.find('/') != std::string::npos    ? "\"/\""
                          : name.find('\\') != std::string::npos ? "\"\\\""
                          : control                              ? "a control character"
                          : name == "." || name == ".."          ? "\".\" or \"..\""
                                                                 : nullptr;
    if (problem == nullptr)
        return {};
    std::string text = "The ";
    text.append(what).append(" name \"").append(name).append("\" cannot name a folder: it holds ");
    text.append(problem);
    return Error{std::move(text), kRunComponent, kInvalidArgument};
}

} // namespace

Result<std::string> ItemFolderOf(const ScheduleRecord& record, const std::string& dataFolder)
{
    for (const auto& [what, name] :
         {std::pair{"service", &record.strServiceName}, {"user", &record.strID}})
        if (Status checked = CheckPathComponent(what, *name); !checked)
            return checked.error();
    // A relative folder is taken from the data folder, wherever the program
    // was started from.
    std::string folder = record.strBackUpFolder + record.strServiceName;
    if (!folder.starts_with('/'))
        folder = JoinPath(dataFolder, folder);
    return folder;
}

void RunFiles::SetStamp(const std::string& stamp)
{
    fileStamp = stamp;
    dump = filePrefix + stamp + ".DMP";
    log = filePrefix + stamp + ".LOG";
    archive = filePrefix + stamp + ".rar";
    verifyLog = filePrefix + stamp + ".VERIFY.LOG";
    serverLog = filePrefix + stamp + ".EXPDP.LOG";
    verifySql = filePrefix + stamp + ".VERIFY.SQL";
}

std::string RunFiles::DumpPiece(int piece) const
{
    char number[8];
    std::snprintf(number, sizeof number, "_%02d.DMP", piece);
    return filePrefix + fileStamp + number;
}

std::vector<std::string> RunFiles::DumpPieces() const
{
    std::vector<std::string> pieces;
    if (PathExists(dump))
        pieces.push_back(dump);
    for (int piece = 1; piece <= 99; ++piece)
        if (std::string name = DumpPiece(piece); PathExists(name))
            pieces.push_back(std::move(name));
    return pieces;
}

std::string RunFiles::DumpSetName(bool withFolder) const
{
    const std::vector<std::string> pieces = DumpPieces();
    std::string name = pieces.empty() ? dump : pieces.front();
    if (!withFolder)
        name = FileNameOf(name);
    if (pieces.size() > 1)
        name += " 외 " + std::to_string(pieces.size() - 1) + "개";
    return name;
}

std::int64_t RunFiles::DumpBytes() const
{
    std::int64_t bytes = 0;
    for (const std::string& piece : DumpPieces()) {
        struct stat st
        {};
        if (stat(piece.c_str(), &st) == 0)
            bytes += st.st_size;
    }
    return bytes;
}

bool PathExists(const std::string& path)
{
    struct stat st
    {};
    return lstat(path.c_str(), &st) == 0;
}

std::string FileNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOfPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

Result<RunFiles> ReserveRunFiles(const ScheduleRecord& record, const std::string& dataFolder,
                                 const LocalDateTime& start)
{
    RunFiles files;
    files.runStamp = FormatDateTime(start);
    Result<std::string> folder = ItemFolderOf(record, dataFolder);
    if (!folder)
        return folder.error();
    files.itemFolder = std::move(*folder);
    if (!PathExists(files.itemFolder)) {
        if (mkdir(files.itemFolder.c_str(), 0770) != 0)
            return SystemError("Cannot create the folder " + files.itemFolder, kRunComponent,
                               errno);
        // A set-group bit inherited from the backup folder stays.
        struct stat st
        {};
        if (stat(files.itemFolder.c_str(), &st) == 0)
            chmod(files.itemFolder.c_str(), (st.st_mode & S_ISGID) | 0770);
    }
    files.filePrefix = files.itemFolder + "/" + record.strID + "_";
    constexpr int kStampsTried = 3600;
    for (int ahead = 0; ahead < kStampsTried; ++ahead) {
        files.SetStamp(FormatFileStamp(AddSeconds(start, ahead)));
        if (PathExists(files.dump) || PathExists(files.archive) || PathExists(files.verifyLog) ||
            PathExists(files.DumpPiece(1)) || PathExists(files.serverLog))
            continue;
        const int fd = open(files.log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        if (fd >= 0) {
            close(fd);
            return files;
        }
        if (errno != EEXIST)
            return SystemError("Cannot write the log " + files.log, kRunComponent, errno);
    }
    return Error{"No free file name for a backup in " + files.itemFolder, kRunComponent, EEXIST};
}

} // namespace veltrane
