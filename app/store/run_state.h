#pragma once

// "Veltrane.state": what Veltrane keeps across its own restarts, beside
// Schedule.dat (whose format stays as it is):
//
// - each item's history (ItemHistory: its last run, its last success, the
//   overdue alert already given), so that what the window, the alerts and the
//   status show survives a restart or a reload;
// - the runs that did not finish: a run is written here before its export
//   starts, and again after each step it still owes, so that a program killed
//   part-way (kill -9, a power cut, a stop during an export) can clean up or
//   finish at its next start:
//
// - a run that still owes its export was abandoned while exporting: its dump
//   is partial and is deleted;
// - a run whose export succeeded but that still owes its mail, its read-back,
//   its compression or its upload has them done then.
//
// The file is text (UTF-8), one TAB-separated line per entry, written whole
// and atomically. A change of one entry (a run's steps, its child, one item's
// history) is appended as a line of its own, which takes the place of what
// came before it, so that a busy table's runs do not each write the whole
// file; the file is written whole again once the appended lines outgrow it.
// A TAB, CR, LF or backslash inside a field is written as "\t", "\r", "\n"
// or "\\". Lines of a kind this version does not know are skipped, so a later
// version may add kinds of its own.

#include "platform/result.h"
#include "store/schedule_record.h"
#include "store/schedule_table.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace veltrane {

inline constexpr const char* kRunStateFileName = "Veltrane.state";
// The largest Veltrane.state that is read; a larger one is refused unread.
inline constexpr std::uint64_t kMaxRunStateFileBytes = 64 << 20;

// The steps of a run that can be owed, as bits.
enum RunStep : unsigned {
    kStepExport = 1u << 0,
    kStepMail = 1u << 1,
    kStepVerify = 1u << 2,
    kStepCompress = 1u << 3,
    kStepTransfer = 1u << 4,
};

// Each step, in the order a run takes them, with the name this file and the
// metrics give it and the word the program's lines use.
struct RunStepName
{
    RunStep step;
    const char* name;
    const char* word;
};
inline constexpr std::array<RunStepName, 5> kRunStepNames = {{{kStepExport, "export", "엑스포트"},
                                                              {kStepMail, "mail", "메일"},
                                                              {kStepVerify, "verify", "검증"},
                                                              {kStepCompress, "compress", "압축"},
                                                              {kStepTransfer, "transfer", "전송"}}};

// "메일, 전송": the words of the steps of `steps`, in their order.
std::string StepWords(unsigned steps);

// One run that has not finished, with its item as the schedule named it.
struct PendingRun : ItemKey
{
    std::string runStamp;   // the run's start, "yyyy-MM-dd hh:mm:ss"
    std::string filePrefix; // item folder + "/" + user + "_"
    std::string fileStamp;  // "yyyyMMddhhmmss" of the run's files
    unsigned steps = 0;     // RunStep bits still owed

    bool operator==(const PendingRun&) const = default;
};

// Where an item stands in retrying its failed runs: the record's
// nExportFailCount, strRetryAfter and strGaveUpTime.
struct RetryState
{
    std::int16_t failures = 0;
    std::string retryAfter;
    std::string gaveUpTime;

    bool operator==(const RetryState&) const = default;
};

// The history of one item, with the item as the schedule names it, and its
// retries (a line of their own, "retry", written after the item's line when
// there is anything to keep).
struct ItemState : ItemKey
{
    ItemHistory history;
    RetryState retry;
    // The latest back time of a run that Schedule.dat does not hold yet
    // (a busy table saves it every few seconds); empty when it does.
    std::string unsavedBackUpTime;

    bool operator==(const ItemState&) const = default;
};

// A child of a run (the export, the archiver) while it runs: its process
// group (led by the child) and the leader's start, in clock ticks since boot,
// so that a later start can stop what a killed program left running, and
// never a process that took the number since.
struct ChildGroup
{
    std::int64_t group = 0;
    unsigned long long start = 0;
    std::string name;

    bool operator==(const ChildGroup&) const = default;
};

struct RunState
{
    std::vector<PendingRun> pending;
    std::vector<ItemState> items;
    std::vector<ChildGroup> children;
    // Lines that could not be read (garbage, a known kind with fields
    // missing, a last line cut short); what could be read is kept.
    std::size_t damagedLines = 0;
};

// What Veltrane.state keeps of one record, and of each of the table's.
ItemState ItemStateOf(const ScheduleRecord& record);
std::vector<ItemState> ItemStatesOf(const ScheduleTable& table);
// Gives each record of the table the history and the retries kept for it:
// the entry of the same item (FindSameItems). A record without one keeps its
// own. A give-up later than the record's latest back time moves it there, as
// the give-up did; so does a later latest back time not yet saved, and the
// record then says it is not saved (bBackUpTimeUnsaved).
void ApplyItemStates(const std::vector<ItemState>& items, ScheduleTable& table);

// The whole file as text, and back. Parsing never fails: a line it cannot
// read is skipped.
std::string FormatRunState(const RunState& state);
RunState ParseRunState(std::string_view text);

// Veltrane.state as one object that a run's thread and the table's owner
// both change: each change is written at once, appended as a line, or whole
// and atomically (mode 0660, so that the window of a member of the service's
// group and the service both keep it) when the appended lines have outgrown
// the file, when it could not be appended to, or when items came or went.
// Safe to use from several threads.
class RunStateFile
{
public:
    explicit RunStateFile(std::string path);

    // Reads the file the first time it is asked for anything; a missing file
    // is an empty state. An Error (every time) when it exists but could not
    // be read: the state then starts empty, and the next change writes it
    // anew. A file with damaged lines keeps what could be read; a copy of it
    // goes to `path` + kDamagedSuffix before anything is written over it.
    Status Load();
    // The damaged lines Load found (0 when none), and whether its copy was kept.
    std::size_t DamagedLines();
    bool DamagedCopyKept();

    std::vector<PendingRun> Pending();
    std::vector<ItemState> Items();

    // The run's entry (the same file prefix and stamp) now owes `run.steps`;
    // none: the entry goes. An Error when the file cannot be written.
    Status Owe(const PendingRun& run);
    Status SetItems(std::vector<ItemState> items);
    // The entry at `index` of the items last set takes `item`'s history;
    // false, with nothing changed, when that entry is not the same item (the
    // items must then be set whole).
    bool SetItem(std::size_t index, const ItemState& item, Status& written);

    // The child groups running now, recorded while they run.
    std::vector<ChildGroup> Children();
    Status AddChild(const ChildGroup& child);
    Status RemoveChild(std::int64_t group);

    // A change whose write failed is kept here, and written with the next
    // change or by Retry: what is in memory is never older than the file.
    // Retry writes only then (no error when nothing waits).
    bool Unwritten();
    Status Retry();
    // Writes the state as it is, whether or not anything changed: whether
    // the file can be written now.
    Status Rewrite();
    // Writes the state whole when lines were appended since it last was (the
    // program's end leaves a file of one line per entry).
    Status Compact();

private:
    Status LoadLocked();
    Status SaveLocked();
    // Appends `lines`, the change just made to state_; writes the state
    // whole instead when that is due or the append fails.
    Status AppendLocked(const std::string& lines);

    std::mutex mutex_;
    std::string path_;
    RunState state_;
    bool loaded_ = false;
    bool unwritten_ = false;
    bool damagedCopyKept_ = false;
    Status loadStatus_;
    // The file holds state_ as its lines say it, and ends with a whole line:
    // a change may be appended.
    bool appendable_ = false;
    std::uint64_t wholeBytes_ = 0;    // written whole (or read) last time
    std::uint64_t appendedBytes_ = 0; // appended since
};

inline constexpr const char* kDamagedSuffix = ".damaged";

} // namespace veltrane
