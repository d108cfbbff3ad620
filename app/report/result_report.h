#pragma once

// The HTML result report of a successful backup run, mailed to the item's
// recipients.
//
// The page is a fixed template in the style of a word processor's filtered
// HTML export: a head with a style sheet, a two-column table with one row per
// fact and a footer row with the program's title and version, then two empty
// paragraphs. It holds no line break: mail readers have rendered it for years
// and recipients may filter on its exact text, so it is built piece by piece
// and must stay byte for byte as it is.

#include <string>
#include <string_view>

namespace veltrane {

// Builds the page. Every value goes into its row escaped (EscapeHtml), so
// that markup in a description, a path or a cause shows as written and never
// runs; an empty value leaves an empty paragraph in its cell. The footer
// shows the program's version.
//
// The backup run passes the service name, the user name, the run time stamp
// ("yyyy-MM-dd hh:mm:ss"), the dump path, the free disk space (empty: nothing
// in this program measures it) and the item's description. A `warning` (the
// first warning of an export that succeeded with warnings)
// adds a row "Warning" before the description; without one the page is as it
// always was.
std::string BuildResultReportHtml(std::string_view serviceName, std::string_view userName,
                                  std::string_view backupDate, std::string_view backupFile,
                                  std::string_view freeDiskSpace, std::string_view description,
                                  std::string_view warning = {});

// `text` with "&", "<", ">" and the double quote written as HTML entities, for
// a value that must show as written (a failure cause quoting the output).
std::string EscapeHtml(std::string_view text);

} // namespace veltrane
