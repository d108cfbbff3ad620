#include "store/run_state.h"

#include "platform/file_io.h"
#include "store/number_text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kHeader =
    "# Veltrane: runs that did not finish, cleaned up or finished at the next start.\n"
    "# Written by Veltrane; do not edit.\n";
constexpr std::string_view kPendingKind = "pending";
constexpr std::string_view kItemKind = "item";
constexpr std::string_view kChildKind = "child";
constexpr std::string_view kRetryKind = "retry";

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
        if (item.retry == RetryState{})
            continue;
        text += kRetryKind;
        for (const std::string& field :
             {std::to_string(item.itemNo), Escape(item.service), Escape(item.user),
              Escape(item.backUpFolder), std::to_string(item.retry.failures),
              Escape(item.retry.retryAfter), Escape(item.retry.gaveUpTime)}) {
            text += '\t';
            text += field;
        }
        text += '\n';
    }
    for (const ChildGroup& child : state.children)
        text += std::string(kChildKind) + '\t' + std::to_string(child.group) + '\t' +
                std::to_string(child.start) + '\t' + Escape(child.name) + '\n';
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
        const bool known = fields[0] == kItemKind || fields[0] == kPendingKind ||
                           fields[0] == kChildKind || fields[0] == kRetryKind;
        // A line of a kind this version knows with too few fields, or a line
        // that is no entry at all, is damage; a kind of a later version is not.
        const bool damaged =
            (known && fields.size() < (fields[0] == kItemKind      ? 13u
                                       : fields[0] == kPendingKind ? 9u
                                       : fields[0] == kRetryKind   ? 8u
                                                                   : 4u)) ||
            (!known && fields.size() == 1 && !line.empty() && !line.starts_with('#')) ||
            line.find('\0') != std::string_view::npos;
        // Written whole, the file ends with a line end: a last line without
        // one was cut short, and is still read for what it holds.
        if (damaged || end == std::string_view::npos)
            ++state.damagedLines;
        if (damaged)
            continue;
        if (fields[0] == kChildKind) {
            ChildGroup child;
            child.group = LeadingInt32(fields[1]).value_or(0);
            child.start =
                static_cast<unsigned long long>(WholeDecimalNumber(fields[2]).value_or(0));
            child.name = Unescape(fields[3]);
            if (child.group > 1)
                state.children.push_back(std::move(child));
            continue;
        }
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
        // A retry line belongs to the item line of the same item before it.
        if (fields.size() >= 8 && fields[0] == kRetryKind) {
            ItemKey key;
            key.itemNo = LeadingInt32(fields[1]).value_or(0);
            key.service = Unescape(fields[2]);
            key.user = Unescape(fields[3]);
            key.backUpFolder = Unescape(fields[4]);
            const auto item =
                std::find_if(state.items.rbegin(), state.items.rend(), [&](const ItemState& i) {
                    return static_cast<const ItemKey&>(i) == key;
                });
            if (item != state.items.rend()) {
                const std::int32_t failures = LeadingInt32(fields[5]).value_or(0);
                item->retry.failures = static_cast<std::int16_t>(std::clamp(failures, 0, 32767));
                item->retry.retryAfter = Unescape(fields[6]);
                item->retry.gaveUpTime = Unescape(fields[7]);
            }
            continue;
        }
        if (fields.size() < 9 || fields[0] != kPendingKind)
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

ItemState ItemStateOf(const ScheduleRecord& record)
{
    return {KeyOf(record),
            record.history,
            {record.nExportFailCount, record.strRetryAfter, record.strGaveUpTime}};
}

std::vector<ItemState> ItemStatesOf(const ScheduleTable& table)
{
    std::vector<ItemState> items;
    items.reserve(table.size());
    for (const auto& record : table)
        items.push_back(ItemStateOf(*record));
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
        if (found[i] != kNoItem) {
            ScheduleRecord& record = *table[found[i]];
            const RetryState& retry = items[i].retry;
            record.history = items[i].history;
            record.nExportFailCount = retry.failures;
            record.strRetryAfter = retry.retryAfter;
            record.strGaveUpTime = retry.gaveUpTime;
            // Both "yyyy-MM-dd hh:mm:ss": the later sorts after.
            if (retry.gaveUpTime > record.strLastBackUpTime)
                record.strLastBackUpTime = retry.gaveUpTime;
        }
}

RunStateFile::RunStateFile(std::string path) : path_(std::move(path)) {}

Status RunStateFile::LoadLocked()
{
    if (loaded_)
        return loadStatus_;
    loaded_ = true;
    Result<std::string> text = ReadWholeFile(path_, kMaxRunStateFileBytes);
    if (text) {
        state_ = ParseRunState(*text);
        // The damaged file as it was, for whoever looks into it: the next
        // change writes only what could be read.
        if (state_.damagedLines != 0)
            damagedCopyKept_ = WriteFileAtomically(path_ + kDamagedSuffix, *text, 0660).ok();
    } else if (text.error().code != ENOENT) {
        loadStatus_ = text.error();
        // Too large to be one of ours: moved aside whole, so that the next
        // change, which writes the state anew, does not replace it unseen.
        if (text.error().code == EFBIG)
            damagedCopyKept_ = rename(path_.c_str(), (path_ + kDamagedSuffix).c_str()) == 0;
    }
    return loadStatus_;
}

Status RunStateFile::SaveLocked()
{
    const Status saved = WriteFileAtomically(path_, FormatRunState(state_), 0660);
    unwritten_ = !saved.ok();
    return saved;
}

std::size_t RunStateFile::DamagedLines()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    return state_.damagedLines;
}

bool RunStateFile::DamagedCopyKept()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return damagedCopyKept_;
}

std::vector<ChildGroup> RunStateFile::Children()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    return state_.children;
}

Status RunStateFile::AddChild(const ChildGroup& child)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    state_.children.push_back(child);
    return SaveLocked();
}

Status RunStateFile::RemoveChild(std::int64_t group)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    std::vector<ChildGroup>& children = state_.children;
    const auto gone = std::remove_if(children.begin(), children.end(),
                                     [group](const ChildGroup& c) { return c.group == group; });
    if (gone == children.end() && !unwritten_)
        return {};
    children.erase(gone, children.end());
    return SaveLocked();
}

bool RunStateFile::Unwritten()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return unwritten_;
}

Status RunStateFile::Retry()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return unwritten_ ? SaveLocked() : Status();
}

Status RunStateFile::Rewrite()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    return SaveLocked();
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
    // Nothing changes: nothing to write, unless an earlier write failed.
    if (run.steps == 0) {
        if (it == pending.end() && !unwritten_)
            return {};
        if (it != pending.end())
            pending.erase(it);
    } else if (it == pending.end()) {
        pending.push_back(run);
    } else if (*it == run) {
        if (!unwritten_)
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
    // Nothing changes (a run's end tells the same histories twice): nothing
    // to write, unless an earlier write failed.
    if (items == state_.items && !unwritten_)
        return {};
    state_.items = std::move(items);
    return SaveLocked();
}

} // namespace veltrane
