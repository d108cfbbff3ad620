#include "job/retention.h"

#include "job/export_texts.h"
#include "platform/file_io.h"
#include "schedule/due_rules.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

constexpr std::size_t kStampDigits = 14;
// The dump, its log, its archive, the log of its verification read-back, and
// of a Data Pump run the database's log and the DDL of its read-back. A
// Data Pump dump is a set of pieces, "_01.DMP" to "_99.DMP", of one kind.
constexpr std::array<std::string_view, 6> kExtensions = {
    ".DMP", ".LOG", ".RAR", ".VERIFY.LOG", ".EXPDP.LOG", ".VERIFY.SQL"};
constexpr std::size_t kDumpKind = 0;
constexpr std::size_t kLogKind = 1;

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
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (extension.size() == 7 && extension[0] == '_' && digit(extension[1]) &&
        digit(extension[2])) // a piece of a dump set
        return EqualsIgnoringAsciiCase(extension.substr(3), kExtensions[kDumpKind])
                   ? static_cast<int>(kDumpKind)
                   : -1;
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

// Whether a stamp "yyyyMMddhhmmss" lies after `latest` (seconds of the local
// calendar). A stamp that is no date is taken as it sorts.
bool StampAfter(std::string_view stamp, std::int64_t latest)
{
    // "yyyyMMddhhmmss" as "yyyy-MM-dd hh:mm:ss", the separators put in from the back.
    std::string text(stamp);
    for (const auto& [at, separator] :
         {std::pair{12, ':'}, {10, ':'}, {8, ' '}, {6, '-'}, {4, '-'}})
        text.insert(text.begin() + at, separator);
    const std::optional<LocalDateTime> t = ParseDateTime(text);
    return t && SecondsOf(*t) > latest;
}

// The files of one run, by kind (a kind may hold more than one name when
// the user name was typed in different letter cases).
struct BackupSet
{
    std::array<std::vector<std::string>, kExtensions.size()> files;
    bool future = false;
};

// The item's backup sets in `folder`, by stamp. Fails with the errno of a
// folder that cannot be listed.
int ListSets(const std::string& folder, std::string_view namePrefix,
             std::map<std::string, BackupSet>& sets)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::directory)
            continue;
        std::string name = it->path().filename().string();
        const int kind = BackupKind(name, namePrefix);
        if (kind >= 0)
            sets[name.substr(namePrefix.size(), kStampDigits)]
                .files[static_cast<std::size_t>(kind)]
                .push_back(std::move(name));
    }
    return ec.value();
}

} // namespace

PurgeReport PurgeOldBackups(std::string_view filePrefix, int nReservedFiles,
                            const LocalDateTime& now, std::string_view ownStamp)
{
    PurgeReport report;
    if (nReservedFiles <= 0)
        return report;

    std::string folder;
    std::string namePrefix;
    SplitPrefix(filePrefix, folder, namePrefix);
    const auto pathOf = [&folder](const std::string& name) {
        return (folder == "/" ? folder : folder + "/") + name;
    };

    std::map<std::string, BackupSet> sets;
    if (const int error = ListSets(folder, namePrefix, sets); error != 0)
        report.problems.push_back(folder + ": " + std::strerror(error));
    sets.erase(std::string(ownStamp));

    // Oldest first: a stamp from a clock that was ahead was made before the
    // clock was put right, so before every backup with a true stamp.
    const std::int64_t latest = SecondsOf(now) + kFutureStampToleranceSeconds;
    std::vector<std::pair<std::string, BackupSet*>> good;
    std::vector<std::pair<std::string, BackupSet*>> failed;
    std::vector<std::pair<std::string, BackupSet*>> remnants;
    for (auto& [stamp, set] : sets) {
        set.future = StampAfter(stamp, latest);
        if (set.future)
            for (const auto& names : set.files)
                report.futureStamped.insert(report.futureStamped.end(), names.begin(), names.end());
        const auto& logs = set.files[kLogKind];
        if (logs.empty()) {
            // An archive or a read-back log without its dump and log: what an
            // earlier purge left of a good set.
            if (set.files[kDumpKind].empty())
                remnants.emplace_back(stamp, &set);
            continue; // else unknown: not this program's set, or its log was removed by hand
        }
        const bool isGood = std::any_of(logs.begin(), logs.end(), [&](const std::string& log) {
            return LogHoldsExportSuccess(pathOf(log));
        });
        (isGood ? good : failed).emplace_back(stamp, &set);
    }
    const auto byAge = [](const auto& a, const auto& b) {
        return a.second->future != b.second->future ? a.second->future : a.first < b.first;
    };
    std::stable_sort(good.begin(), good.end(), byAge);
    std::stable_sort(failed.begin(), failed.end(), byAge);

    const auto remove = [&](const std::string& name) {
        // Only a regular file goes: a link in a backup's name is kept.
        if (Status removed = RemoveRegularFile(pathOf(name));
            !removed && removed.error().code != ENOENT) {
            const int code = removed.error().code;
            report.problems.push_back(code == EINVAL || code == ELOOP
                                          ? removed.error().description
                                          : pathOf(name) + ": " + std::strerror(code));
        }
    };
    const std::size_t keep = static_cast<std::size_t>(nReservedFiles);
    std::map<const BackupSet*, std::size_t> removedOf; // dumps and logs removed, by set
    // Counted by sets: every piece of a dump set goes, or none.
    for (std::size_t kind = 0; kind < kExtensions.size(); ++kind) {
        std::vector<const BackupSet*> holders;
        for (const auto& [stamp, set] : good)
            if (!set->files[kind].empty())
                holders.push_back(set);
        for (std::size_t i = 0; i + keep < holders.size(); ++i)
            for (const std::string& name : holders[i]->files[kind]) {
                remove(name);
                if (kind == kDumpKind || kind == kLogKind)
                    ++removedOf[holders[i]];
            }
    }
    // An archive and a read-back log belong to their run's set: once its dump
    // and its log are gone, they go too, whatever their own count.
    for (const auto& [stamp, set] : good) {
        const std::size_t held = set->files[kDumpKind].size() + set->files[kLogKind].size();
        if (removedOf[set] < held)
            continue;
        for (std::size_t kind = 0; kind < kExtensions.size(); ++kind)
            if (kind != kDumpKind && kind != kLogKind)
                for (const std::string& name : set->files[kind])
                    remove(name); // a second unlink of a name trimmed above is no problem
    }
    // What earlier purges left of older sets goes once `keep` good sets are
    // newer than it.
    for (const auto& remnant : remnants) {
        const auto newer = std::count_if(good.begin(), good.end(),
                                         [&](const auto& g) { return byAge(remnant, g); });
        if (static_cast<std::size_t>(newer) >= keep)
            for (const auto& names : remnant.second->files)
                for (const std::string& name : names)
                    remove(name);
    }
    for (std::size_t i = 0; i + keep < failed.size(); ++i)
        for (const auto& names : failed[i].second->files)
            for (const std::string& name : names)
                remove(name);
    return report;
}

} // namespace veltrane
