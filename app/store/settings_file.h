#pragma once

// "Veltrane.ini": the program's few settings, plain "key=value" lines under a
// "[Veltrane]" section with a comment above each key. The program writes the
// file with its defaults when it is missing, and adds a key (with its
// comment) that a file lacks, keeping every other line (the operator's
// comments, keys it does not know) as it was.

#include <string>
#include <vector>

namespace veltrane {

inline constexpr const char* kSettingsFileName = "Veltrane.ini";

struct Settings
{
    // The longest the export utility, the archiver or the import utility may
    // run, in minutes (fractions allowed); 0: no limit.
    double exportTimeoutMinutes = 240;
    // Hours past an item's due time after which a backup that has not
    // succeeded raises an alert; 0: no alert.
    double overdueAlertHours = 2;
    // Read every new dump back with the import utility.
    bool verifyDump = false;
    // The import utility; empty: "imp" in the export utility's folder.
    std::string importUtility;
    // At the start, run once each item whose time passed while the program
    // was not running.
    bool runMissedBackups = true;
    // A Data Pump job that completed with errors (a table missing from its
    // dump) is a success with a warning instead of a failure.
    bool dataPumpErrorsAsWarnings = false;
    // Where the metrics for monitoring go; empty: "Veltrane.prom" in the data
    // folder. A relative path is taken from the data folder.
    std::string metricsFile;
};

// Reads the settings file at `path` into `settings`, writing the file or the
// keys it lacks first (see above). A value that cannot be read keeps its
// default and adds one text to `problems`, naming the key; so does a file
// that cannot be read or written (the defaults then hold).
void LoadSettings(const std::string& path, Settings& settings, std::vector<std::string>& problems);
// The same without writing anything: a missing file or key has its default.
void ReadSettings(const std::string& path, Settings& settings, std::vector<std::string>& problems);

} // namespace veltrane
