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

// Makes the item folder when it is missing and makes sure that it is a
// folder and no link: the dumps go into it and the retention deletes there,
// so a link planted in its place (by whoever may write the backup folder)
// would send both elsewhere. The backup folder itself is the operator's
// choice and may be a link.
Status MakeItemFolder(const std::string& itemFolder)
{
    const std::string parent = FolderOfPath(itemFolder);
    const std::string name = FileNameOf(itemFolder);
    const int dir = open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return SystemError("Cannot open the backup folder " + parent, kRunComponent, errno);
    if (mkdirat(dir, name.c_str(), 0770) == 0) {
        // A set-group bit inherited from the backup folder stays.
        struct stat st
        {};
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            fchmodat(dir, name.c_str(), (st.st_mode & S_ISGID) | 0770, 0);
    } else if (errno != EEXIST) {
        const int err = errno;
        close(dir);
        return SystemError("Cannot create the folder " + itemFolder, kRunComponent, err);
    }
    struct stat st
    {};
    const bool examined = fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int err = errno;
    close(dir);
    if (!examined)
        return SystemError("Cannot examine the folder " + itemFolder, kRunComponent, err);
    if (S_ISLNK(st.st_mode))
        return Error{"Refused the item folder " + itemFolder + ": it is a symbolic link",
                     kRunComponent, ELOOP};
    if (!S_ISDIR(st.st_mode))
        return Error{"Refused the item folder " + itemFolder + ": it is not a folder",
                     kRunComponent, ENOTDIR};
    return {};
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
    if (Status made = MakeItemFolder(files.itemFolder); !made)
        return made.error();
    files.filePrefix = files.itemFolder + "/" + record.strID + "_";
    constexpr int kStampsTried = 3600;
    for (int ahead = 0; ahead < kStampsTried; ++ahead) {
        files.SetStamp(FormatFileStamp(AddSeconds(start, ahead)));
        if (PathExists(files.dump) || PathExists(files.archive) || PathExists(files.verifyLog) ||
            PathExists(files.DumpPiece(1)) || PathExists(files.serverLog))
            continue;
        // O_EXCL never follows a link: a name taken by anything is passed.
        const int fd =
            open(files.log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
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
