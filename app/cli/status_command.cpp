#include "cli/status_command.h"

#include "cli/items_command.h"
#include "cli/json_text.h"
#include "job/run_files.h"
#include "platform/file_io.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"
#include "platform/terminal_text.h"
#include "report/result_report.h"
#include "schedule/calendar.h"
#include "schedule/schedule_text.h"
#include "service/item_status.h"
#include "store/run_state.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

constexpr const char* kNone = "-";

// The columns of a text row, in order.
constexpr std::array<const char*, 15> kHeader{
    "번호",        "서비스", "사용자", "사용",      "일정", "다음 실행", "마지막 실행", "결과",
    "마지막 성공", "덤프",   "크기",   "연속 실패", "지연", "실행 중",   "원인"};

// The columns a terminal shows a UTF-8 text in: two for the wide letters
// (Hangul, CJK and the full-width forms), one for any other character.
std::size_t DisplayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6);
        width += wide ? 2 : 1;
        i += length;
    }
    return width;
}

// A stored time ("yyyy-MM-dd hh:mm:ss") in ISO 8601 with the zone's offset;
// nullopt when it is empty or no time.
std::optional<std::string> IsoOf(const std::string& stored)
{
    const std::optional<LocalDateTime> t = ParseDateTime(stored);
    if (stored.empty() || !t)
        return std::nullopt;
    return FormatIso8601(*t);
}

// One JSON member: `"name": value`, the value already written as JSON.
class JsonObject
{
public:
    explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
    ~JsonObject() { out_ += '}'; }

    void Raw(std::string_view name, std::string_view json)
    {
        Name(name);
        out_ += json;
    }
    void Text(std::string_view name, std::string_view text)
    {
        Name(name);
        AppendJsonString(out_, text);
    }
    void Optional(std::string_view name, const std::optional<std::string>& text)
    {
        if (text)
            Text(name, *text);
        else
            Raw(name, "null");
    }
    void Number(std::string_view name, long long value) { Raw(name, std::to_string(value)); }
    void Bool(std::string_view name, bool value) { Raw(name, value ? "true" : "false"); }

private:
    void Name(std::string_view name)
    {
        if (!first_)
            out_ += ", ";
        first_ = false;
        AppendJsonString(out_, name);
        out_ += ": ";
    }

    std::string& out_;
    bool first_ = true;
};

// The run of `record` in progress, among `running`; nullptr when none.
const PendingRun* RunOf(const ScheduleRecord& record, const std::vector<PendingRun>& running)
{
    const ItemKey key = KeyOf(record);
    for (const PendingRun& run : running)
        if (static_cast<const ItemKey&>(run) == key)
            return &run;
    return nullptr;
}

// The step a run is at: the first it still owes.
const RunStepName* StageOf(const PendingRun& run)
{
    for (const RunStepName& step : kRunStepNames)
        if ((run.steps & step.step) != 0)
            return &step;
    return nullptr;
}

std::string RunningText(const PendingRun* run)
{
    if (run == nullptr)
        return kNone;
    const RunStepName* stage = StageOf(*run);
    return std::string(stage != nullptr ? stage->word : "실행") + " (" + run->runStamp + "부터)";
}

std::optional<std::string> Unless(bool empty, const std::string& text)
{
    return empty ? std::nullopt : std::make_optional(text);
}

// The result of the last run: "성공", "성공 (전송 실패)" when a step after its
// export failed, "실패", or "-" before any.
std::string ResultText(const ItemHistory& h, const ItemStatus& status)
{
    if (h.lastRunTime.empty())
        return kNone;
    if (!h.lastRunSucceeded)
        return "실패";
    if (status.failedSteps != 0)
        return "성공 (" + StepWords(status.failedSteps) + " 실패)";
    return "성공";
}

// Everything that makes the item fail or warn, joined: the last run's cause
// (or the warning of its success), why its later steps failed, and why its
// schedule can never make it due.
std::string CauseText(const ItemHistory& h, const ItemStatus& status)
{
    std::string cause = h.lastCause;
    const auto add = [&cause](const std::string& text) {
        if (!text.empty())
            cause += (cause.empty() ? "" : "; ") + text;
    };
    if (status.failedSteps != 0)
        add(h.stepsCause.empty() ? StepWords(status.failedSteps) + " 실패" : h.stepsCause);
    if (!status.scheduleFault.empty())
        add("일정 오류: " + status.scheduleFault);
    return cause.empty() ? kNone : cause;
}

} // namespace

std::string FormatStatusText(const ScheduleTable& table, const Settings& settings,
                             const LocalDateTime& now, bool& healthy,
                             const std::vector<PendingRun>& running)
{
    healthy = true;
    std::vector<std::array<std::string, kHeader.size()>> rows;
    rows.reserve(table.size() + 1);
    auto& header = rows.emplace_back();
    std::copy(kHeader.begin(), kHeader.end(), header.begin());
    std::size_t failed = 0;
    std::size_t overdue = 0;
    std::size_t stepFailed = 0;
    std::size_t faulty = 0;
    for (const auto& record : table) {
        const ItemStatus status = StatusOf(*record, settings, now);
        const ItemHistory& h = record->history;
        const bool ran = !h.lastRunTime.empty();
        const bool succeeded = !h.lastSuccessTime.empty();
        const bool counts = record->bEnabled;
        failed += counts && status.lastRunFailed;
        overdue += counts && status.overdueSince.has_value();
        stepFailed += counts && status.failedSteps != 0;
        faulty += counts && !status.scheduleFault.empty();
        healthy = healthy && status.Healthy(*record);
        rows.push_back({std::to_string(record->nNo), record->strServiceName, record->strID,
                        record->bEnabled ? "예" : "아니오", BuildScheduleText(*record),
                        status.nextRun ? FormatDateTime(*status.nextRun) : kNone,
                        ran ? h.lastRunTime : kNone, ResultText(h, status),
                        succeeded ? h.lastSuccessTime : kNone,
                        succeeded ? h.lastSuccessDump : kNone,
                        succeeded ? SizeText(h.lastSuccessBytes) : kNone,
                        std::to_string(h.failuresInARow), status.overdueSince ? "예" : "아니오",
                        RunningText(RunOf(*record, running)), CauseText(h, status)});
    }
    // What a database's message or a hand-edited file put in a cell (an
    // escape sequence) is shown, never obeyed by the terminal.
    for (auto& row : rows)
        for (std::string& cell : row)
            cell = EscapeControlCharacters(cell);
    // Every column as wide as its widest cell; the cause, last, as it is.
    std::array<std::size_t, kHeader.size()> widths{};
    for (const auto& row : rows)
        for (std::size_t c = 0; c + 1 < row.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    std::string out;
    out.reserve(rows.size() * 160);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c + 1 < row.size(); ++c) {
            out += row[c];
            out.append(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        out += row.back();
        out += '\n';
    }
    out += "항목 " + std::to_string(table.size()) + "개, 실패 " + std::to_string(failed) +
           "개, 지연 " + std::to_string(overdue) + "개, 뒤 단계 실패 " +
           std::to_string(stepFailed) + "개, 일정 오류 " + std::to_string(faulty) + "개\n";
    return out;
}

std::string FormatStatusJson(const ScheduleTable& table, const Settings& settings,
                             const LocalDateTime& now, const std::string& folder, bool& healthy,
                             const std::vector<PendingRun>& running)
{
    healthy = true;
    std::string items;
    items.reserve(table.size() * 600);
    for (const auto& record : table) {
        const ItemStatus status = StatusOf(*record, settings, now);
        const ItemHistory& h = record->history;
        const bool ran = !h.lastRunTime.empty();
        const bool succeeded = !h.lastSuccessTime.empty();
        healthy = healthy && status.Healthy(*record);
        if (!items.empty())
            items += ",\n  ";
        JsonObject item(items);
        item.Number("number", record->nNo);
        item.Text("service", record->strServiceName);
        item.Text("user", record->strID);
        item.Bool("enabled", record->bEnabled);
        item.Text("schedule", BuildScheduleText(*record));
        item.Optional("next_run", status.nextRun
                                      ? std::make_optional(FormatIso8601(*status.nextRun))
                                      : std::nullopt);
        item.Optional("last_run", IsoOf(h.lastRunTime));
        item.Raw("last_run_succeeded", !ran ? "null" : h.lastRunSucceeded ? "true" : "false");
        item.Raw("last_run_seconds", ran ? std::to_string(h.lastRunSeconds) : "null");
        item.Optional("last_cause", Unless(h.lastCause.empty(), h.lastCause));
        // The steps after a successful export, each with whether it succeeded.
        std::string steps;
        if (ran && h.lastRunSucceeded) {
            JsonObject taken(steps);
            for (const RunStepName& step : kRunStepNames)
                if (step.step != kStepExport && (h.laterSteps & step.step) != 0)
                    taken.Bool(step.name, (status.failedSteps & step.step) == 0);
        }
        item.Raw("last_run_steps", steps.empty() ? "null" : steps);
        item.Optional("last_run_steps_cause",
                      Unless(status.failedSteps == 0 || h.stepsCause.empty(), h.stepsCause));
        item.Optional("schedule_problem",
                      Unless(status.scheduleFault.empty(), status.scheduleFault));
        item.Optional("last_success", IsoOf(h.lastSuccessTime));
        item.Optional("last_success_dump", Unless(!succeeded, h.lastSuccessDump));
        item.Raw("last_success_bytes", succeeded ? std::to_string(h.lastSuccessBytes) : "null");
        item.Number("consecutive_failures", h.failuresInARow);
        item.Bool("overdue", status.overdueSince.has_value());
        item.Optional("overdue_since", status.overdueSince
                                           ? std::make_optional(FormatIso8601(*status.overdueSince))
                                           : std::nullopt);
        item.Bool("healthy", status.Healthy(*record));
        const PendingRun* run = RunOf(*record, running);
        const RunStepName* stage = run != nullptr ? StageOf(*run) : nullptr;
        item.Bool("running", run != nullptr);
        item.Optional("run_started", run != nullptr ? IsoOf(run->runStamp) : std::nullopt);
        item.Optional("run_stage", stage != nullptr ? std::make_optional<std::string>(stage->name)
                                                    : std::nullopt);
        const std::string log = NewestRunLog(*record, folder);
        item.Optional("last_log", Unless(log.empty(), log));
    }
    std::string out;
    {
        JsonObject document(out);
        document.Text("folder", folder);
        document.Text("time", FormatIso8601(now));
        document.Bool("healthy", healthy);
        document.Raw("items", items.empty() ? "[]" : "[\n  " + items + "\n]");
    }
    out += '\n';
    return out;
}

int StatusCommand(const Clock& clock, const std::string& dataFolder, bool json)
{
    const std::string schedulePath = JoinPath(dataFolder, kScheduleFileName);
    const auto refuse = [](const std::string& text) {
        std::fprintf(stderr, "Veltrane: %s\n", text.c_str());
        return 2;
    };
    if (!PathExists(schedulePath))
        return refuse(schedulePath + " 파일이 없습니다");
    Result<ScheduleTable> table = ReadSchedule(schedulePath);
    if (!table)
        return refuse(table.error().description);
    // The histories as the service last kept them; the file is written whole
    // and renamed, so it is read whole whenever the service writes it.
    RunStateFile state(JoinPath(dataFolder, kRunStateFileName));
    if (const Status loaded = state.Load(); !loaded)
        return refuse(loaded.error().description);
    ApplyItemStates(state.Items(), *table);
    // A value that cannot be read keeps its default, as in the service (which
    // says so in its lines, and --check too).
    Settings settings;
    std::vector<std::string> problems;
    ReadSettings(JoinPath(dataFolder, kSettingsFileName), settings, problems);

    // The unfinished runs are in progress while a program holds the folder;
    // without one they are what a killed run left for the next start.
    const std::vector<PendingRun> running =
        FolderLockHeld(dataFolder) ? state.Pending() : std::vector<PendingRun>();

    bool healthy = true;
    const LocalDateTime now = clock.Now();
    const std::string out =
        json ? FormatStatusJson(*table, settings, now, dataFolder, healthy, running)
             : FormatStatusText(*table, settings, now, healthy, running);
    if (!WriteAll(STDOUT_FILENO, out))
        return refuse("표준 출력에 쓸 수 없습니다");
    return healthy ? 0 : 1;
}

} // namespace veltrane
