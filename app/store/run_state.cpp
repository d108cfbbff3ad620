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
// Appended: one item's history at its position ("itemat"), a child gone.
constexpr std::string_view kItemAtKind = "itemat";
constexpr std::string_view kChildGoneKind = "childgone";

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

namespace {

// One line of the file: its kind, then each field after a TAB.
class LineText
{
public:
    LineText(std::string& text, std::string_view kind) : text_(text) { text_ += kind; }
    ~LineText() { text_ += '\n'; }
    LineText(const LineText&) = delete;
    LineText& operator=(const LineText&) = delete;

    LineText& operator<<(std::string_view field)
    {
        text_ += '\t';
        text_ += field;
        return *this;
    }

private:
    std::string& text_;
};

void AddKey(LineText& line, const ItemKey& key)
{
    line << std::to_string(key.itemNo) << Escape(key.service) << Escape(key.user)
         << Escape(key.backUpFolder);
}

// An item's key, history and unsaved latest back time: 17 fields.
void AddItem(LineText& line, const ItemState& item)
{
    const ItemHistory& h = item.history;
    AddKey(line, item);
    line << Escape(h.lastRunTime) << (h.lastRunSucceeded ? "ok" : "failed") << Escape(h.lastCause)
         << std::to_string(h.failuresInARow) << Escape(h.lastSuccessTime)
         << Escape(h.lastSuccessDump) << std::to_string(h.lastSuccessBytes)
         << Escape(h.overdueAlertedFor) << std::to_string(h.lastRunSeconds)
         << StepsText(h.laterSteps) << StepsText(h.failedSteps) << Escape(h.stepsCause)
         << Escape(item.unsavedBackUpTime);
}
constexpr std::size_t kItemFields = 17;

void AddRetry(LineText& line, const RetryState& retry)
{
    line << std::to_string(retry.failures) << Escape(retry.retryAfter) << Escape(retry.gaveUpTime);
}

void AddPendingLine(std::string& text, const PendingRun& run)
{
    LineText line(text, kPendingKind);
    AddKey(line, run);
    line << Escape(run.runStamp) << Escape(run.filePrefix) << Escape(run.fileStamp)
         << StepsText(run.steps);
}

void AddChildLine(std::string& text, const ChildGroup& child)
{
    LineText(text, kChildKind) << std::to_string(child.group) << std::to_string(child.start)
                               << Escape(child.name);
}

// A whole number of bytes, seconds or clock ticks; 0 when the field holds
// none, or one too large for 64 bits (a damaged file's).
std::int64_t CountOf(std::string_view field)
{
    const double value = WholeDecimalNumber(field).value_or(0);
    return value >= 0 && value < 9.2e18 ? static_cast<std::int64_t>(value) : 0;
}

ItemKey ParseKey(const std::vector<std::string_view>& fields, std::size_t at)
{
    ItemKey key;
    key.itemNo = LeadingInt32(fields[at]).value_or(0);
    key.service = Unescape(fields[at + 1]);
    key.user = Unescape(fields[at + 2]);
    key.backUpFolder = Unescape(fields[at + 3]);
    return key;
}

// The item of fields [at, end): at least 12 of them (the first versions'),
// 13 since the run's duration was kept, 16 since the later steps were, 17
// since the unsaved latest back time.
ItemState ParseItem(const std::vector<std::string_view>& fields, std::size_t at, std::size_t end)
{
    ItemState item;
    static_cast<ItemKey&>(item) = ParseKey(fields, at);
    const std::size_t n = end - at;
    const auto field = [&](std::size_t i) { return fields[at + i]; };
    ItemHistory& h = item.history;
    h.lastRunTime = Unescape(field(4));
    h.lastRunSucceeded = field(5) == "ok";
    h.lastCause = Unescape(field(6));
    h.failuresInARow = LeadingInt32(field(7)).value_or(0);
    h.lastSuccessTime = Unescape(field(8));
    h.lastSuccessDump = Unescape(field(9));
    h.lastSuccessBytes = CountOf(field(10));
    h.overdueAlertedFor = Unescape(field(11));
    if (n > 12)
        h.lastRunSeconds = CountOf(field(12));
    if (n > 15) {
        h.laterSteps = ParseSteps(field(13));
        h.failedSteps = ParseSteps(field(14)) & h.laterSteps;
        h.stepsCause = Unescape(field(15));
    }
    if (n > 16)
        item.unsavedBackUpTime = Unescape(field(16));
    return item;
}

RetryState ParseRetry(const std::vector<std::string_view>& fields, std::size_t at)
{
    RetryState retry;
    retry.failures =
        static_cast<std::int16_t>(std::clamp(LeadingInt32(fields[at]).value_or(0), 0, 32767));
    retry.retryAfter = Unescape(fields[at + 1]);
    retry.gaveUpTime = Unescape(fields[at + 2]);
    return retry;
}

// The fewest fields a line of each known kind has; 0 for a kind this
// version does not know.
std::size_t FieldsOfKind(std::string_view kind)
{
    if (kind == kItemKind)
        return 13;
    if (kind == kPendingKind)
        return 9;
    if (kind == kRetryKind)
        return 8;
    if (kind == kChildKind)
        return 4;
    if (kind == kItemAtKind)
        return 2 + kItemFields + 3;
    if (kind == kChildGoneKind)
        return 2;
    return 0;
}

} // namespace

std::string FormatRunState(const RunState& state)
{
    std::string text(kHeader);
    for (const PendingRun& run : state.pending)
        AddPendingLine(text, run);
    for (const ItemState& item : state.items) {
        {
            LineText line(text, kItemKind);
            AddItem(line, item);
        }
        if (item.retry == RetryState{})
            continue;
        LineText line(text, kRetryKind);
        AddKey(line, item);
        AddRetry(line, item.retry);
    }
    for (const ChildGroup& child : state.children)
        AddChildLine(text, child);
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
        const std::size_t least = FieldsOfKind(fields[0]);
        // A line of a kind this version knows with too few fields, or a line
        // that is no entry at all, is damage; a kind of a later version is not.
        bool damaged =
            (least != 0 && fields.size() < least) ||
            (least == 0 && fields.size() == 1 && !line.empty() && !line.starts_with('#')) ||
            line.find('\0') != std::string_view::npos;
        // Written whole, or appended to, the file ends with a line end: a
        // last line without one was cut short, and is still read for what it
        // holds.
        if (damaged || end == std::string_view::npos)
            ++state.damagedLines;
        if (damaged || least == 0)
            continue;
        if (fields[0] == kChildKind) {
            ChildGroup child;
            child.group = LeadingInt32(fields[1]).value_or(0);
            child.start = static_cast<unsigned long long>(CountOf(fields[2]));
            child.name = Unescape(fields[3]);
            if (child.group > 1)
                state.children.push_back(std::move(child));
        } else if (fields[0] == kChildGoneKind) {
            const std::int64_t group = LeadingInt32(fields[1]).value_or(0);
            std::erase_if(state.children,
                          [group](const ChildGroup& c) { return c.group == group; });
        } else if (fields[0] == kItemKind) {
            // A later version may add fields after those this one knows.
            state.items.push_back(
                ParseItem(fields, 1, std::min(fields.size(), std::size_t{1} + kItemFields)));
        } else if (fields[0] == kItemAtKind) {
            // One item's change, to the entry at its position: an entry
            // that is not the same item there means the line is not this
            // file's.
            const std::size_t index =
                static_cast<std::size_t>(std::max(LeadingInt32(fields[1]).value_or(-1), -1));
            ItemState item = ParseItem(fields, 2, 2 + kItemFields);
            item.retry = ParseRetry(fields, 2 + kItemFields);
            if (index < state.items.size() &&
                static_cast<const ItemKey&>(state.items[index]) == item)
                state.items[index] = std::move(item);
            else
                ++state.damagedLines;
        } else if (fields[0] == kRetryKind) {
            // A retry line belongs to the item line of the same item before it.
            const ItemKey key = ParseKey(fields, 1);
            const auto item =
                std::find_if(state.items.rbegin(), state.items.rend(), [&](const ItemState& i) {
                    return static_cast<const ItemKey&>(i) == key;
                });
            if (item != state.items.rend())
                item->retry = ParseRetry(fields, 5);
        } else {
            PendingRun run;
            static_cast<ItemKey&>(run) = ParseKey(fields, 1);
            run.runStamp = Unescape(fields[5]);
            run.filePrefix = Unescape(fields[6]);
            run.fileStamp = Unescape(fields[7]);
            run.steps = ParseSteps(fields[8]);
            // A later line of the same run takes its place; one that owes
            // nothing takes it away.
            std::erase_if(state.pending, [&](const PendingRun& p) {
                return p.filePrefix == run.filePrefix && p.fileStamp == run.fileStamp;
            });
            if (run.steps != 0 && !run.filePrefix.empty() && !run.fileStamp.empty())
                state.pending.push_back(std::move(run));
        }
    }
    return state;
}

ItemState ItemStateOf(const ScheduleRecord& record)
{
    return {KeyOf(record),
            record.history,
            {record.nExportFailCount, record.strRetryAfter, record.strGaveUpTime},
            record.bBackUpTimeUnsaved ? record.strLastBackUpTime : std::string()};
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
            // A run the schedule was not saved after: its time is this one.
            if (items[i].unsavedBackUpTime > record.strLastBackUpTime) {
                record.strLastBackUpTime = items[i].unsavedBackUpTime;
                record.bBackUpTimeUnsaved = true;
            }
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
        appendable_ = state_.damagedLines == 0;
        wholeBytes_ = text->size();
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
    const std::string text = FormatRunState(state_);
    const Status saved = WriteFileAtomically(path_, text, 0660);
    unwritten_ = !saved.ok();
    appendable_ = saved.ok();
    wholeBytes_ = text.size();
    appendedBytes_ = 0;
    return saved;
}

Status RunStateFile::AppendLocked(const std::string& lines)
{
    // Appended lines are read one after the other at the next start: past
    // the file's own size (and at least a megabyte), the file is written
    // whole again instead.
    constexpr std::uint64_t kLeastAppended = 1 << 20;
    if (!appendable_ || unwritten_ ||
        appendedBytes_ + lines.size() > std::max(kLeastAppended, wholeBytes_))
        return SaveLocked();
    // A file that cannot be appended to (a link the operator made to it,
    // which only a whole write follows) is written whole.
    if (!AppendToFile(path_, lines))
        return SaveLocked();
    appendedBytes_ += lines.size();
    return {};
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
    std::string line;
    AddChildLine(line, child);
    return AppendLocked(line);
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
    std::string line;
    LineText(line, kChildGoneKind) << std::to_string(group);
    return AppendLocked(line);
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

Status RunStateFile::Compact()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return appendedBytes_ != 0 && !unwritten_ ? SaveLocked() : Status();
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
    std::string line;
    AddPendingLine(line, run);
    return AppendLocked(line);
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

bool RunStateFile::SetItem(std::size_t index, const ItemState& item, Status& written)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    static_cast<void>(LoadLocked());
    if (index >= state_.items.size() || static_cast<const ItemKey&>(state_.items[index]) != item)
        return false;
    ItemState& entry = state_.items[index];
    if (entry == item && !unwritten_) {
        written = {};
        return true;
    }
    entry = item;
    std::string line;
    {
        LineText at(line, kItemAtKind);
        at << std::to_string(index);
        AddItem(at, item);
        AddRetry(at, item.retry);
    }
    written = AppendLocked(line);
    return true;
}

} // namespace veltrane
