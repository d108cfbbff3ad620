#include "store/run_state.h"

#include "platform/file_io.h"
#include "store/number_text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kHeader =
    "# Veltrane: runs that did not finish, cleaned up or finished at the next start.\n"
    "# Written by Veltrane; do not edit.\n";
constexpr std::string_view kPendingKind = "pending";
constexpr std::string_view kItemKind = "item";

std::string Escape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (char c : field) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab - at));
        if (tab == std::string_view::npos)
            return fields;
        at = tab + 1;
    }
}

// The steps of `steps` joined by `separator`, by name or by word.
std::string JoinSteps(unsigned steps, bool words, const char* separator)
{
    std::string text;
    for (const RunStepName& s : kRunStepNames)
        if ((steps & s.step) != 0) {
            if (!text.empty())
                text += separator;
            text += words ? s.word : s.name;
        }
    return text;
}

std::string StepsText(unsigned steps)
{
    return JoinSteps(steps, false, ",");
}

unsigned ParseSteps(std::string_view text)
{
    unsigned steps = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view word = text.substr(0, comma);
        for (const RunStepName& s : kRunStepNames)
            if (word == s.name)
                steps |= s.step;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return steps;
}

} // namespace

std::string StepWords(unsigned steps)
{
    return JoinSteps(steps, true, ", ");
}

std::string FormatRunState(const RunState& state)
{
    std::string text(kHeader);
    for (const PendingRun& run : state.pending) {
        text += kPendingKind;
        for (const std::string& field :
             {std::to_string(run.itemNo), Escape(run.service), Escape(run.user),
              Escape(run.backUpFolder), Escape(run.runStamp), Escape(run.filePrefix),
              Escape(run.fileStamp), StepsText(run.steps)}) {
            text += '\t';
            text += field;
        }
        text += '\n';
    }
    for (const ItemState& item : state.items) {
        const ItemHistory& h = item.history;
        text += kItemKind;
        for (const std::string& field :
             {std::to_string(item.itemNo), Escape(item.service), Escape(item.user),
              Escape(item.backUpFolder), Escape(h.lastRunTime),
              std::string(h.lastRunSucceeded ? "ok" : "failed"), Escape(h.lastCause),
              std::to_string(h.failuresInARow), Escape(h.lastSuccessTime),
              Escape(h.lastSuccessDump), std::to_string(h.lastSuccessBytes),
              Escape(h.overdueAlertedFor), std::to_string(h.lastRunSeconds),
              StepsText(h.laterSteps), StepsText(h.failedSteps), Escape(h.stepsCause)}) {
            text += '\t';
            text += field;
        }
        text += '\n';
    }
    return text;
}

RunState ParseRunState(std::string_view text)
{
    RunState state;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        const std::vector<std::string_view> fields = SplitTabs(line);
        // An item line has 13 fields, 14 since the run's duration was kept,
        // 17 since the later steps were; a later version may add more after
        // them.
        if (fields.size() >= 13 && fields[0] == kItemKind) {
            ItemState item;
            item.itemNo = LeadingInt32(fields[1]).value_or(0);
            item.service = Unescape(fields[2]);
            item.user = Unescape(fields[3]);
            item.backUpFolder = Unescape(fields[4]);
            ItemHistory& h = item.history;
            h.lastRunTime = Unescape(fields[5]);
            h.lastRunSucceeded = fields[6] == "ok";
            h.lastCause = Unescape(fields[7]);
            h.failuresInARow = LeadingInt32(fields[8]).value_or(0);
            h.lastSuccessTime = Unescape(fields[9]);
            h.lastSuccessDump = Unescape(fields[10]);
            h.lastSuccessBytes =
                static_cast<std::int64_t>(WholeDecimalNumber(fields[11]).value_or(0));
            h.overdueAlertedFor = Unescape(fields[12]);
            if (fields.size() > 13)
                h.lastRunSeconds =
                    static_cast<std::int64_t>(WholeDecimalNumber(fields[13]).value_or(0));
            if (fields.size() > 16) {
                h.laterSteps = ParseSteps(fields[14]);
                h.failedSteps = ParseSteps(fields[15]) & h.laterSteps;
                h.stepsCause = Unescape(fields[16]);
            }
            state.items.push_back(std::move(item));
            continue;
        }
        if (fields.size() != 9 || fields[0] != kPendingKind)
            continue;
        const std::optional<std::int32_t> itemNo = LeadingInt32(fields[1]);
        PendingRun run;
        run.itemNo = itemNo.value_or(0);
        run.service = Unescape(fields[2]);
        run.user = Unescape(fields[3]);
        run.backUpFolder = Unescape(fields[4]);
        run.runStamp = Unescape(fields[5]);
        run.filePrefix = Unescape(fields[6]);
        run.fileStamp = Unescape(fields[7]);
        run.steps = ParseSteps(fields[8]);
        if (run.steps != 0 && !run.filePrefix.empty() && !run.fileStamp.empty())
            state.pending.push_back(std::move(run));
    }
    return state;
}

std::vector<ItemState> ItemStatesOf(const ScheduleTable& table)
{
    std::vector<ItemState> items;
    items.reserve(table.size());
    for (const auto& record : table)
        items.push_back({KeyOf(*record), record->history});
    return items;
}

void ApplyItemStates(const std::vector<ItemState>& items, ScheduleTable& table)
{
    std::vector<const ItemKey*> keys;
    keys.reserve(items.size());
    for (const ItemState& item : items)
        keys.push_back(&item);
    const std::vector<std::size_t> found = FindSameItems(table, keys);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (found[i] != kNoItem)
            table[found[i]]->history = items[i].history;
}

RunStateFile::RunStateFile(std::string path) : path_(std::move(path)) {}

Status RunStateFile::LoadLocked()
{
    if (loaded_)
        return loadStatus_;
    loaded_ = true;
    Result<std::string> text = ReadWholeFile(path_, kMaxRunStateFileBytes);
    if (text)
        state_ = ParseRunState(*text);
    else if (text.error().code != ENOENT)
        loadStatus_ = text.error();
    return loadStatus_;
}

Status RunStateFile::SaveLocked()
{
    return WriteFileAtomically(path_, FormatRunState(state_), 0660);
}

Status RunStateFile::Load()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return LoadLocked();
}

std::vector<PendingRun> RunStateFile::Pending()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    return state_.pending;
}

std::vector<ItemState> RunStateFile::Items()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    return state_.items;
}

Status RunStateFile::Owe(const PendingRun& run)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    std::vector<PendingRun>& pending = state_.pending;
    const auto it = std::find_if(pending.begin(), pending.end(), [&](const PendingRun& p) {
        return p.filePrefix == run.filePrefix && p.fileStamp == run.fileStamp;
    });
    if (run.steps == 0) {
        if (it == pending.end())
            return {};
        pending.erase(it);
    } else if (it == pending.end()) {
        pending.push_back(run);
    } else if (*it == run) {
        return {};
    } else {
        *it = run;
    }
    return SaveLocked();
}

Status RunStateFile::SetItems(std::vector<ItemState> items)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    state_.items = std::move(items);
    return SaveLocked();
}

} // namespace veltrane
