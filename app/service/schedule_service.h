#pragma once

// The scheduler: the schedule table, the launch pass that starts its due
// items once a second, the saves, the settings, the overdue alerts and what
// the program does at its start. The window and the headless service each
// own one and drive it with their launch tick; its jobs execute where its
// RunExecutor says (the window: a worker thread), and what they change is
// applied to the table on the owner's thread.
//
// The table belongs to the owner's thread, and only the service changes it:
// the operator's commands (insert, edit, delete and its undo, enable, back up
// now) are its operations, and a run works on a copy of its item and hands
// its result back, so that an edit during a run can never race it. Every
// change keeps the service's books: the histories in Veltrane.state (written
// once for the change, when it moves them), the metrics, and the
// OnTableChanged call.

#include "job/backup_run.h"
#include "job/run_environment.h"
#include "platform/clock.h"
#include "schedule/due_cache.h"
#include "service/run_executor.h"
#include "store/schedule_record.h"
#include "store/schedule_table.h"
#include "store/settings_file.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltrane {

class ScheduleService
{
public:
    // See RunEnvironment for the two folders. `executor` null: every job runs
    // on the caller's thread.
    ScheduleService(RunObserver& observer, const Clock& clock, std::string dataFolder,
                    std::string libraryFolder = {}, RunExecutor* executor = nullptr);
    // Saves what is still unsaved (SaveDeferred).
    ~ScheduleService();
    ScheduleService(const ScheduleService&) = delete;
    ScheduleService& operator=(const ScheduleService&) = delete;

    // The table, to read: records change only through the operations below.
    const ScheduleTable& Table() const { return table_; }
    RunEnvironment& Environment() { return env_; }
    std::string SchedulePath() const;

    // Reads Schedule.dat into the table, giving each item the history kept
    // for it. A file that cannot be used (see LoadSchedule in
    // store/schedule_file.h), and a file without items while the table has
    // some, leave the table as it is.
    Status LoadSchedule();
    // Takes `table` as the schedule, records and their histories as they
    // are: a schedule made elsewhere (the tests', a benchmark's).
    void SetTable(ScheduleTable table);
    // Writes the table to Schedule.dat (a delete is then permanent); a save
    // that fails is reported as a result line with its reason. Returns
    // whether the file was written.
    bool SaveScheduleOrReport();
    // While more runs wait their turn, a run's success does not save the
    // whole schedule, nor the metrics: Veltrane.state keeps its latest back
    // time (appended, one line), and both are saved every kDeferSeconds of
    // the clock, when the last waiting run is done, and here. The program
    // calls this on its way out: Veltrane.state is then written whole too.
    void SaveDeferred();
    static constexpr std::int64_t kDeferSeconds = 5;

    // The item commands. Records are found with the store's FindFirstItem
    // and ItemsNumbered on Table(); see store/schedule_table.h for how each
    // treats numbers that a hand-made file repeats.
    //
    // Whether the table takes no more items (the window says so before the
    // editor opens).
    bool IsFull() const { return IsScheduleTableFull(table_); }
    // Appends a disabled item made from the editor's result; an Error when
    // the table is full.
    Result<std::shared_ptr<ScheduleRecord>> InsertItem(const ItemProperties& properties);
    // Gives `record` the editor's result (all its properties; the table's own
    // fields stay). A record deleted meanwhile takes it too, for an undo.
    void EditItem(const std::shared_ptr<ScheduleRecord>& record, const ItemProperties& properties);
    // Removes every item numbered `number`, renumbering the rest; returns
    // the records removed. They can be put back (UndoDelete) until the table
    // is saved or read anew; until then Veltrane.state keeps their histories,
    // as Schedule.dat still holds them.
    std::vector<std::shared_ptr<ScheduleRecord>> DeleteItems(std::int32_t number);
    // Puts the items of the last delete back in their places; the records
    // put back (none when there is no delete to undo), or an Error saying why
    // the delete is permanent (the table was saved, or read anew).
    Result<std::vector<std::shared_ptr<ScheduleRecord>>> UndoDelete();
    // Sets bEnabled of every item numbered `number`; returns how many.
    std::size_t SetItemsEnabled(std::int32_t number, bool enabled);
    // Flags every enabled item numbered `number` to run at the next tick (a
    // disabled one never runs: a flag left on it would start it the moment
    // it is ticked); returns how many.
    std::size_t MarkRunNow(std::int32_t number);

    // Reads Veltrane.ini in the data folder (writing what it lacks), and
    // writes one result line for each value it cannot use.
    void LoadSettings();
    void SetSettings(const Settings& settings)
    {
        settings_ = settings;
        metricsStale_ = true;
    }
    const Settings& CurrentSettings() const { return settings_; }

    // With `keep`, a run that finds Schedule.dat changed or replaced on disk
    // since it was last loaded or saved (the service's operator copied one
    // in) does not save over it: it reads that file, writes its result (the
    // latest back time) into the same item there, saves it and keeps it as
    // the table, saying so in a result line.
    void KeepOutsideChanges(bool keep) { keepOutsideChanges_ = keep; }

    // Appends a result line "[yyyy-MM-dd hh:mm:ss] text".
    void WriteLine(const std::string& text) { env_.WriteLine(text); }

    // Called on the owner's thread after the table changed: with the record
    // whose fields changed (an edit, a tick of its box, a run's result), or
    // with null when items came or went (an insert, a delete, its undo, a
    // table read anew; the window builds its rows anew).
    void OnTableChanged(std::function<void(const ScheduleRecord*)> changed)
    {
        changed_ = std::move(changed);
    }
    // Called on the owner's thread as each run starts, with the table's
    // record it runs, and as it ends, with null (the window marks its row).
    void OnRunning(std::function<void(const std::shared_ptr<ScheduleRecord>&)> running)
    {
        running_ = std::move(running);
    }

    // The launch timer's work, on the owner's thread: the metrics file's
    // heartbeat (once a minute, also during a job); nothing more while a job
    // is in progress; the first tick first does StartUp; then the future
    // latest back times are said, the overdue alerts given (once a minute),
    // and the launch pass run.
    void Tick();
    // How many seconds (one at least) the next Tick may wait without coming
    // late to anything: one while anything is under way or waits for a
    // second of its own (a job, a queued run, a deferred save, an unwritten
    // Veltrane.state, a flagged item, a try owed, a latest back time ahead),
    // else until the next second an item may be due, at most the start of
    // the next minute, where the minute's overdue check and metrics fall.
    std::int64_t SecondsToNextTick();
    // What the first tick does: the runs that the program's last end
    // interrupted are cleaned up or finished (ResumeInterruptedRuns), and,
    // when the settings ask for it, each item whose time passed while the
    // program was not running is flagged to run once now, with a line.
    void StartUp();
    // Cleans up or finishes the runs that the program's last end interrupted
    // (ResumeInterruptedRuns), as a job; what the finished steps came to goes
    // into their items' histories.
    void ResumeInterruptedRuns();
    // Says once, in a line, of each enabled item whose latest back time lies
    // in the future; the due rules do not count from it.
    void CheckLastBackUpTimes();
    // Alerts every item whose latest due time, by its own rules, passed more
    // than OverdueAlertHours ago without a success since (OverdueSince), once
    // per due time; an item about to run (flagged) waits for its run.
    void CheckOverdue();
    // One launch pass: queues every enabled item that is due or flagged, in
    // table order, to run one after the other; each run clears its flag.
    // Tick runs it when no job is in progress. A queued run takes its copy of
    // the item when it starts: an item edited meanwhile runs as it is then,
    // one deleted or disabled meanwhile is skipped, with a line.
    void LaunchDueItems();
    bool RunInProgress() const { return jobs_ > 0; }
    // Called on the owner's thread before each queued run takes its item:
    // what must take effect between two runs (the service's reload) is done
    // there, and the run then takes the item as the reload left it.
    void OnBetweenRuns(std::function<void()> between) { betweenRuns_ = std::move(between); }

    // One backup of `record` on the caller's thread, whatever the executor
    // (--run-item's), its result applied to it; what it came to.
    RunOutcome RunBackupJob(ScheduleRecord& record);

private:
    // Passes everything on to the owner's observer. A job that holds the
    // owner's thread (every job of the headless service) waits often, and
    // its waits keep the heartbeat going: an export of hours is no stopped
    // program.
    class Relay final : public RunObserver
    {
    public:
        Relay(ScheduleService& service, RunObserver& observer)
            : service_(service), observer_(observer)
        {}
        void Stage(const std::string& text) override { observer_.Stage(text); }
        void Detail(const std::string& text) override { observer_.Detail(text); }
        void Line(const std::string& line) override { observer_.Line(line); }
        void Message(const std::string& text, bool critical) override
        {
            observer_.Message(text, critical);
        }
        void Progress(const std::string& text) override { observer_.Progress(text); }
        void Idle() override;
        bool StopRequested() override { return observer_.StopRequested(); }

    private:
        ScheduleService& service_;
        RunObserver& observer_;
    };

    // Rewrites the metrics file (see service/metrics_file.h) from the table,
    // on the owner's thread: after every change and run, and once a minute of
    // the clock (Heartbeat), when that minute's samples differ from those
    // last written or the heartbeat written is kHeartbeatMinutes old. A file
    // that cannot be written is said once, in a result line, until it can be
    // written again; nothing else stops for it.
    void WriteMetrics(bool unlessUnchanged = false);
    // WriteMetrics, or, while more runs wait, at the next deferred save.
    void WriteMetricsSoon();
    // What the clock alone moves in the metrics' samples: each item's next
    // run and whether it is overdue, hashed over the table.
    std::size_t ClockSamplesHash(const LocalDateTime& now);
    void Heartbeat();
    // The deferred saves, when kDeferSeconds have passed since the first (or
    // `now`).
    void SaveDeferred(bool now);
    // Schedule.dat's save (`schedule`) or the metrics' waits for SaveDeferred.
    void Defer(bool schedule);

    void Submit(std::function<void()> work, std::function<void()> done);
    // Starts the queued runs, one at a time: the next when the last is done.
    void StartQueuedRuns();
    // The table's record a queued run is for now: the same record while the
    // table holds it, the same item in a table read anew since; null when it
    // is gone.
    // A run's job, for the table's record `target`.
    void SubmitRun(const std::shared_ptr<ScheduleRecord>& target);
    // The run's success, recorded before it mails: the latest back time and
    // the history go to the table's record, and the table is saved.
    void Recorded(ScheduleRecord& target, const ScheduleRecord& result);
    // The run's result (latest back time, history, failure count, flag) to
    // `target` and, when the table was read anew meanwhile, to the same item
    // in it; the table's record of the item (null when it has none).
    ScheduleRecord* ApplyResult(ScheduleRecord& target, const ScheduleRecord& result);
    // A finished job's history of an item to the table's record of it.
    void ApplyHistory(const ScheduleRecord& result);
    // `target` when the table holds it, else the table's record of the same
    // item; null when there is none.
    ScheduleRecord* InTable(const ScheduleRecord& target);
    // Where the table holds `record` itself; none when it does not.
    std::optional<std::size_t> PositionOf(const ScheduleRecord& record) const;
    // Schedule.dat as the operator changed it on disk takes the table's
    // place, with what the runs recorded since the last save written into
    // it; `record`, when given, is the item whose run found the change.
    void AdoptChangedSchedule(const ScheduleRecord* record);
    // The table in place of the one before (read anew, or set): a delete
    // can no longer be undone.
    void Replace(ScheduleTable table);
    // Schedule.dat written from the table, or the reason it was not in a
    // result line (no state write).
    bool WriteSchedule();
    // The books after a change on the owner's thread: the histories (when
    // the change moved them), the metrics, and the OnTableChanged call.
    void Changed(const ScheduleRecord* record, bool histories);
    // The histories of the table's items and of the items deleted but not
    // yet saved; Veltrane.state's written from them.
    std::vector<ItemState> KnownItems() const;
    // Schedule.dat read to take the table's place (LoadSchedule).
    Result<ScheduleTable> ReadReplacement();
    void SaveItems();
    // The history of one of the table's records to Veltrane.state: one line
    // appended when the state's items are still the table's, else SaveItems.
    void SaveItem(const ScheduleRecord& record);
    // Deep copies of the table's records.
    ScheduleTable Snapshot() const;

    // What the last delete took away, until it is undone or made permanent.
    struct Deletion
    {
        std::vector<RemovedItem> items;
        std::string permanent; // why it can no longer be undone; empty: it can
    };

    const Clock& clock_;
    Relay relay_;
    RunEnvironment env_;
    InlineExecutor inline_;
    RunExecutor& executor_;
    ScheduleTable table_;
    DueCache due_;                    // the table's due and overdue moments, kept between ticks
    std::uint64_t futureChecked_ = 0; // due_'s verification last looked at
    bool futureSeen_ = false;         // a latest back time was ahead then
    Settings settings_;
    std::string settingsPath_;
    LocalDateTime start_;
    std::function<void(const ScheduleRecord*)> changed_;
    std::function<void(const std::shared_ptr<ScheduleRecord>&)> running_;
    std::function<void()> betweenRuns_;
    // A run waiting for its turn: its record when queued, and the table it
    // was in (counted by Replace).
    struct QueuedRun
    {
        std::shared_ptr<ScheduleRecord> record;
        std::uint64_t table = 0;
    };
    std::shared_ptr<ScheduleRecord> Current(const QueuedRun& queued) const;
    std::deque<QueuedRun> queue_;
    std::uint64_t tableNumber_ = 0; // how many times the table was replaced
    bool runActive_ = false;        // a queued run is submitted and not done
    bool startingRuns_ = false;     // StartQueuedRuns is on the stack
    std::optional<Deletion> deletion_;
    int jobs_ = 0; // submitted and not yet done
    int overdueMinute_ = -1;
    // The items whose runs are in progress, for the metrics.
    std::mutex runningMutex_;
    std::vector<ItemKey> runningItems_;
    // The heartbeat in the metrics file is never older than this many minutes
    // (the packaged alert calls it stale after five).
    static constexpr std::int64_t kHeartbeatMinutes = 3;
    std::int64_t metricsMinute_ = -1;     // the minute the metrics were last looked at in
    std::int64_t metricsWritten_ = -1;    // the minute they were last written in
    std::size_t metricsClockSamples_ = 0; // what the clock moved in those (ClockSamplesHash)
    bool metricsStale_ = true;            // the table or settings changed since
    // What the metrics last worked out of each item's clock samples, in
    // seconds, kept by position until the table changes: its next run (or
    // kNoRun), the moment that holds until, and the moment it turns overdue
    // (OverdueFrom). kNotKept: work it out anew.
    static constexpr std::int64_t kNotKept = INT64_MIN;
    static constexpr std::int64_t kNoRun = INT64_MAX;
    struct ClockSample
    {
        std::int64_t nextRun = kNoRun;
        std::int64_t nextRunUntil = kNotKept;
        std::int64_t overdueFrom = kNotKept;
    };
    std::vector<ClockSample> metricsClock_;
    // The clock's seconds when a save was first deferred (none waits: empty),
    // and which saves wait.
    std::optional<std::int64_t> deferredSince_;
    bool scheduleDeferred_ = false;
    bool metricsDeferred_ = false;
    std::string metricsPath_;    // where they were written
    std::string metricsText_;    // their text, its memory kept for the next
    bool metricsFailed_ = false; // said; quiet until a write succeeds
    std::thread::id owner_ = std::this_thread::get_id();
    bool startedUp_ = false;
    bool keepOutsideChanges_ = false;
    std::array<long long, 5> knownFile_{}; // Schedule.dat as last loaded or saved
};

} // namespace veltrane
