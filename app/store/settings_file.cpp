#include "store/settings_file.h"

#include "platform/file_io.h"
#include "store/number_text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kSection = "[Veltrane]";

struct Key
{
    const char* name;
    const char* comment;
    const char* defaultText;
};

const Key kKeys[] = {
    {"ExportTimeoutMinutes",
     "; The longest the export utility, the archiver or the import utility may run, in\n"
     "; minutes (fractions allowed: 0.05 is 3 seconds; at most 43200, 30 days). 0 means no\n"
     "; limit.",
     "240"},
    {"OverdueAlertHours",
     "; Hours past an item's due time, by its own schedule, after which a backup that has\n"
     "; not succeeded writes a line and mails its recipients (at most 8784, a year). 0: off.",
     "2"},
    {"VerifyDump",
     "; 1: read every new dump back with the import utility, without importing anything.", "0"},
    {"ImportUtility",
     "; The import utility for VerifyDump; empty: \"imp\" in the export utility's folder.", ""},
    {"RunMissedBackups",
     "; 1: at the start, run once each item whose time passed while Veltrane was not\n"
     "; running (counted from its Latest Back Time). 0: wait for the next time.",
     "1"},
    {"DataPumpErrorsAsWarnings",
     "; 1: a Data Pump job that completed with errors (a table it could not export) is a\n"
     "; success with a warning; 0: a failure named by its first error.",
     "0"},
    {"MetricsFile",
     "; The metrics file for monitoring, rewritten after every run and once a minute;\n"
     "; empty: Veltrane.prom in this folder. A relative path is taken from this folder.",
     ""},
};

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The number of a value when it is 0 or lies within [least, most]; nullopt
// otherwise. A limit of a second or of a million minutes is no limit an
// operator meant, and such numbers overflowed the time arithmetic.
std::optional<double> Amount(std::string_view value, double least, double most)
{
    const std::optional<double> number = WholeDecimalNumber(value);
    if (!number || !(*number == 0 || (*number >= least && *number <= most)))
        return std::nullopt;
    return number;
}

// The sane ranges, apart from 0 (off, or no limit).
constexpr double kLeastTimeoutMinutes = 0.05;     // 3 seconds
constexpr double kMostTimeoutMinutes = 30 * 1440; // 30 days
constexpr double kMostAlertHours = 366 * 24;      // a year

bool Apply(const std::string& key, std::string_view value, Settings& settings)
{
    if (key == "ImportUtility") {
        settings.importUtility = std::string(value);
        return true;
    }
    if (key == "MetricsFile") {
        settings.metricsFile = std::string(value);
        return true;
    }
    if (key == "ExportTimeoutMinutes") {
        const std::optional<double> number =
            Amount(value, kLeastTimeoutMinutes, kMostTimeoutMinutes);
        if (number)
            settings.exportTimeoutMinutes = *number;
        return number.has_value();
    }
    if (key == "OverdueAlertHours") {
        const std::optional<double> number = Amount(value, 0, kMostAlertHours);
        if (number)
            settings.overdueAlertHours = *number;
        return number.has_value();
    }
    // The switches: 0 or 1.
    const std::optional<double> number = Amount(value, 1, 1);
    if (number && key == "VerifyDump")
        settings.verifyDump = *number != 0;
    else if (number && key == "RunMissedBackups")
        settings.runMissedBackups = *number != 0;
    else if (number && key == "DataPumpErrorsAsWarnings")
        settings.dataPumpErrorsAsWarnings = *number != 0;
    return number.has_value();
}

// Reads the file and, with `complete`, writes the keys it lacks.
void ReadSettingsFile(const std::string& path, Settings& settings,
                      std::vector<std::string>& problems, bool complete)
{
    settings = Settings{};
    std::string text;
    if (Result<std::string> read = ReadWholeFile(path); read) {
        text = std::move(*read);
    } else if (read.error().code != ENOENT) {
        problems.push_back(read.error().description);
        return;
    }

    // The keys found in the section, and where the section ends (the new
    // keys go there, so they stay inside it).
    bool found[std::size(kKeys)] = {};
    bool inSection = false;
    bool sawSection = false;
    std::size_t sectionEnd = std::string::npos;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        const std::string_view line = Trim(std::string_view(text).substr(at, next - at));
        if (line.starts_with('[')) {
            if (inSection)
                sectionEnd = at;
            inSection = line == kSection;
            sawSection = sawSection || inSection;
        } else if (inSection && !line.empty() && !line.starts_with(';') && !line.starts_with('#')) {
            const std::size_t equals = line.find('=');
            const std::string key(Trim(line.substr(0, equals)));
            const std::string_view value = equals == std::string_view::npos
                                               ? std::string_view()
                                               : Trim(line.substr(equals + 1));
            for (std::size_t k = 0; k < std::size(kKeys); ++k) {
                if (key != kKeys[k].name)
                    continue;
                found[k] = true;
                if (!Apply(key, value, settings))
                    problems.push_back(std::string(kKeys[k].name) + " 값을 읽을 수 없습니다: \"" +
                                       std::string(value) + "\" (기본값 " + kKeys[k].defaultText +
                                       ")");
            }
        }
        at = next;
    }

    std::string added;
    for (std::size_t k = 0; k < std::size(kKeys); ++k)
        if (!found[k])
            added += std::string(kKeys[k].comment) + "\n" + kKeys[k].name + "=" +
                     kKeys[k].defaultText + "\n";
    if (added.empty() || !complete)
        return;
    if (!sawSection) {
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        text += std::string(kSection) + "\n" + added;
    } else {
        if (sectionEnd == std::string::npos)
            sectionEnd = text.size();
        if (sectionEnd > 0 && text[sectionEnd - 1] != '\n') {
            text.insert(sectionEnd, "\n");
            ++sectionEnd;
        }
        text.insert(sectionEnd, added);
    }
    if (const Status written = WriteFileAtomically(path, text, 0660); !written)
        problems.push_back(written.error().description);
}

} // namespace

void LoadSettings(const std::string& path, Settings& settings, std::vector<std::string>& problems)
{
    ReadSettingsFile(path, settings, problems, true);
}

void ReadSettings(const std::string& path, Settings& settings, std::vector<std::string>& problems)
{
    ReadSettingsFile(path, settings, problems, false);
}

} // namespace veltrane
