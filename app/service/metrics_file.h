#pragma once

// The metrics file for monitoring ("Veltrane.prom"): how each item stands,
// in the Prometheus text exposition format, for node_exporter's textfile
// collector to pass on. The window and the service rewrite it after every
// run, and in a minute when a sample changed or at least every three
// minutes; its heartbeat sample says when.

#include "platform/clock.h"
#include "platform/result.h"
#include "store/schedule_record.h"
#include "store/schedule_table.h"
#include "store/settings_file.h"

#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

inline constexpr const char* kMetricsFileName = "Veltrane.prom";

// The file that the settings' MetricsFile names: "Veltrane.prom" in
// `dataFolder` when it is empty, a relative path taken from `dataFolder`.
std::string MetricsPath(const Settings& settings, const std::string& dataFolder);

// Whether the metrics may be written at `path`. Veltrane.ini lies in a folder
// that the service's group may write, so its MetricsFile must not let a
// member of that group have the program (often root) replace any file: a
// file in the data folder itself is taken; one elsewhere only when it is
// named "*.prom" (what a text-file collector reads) and its folder can be
// written by nobody but its owner, who is root or the running account (the
// collector's folder an administrator set up). Otherwise an Error naming the
// file and why.
Status CheckMetricsPath(const std::string& path, const std::string& dataFolder);

// The metrics of `table` at `now`, as StatusOf judges each item (so they
// agree with the status command). Each item's samples carry the labels item
// (its number), service and user. A value an item does not have is left
// out, never made up:
// - an item that never finished a run has no last-run samples, one without a
//   known success no last-success time and no dump size;
// - veltrane_last_run_success is the export's verdict; the steps after a
//   successful export that the run took (mail, verify, compress, transfer)
//   each have a veltrane_last_run_step_success sample labelled step;
// - a disabled item, or one with nothing due within 31 days, no next run;
// - with the overdue alert off (OverdueAlertHours 0) no item has `overdue`.
// veltrane_enabled tells disabled items apart, so that alerts can pass them
// over as the status command does; veltrane_schedule_valid is 0 for an item
// whose schedule can never make it due. An item whose labels repeat an earlier
// item's is left out: the collector refuses a file with a repeated series.
// veltrane_running is 1 for an item with a run in progress (one of `running`).
std::string FormatMetrics(const ScheduleTable& table, const Settings& settings,
                          const LocalDateTime& now, const std::vector<ItemKey>& running = {});
// The same text into `out`, in place of what it held: a caller that keeps
// `out` between writes keeps its memory too (a table at its limit makes tens
// of megabytes, and memory new to the process costs a fault a page).
void FormatMetrics(const ScheduleTable& table, const Settings& settings, const LocalDateTime& now,
                   const std::vector<ItemKey>& running, std::string& out);
// The heartbeat of a text FormatMetrics made, set to `now`; the samples
// before it stay as they are.
void SetMetricsHeartbeat(std::string& text, const LocalDateTime& now);

// Writes `text` to `path` as the textfile collector expects: to a temporary
// in the same folder, then renamed over the file, so that a scrape never
// reads half of it.
Status WriteMetricsFile(const std::string& path, std::string_view text);

} // namespace veltrane
