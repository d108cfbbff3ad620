#include "service/metrics_file.h"

#include "platform/file_io.h"
#include "platform/program_folder.h"
#include "schedule/calendar.h"
#include "service/item_status.h"
#include "store/run_state.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace veltrane {
namespace {

// The item's metrics, in the order they are written. All are gauges.
enum Family {
    kLastSuccess,
    kLastRun,
    kLastRunSuccess,
    kLastRunStepSuccess,
    kLastRunDuration,
    kLastDumpBytes,
    kConsecutiveFailures,
    kOverdue,
    kNextRun,
    kEnabled,
    kScheduleValid,
    kRunning,
    kFamilies
};

struct FamilyText
{
    const char* name;
    const char* help;
};

constexpr std::array<FamilyText, kFamilies> kFamilyTexts = {{
    {"veltrane_last_success_timestamp_seconds", "마지막으로 성공한 백업의 시작 시각 (유닉스 초)"},
    {"veltrane_last_run_timestamp_seconds", "마지막으로 끝난 실행의 시작 시각 (유닉스 초)"},
    {"veltrane_last_run_success", "마지막 실행의 엑스포트가 성공하면 1, 실패하면 0"},
    {"veltrane_last_run_step_success",
     "엑스포트가 성공한 마지막 실행의 뒤 단계(step: mail, verify, compress, transfer)가 성공하면 "
     "1, 실패하면 0"},
    {"veltrane_last_run_duration_seconds", "마지막 실행에 걸린 시간 (초, 성공이면 엑스포트 시간)"},
    {"veltrane_last_dump_bytes", "마지막으로 성공한 백업의 덤프 크기 (바이트)"},
    {"veltrane_consecutive_failures", "연속으로 실패한 실행 수"},
    {"veltrane_overdue",
     "예정 시각에서 OverdueAlertHours보다 더 지나도록 성공이 없으면 1, 아니면 0"},
    {"veltrane_next_run_timestamp_seconds", "다음 실행 예정 시각 (유닉스 초)"},
    {"veltrane_enabled", "사용하는 항목이면 1, 사용하지 않으면 0"},
    {"veltrane_schedule_valid", "일정대로 실행될 수 있으면 1, 일정이 잘못되어 실행되지 않으면 0"},
    {"veltrane_running", "지금 실행 중이면 1, 아니면 0"},
}};

constexpr const char* kHeartbeatName = "veltrane_heartbeat_timestamp_seconds";
constexpr const char* kHeartbeatHelp = "Veltrane이 이 파일을 마지막으로 쓴 시각 (유닉스 초)";

// About what one item's samples take, to size the text once.
constexpr std::size_t kBytesPerItem = 900;

struct ItemSamples
{
    std::string labels; // {item="1",service="ORCL",user="SCOTT"}
    std::array<std::optional<std::int64_t>, kFamilies> values;
    // kLastRunStepSuccess has one sample per step, labelled with its name.
    std::vector<std::pair<const char*, std::int64_t>> steps;
};

// A label value as the format writes it: backslash, double quote and line
// feed escaped, everything else (Korean text in UTF-8) as it is.
void AppendLabelValue(std::string& out, std::string_view value)
{
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

void AppendNumber(std::string& out, std::int64_t number)
{
    char buffer[24];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, written.ptr);
}

void AppendHeader(std::string& out, const char* name, const char* help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
    out.append(name).append(" gauge\n");
}

void AppendHeartbeat(std::string& out, const LocalDateTime& now)
{
    AppendHeader(out, kHeartbeatName, kHeartbeatHelp);
    out.append(kHeartbeatName) += ' ';
    AppendNumber(out, UnixSecondsOf(now));
    out += '\n';
}

// A stored time ("yyyy-MM-dd hh:mm:ss") as Unix seconds; none when it is no
// time.
std::optional<std::int64_t> UnixSecondsOfStored(const std::string& stored)
{
    const std::optional<LocalDateTime> time = ParseDateTime(stored);
    return time ? std::optional<std::int64_t>(UnixSecondsOf(*time)) : std::nullopt;
}

ItemSamples SamplesOf(const ScheduleRecord& record, const Settings& settings,
                      const LocalDateTime& now, const std::vector<ItemKey>& running)
{
    ItemSamples item;
    item.labels = "{item=\"" + std::to_string(record.nNo) + "\",service=\"";
    AppendLabelValue(item.labels, record.strServiceName);
    item.labels += "\",user=\"";
    AppendLabelValue(item.labels, record.strID);
    item.labels += "\"}";

    const ItemHistory& history = record.history;
    auto& v = item.values;
    if (!history.lastSuccessTime.empty()) {
        v[kLastSuccess] = UnixSecondsOfStored(history.lastSuccessTime);
        v[kLastDumpBytes] = history.lastSuccessBytes;
    }
    const ItemStatus status = StatusOf(record, settings, now);
    if (!history.lastRunTime.empty()) {
        v[kLastRun] = UnixSecondsOfStored(history.lastRunTime);
        v[kLastRunSuccess] = history.lastRunSucceeded ? 1 : 0;
        v[kLastRunDuration] = history.lastRunSeconds;
        for (const RunStepName& step : kRunStepNames)
            if (history.lastRunSucceeded && step.step != kStepExport &&
                (history.laterSteps & step.step) != 0)
                item.steps.emplace_back(step.name, (status.failedSteps & step.step) == 0 ? 1 : 0);
    }
    v[kConsecutiveFailures] = history.failuresInARow;
    if (settings.overdueAlertHours > 0)
        v[kOverdue] = status.overdueSince ? 1 : 0;
    if (status.nextRun)
        v[kNextRun] = UnixSecondsOf(*status.nextRun);
    v[kEnabled] = record.bEnabled ? 1 : 0;
    v[kScheduleValid] = status.scheduleFault.empty() ? 1 : 0;
    const ItemKey key = KeyOf(record);
    v[kRunning] = std::find(running.begin(), running.end(), key) != running.end() ? 1 : 0;
    return item;
}

} // namespace

std::string MetricsPath(const Settings& settings, const std::string& dataFolder)
{
    if (settings.metricsFile.empty())
        return JoinPath(dataFolder, kMetricsFileName);
    if (settings.metricsFile.starts_with('/'))
        return settings.metricsFile;
    return JoinPath(dataFolder, settings.metricsFile);
}

Status CheckMetricsPath(const std::string& path, const std::string& dataFolder)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    struct stat own
    {};
    struct stat st
    {};
    if (stat(dataFolder.c_str(), &own) == 0 && stat(folder.c_str(), &st) == 0 &&
        own.st_dev == st.st_dev && own.st_ino == st.st_ino)
        return {};
    const auto refused = [&](const std::string& why) {
        return Error{"MetricsFile " + path + " is not written: " + why, "WriteMetrics", EPERM};
    };
    if (!path.ends_with(".prom"))
        return refused("outside the data folder only a file named *.prom is written");
    if (stat(folder.c_str(), &st) != 0)
        return SystemError("Cannot examine the folder " + folder, "WriteMetrics", errno);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()))
        return refused("its folder " + folder +
                       " may be written by others (outside the data folder the folder must "
                       "belong to root or to this account and be closed to its group and others)");
    return {};
}

std::string FormatMetrics(const ScheduleTable& table, const Settings& settings,
                          const LocalDateTime& now, const std::vector<ItemKey>& running)
{
    std::string out;
    FormatMetrics(table, settings, now, running, out);
    return out;
}

void FormatMetrics(const ScheduleTable& table, const Settings& settings, const LocalDateTime& now,
                   const std::vector<ItemKey>& running, std::string& out)
{
    std::vector<ItemSamples> items;
    items.reserve(table.size());
    std::unordered_set<std::string> seen;
    seen.reserve(table.size());
    for (const std::shared_ptr<ScheduleRecord>& record : table) {
        ItemSamples item = SamplesOf(*record, settings, now, running);
        if (seen.insert(item.labels).second)
            items.push_back(std::move(item));
    }

    out.clear();
    out.reserve(items.size() * kBytesPerItem + 1024);
    for (std::size_t family = 0; family < kFamilies; ++family) {
        const FamilyText& text = kFamilyTexts[family];
        AppendHeader(out, text.name, text.help);
        for (const ItemSamples& item : items) {
            if (family == kLastRunStepSuccess) {
                for (const auto& [step, value] : item.steps) {
                    out.append(text.name).append(item.labels, 0, item.labels.size() - 1);
                    out.append(",step=\"").append(step).append("\"} ");
                    AppendNumber(out, value);
                    out += '\n';
                }
                continue;
            }
            if (const std::optional<std::int64_t>& value = item.values[family]) {
                out.append(text.name).append(item.labels) += ' ';
                AppendNumber(out, *value);
                out += '\n';
            }
        }
    }
    AppendHeartbeat(out, now);
}

void SetMetricsHeartbeat(std::string& text, const LocalDateTime& now)
{
    // The heartbeat's family is the text's last.
    const std::size_t last = text.rfind("# HELP ");
    text.erase(last == std::string::npos ? text.size() : last);
    AppendHeartbeat(text, now);
}

Status WriteMetricsFile(const std::string& path, std::string_view text)
{
    // Readable by everyone: the collector runs as a user of its own, and the
    // file holds no secret (names, times, sizes). The group that may read
    // the dumps stays as small as it was. Not flushed to disk: the file is
    // made anew at every change and every minute, and a collector reads it
    // from the system's cache; waiting for the disk held up the end of a run.
    return WriteFileAtomically(path, text, 0644, false);
}

} // namespace veltrane
