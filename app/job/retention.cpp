#include "job/retention.h"

#include "platform/job_error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

constexpr const char* kComponent = "PurgeOldBackups";
constexpr std::size_t kStampDigits = 14;
// The dump, its log, its archive, and the log of its verification read-back.
constexpr std::array<std::string_view, 4> kExtensions = {".DMP", ".LOG", ".RAR", ".VERIFY.LOG"};

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
        return upper(x) == upper(y);
    });
}

// Which of kExtensions `name` is a backup file of, or -1 when it is none.
// Letter case does not matter, in the user name as in the extension: an
// account's files are its own whichever case its name was typed in.
int BackupKind(std::string_view name, std::string_view namePrefix)
{
    if (name.size() <= namePrefix.size() + kStampDigits ||
        !EqualsIgnoringAsciiCase(name.substr(0, namePrefix.size()), namePrefix))
        return -1;
    const std::string_view stamp = name.substr(namePrefix.size(), kStampDigits);
    if (!std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const std::string_view extension = name.substr(namePrefix.size() + kStampDigits);
    for (std::size_t kind = 0; kind < kExtensions.size(); ++kind)
        if (EqualsIgnoringAsciiCase(extension, kExtensions[kind]))
            return static_cast<int>(kind);
    return -1;
}

void SplitPrefix(std::string_view filePrefix, std::string& folder, std::string& namePrefix)
{
    const std::size_t slash = filePrefix.rfind('/');
    if (slash == std::string_view::npos) {
        folder = ".";
        namePrefix = filePrefix;
        return;
    }
    folder = slash == 0 ? std::string("/") : std::string(filePrefix.substr(0, slash));
    namePrefix = filePrefix.substr(slash + 1);
}

// The names of the item's backup files in `folder`, one list per kind, each
// sorted oldest first.
std::array<std::vector<std::string>, kExtensions.size()> ListBackups(const std::string& folder,
                                                                     std::string_view namePrefix)
{
    namespace fs = std::filesystem;
    std::array<std::vector<std::string>, kExtensions.size()> lists;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::directory)
            continue;
        std::string name = it->path().filename().string();
        const int kind = BackupKind(name, namePrefix);
        if (kind >= 0)
            lists[static_cast<std::size_t>(kind)].push_back(std::move(name));
    }
    if (ec)
        throw SystemJobError("Cannot list the backup folder " + folder, kComponent, ec.value());

    // Fixed-width stamps after the prefix: their order is the order of the
    // runs, whatever the letter case of each file's prefix.
    const std::size_t stampAt = namePrefix.size();
    for (auto& list : lists)
        std::sort(list.begin(), list.end(), [stampAt](const std::string& a, const std::string& b) {
            return a.compare(stampAt, std::string::npos, b, stampAt, std::string::npos) < 0;
        });
    return lists;
}

} // namespace

bool PurgeOldBackups(std::string_view filePrefix, int nReservedFiles)
{
    if (nReservedFiles <= 0)
        return true;

    std::string folder;
    std::string namePrefix;
    SplitPrefix(filePrefix, folder, namePrefix);

    const std::size_t keep = static_cast<std::size_t>(nReservedFiles);
    for (const auto& list : ListBackups(folder, namePrefix)) {
        if (list.size() <= keep)
            continue;
        const std::size_t excess = list.size() - keep;
        for (std::size_t i = 0; i < excess; ++i) {
            const std::string path = (folder == "/" ? folder : folder + "/") + list[i];
            if (unlink(path.c_str()) == 0)
                continue;
            const int error = errno;
            if (error != ENOENT)
                throw SystemJobError("Cannot delete the old backup " + path, kComponent, error);
        }
    }
    return true;
}

} // namespace veltrane
