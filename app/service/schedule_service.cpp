#include "service/schedule_service.h"

#include "job/backup_run.h"
#include "platform/program_folder.h"
#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "service/item_status.h"
#include "service/metrics_file.h"
#include "store/run_state.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <string_view>
#include <sys/stat.h>

namespace veltrane {
namespace {

// What a run recorded of its item (its latest back time, history, failure
// count, owed try and giving up) to `to`.
void TakeRunResult(ScheduleRecord& to, const ScheduleRecord& from)
{
    to.strLastBackUpTime = from.strLastBackUpTime;
    to.history = from.history;
    to.nExportFailCount = from.nExportFailCount;
    to.strRetryAfter = from.strRetryAfter;
    to.strGaveUpTime = from.strGaveUpTime;
}

// What identifies one version of a file on disk: a copy put in its place, or
// an edit, changes it.
std::array<long long, 5> FileIdentity(const std::string& path)
{
    struct stat st
    {};
    if (stat(path.c_str(), &st) != 0)
        return {0, 0, 0, 0, 0};
    return {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
            static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
            static_cast<long long>(st.st_mtim.tv_nsec)};
}

} // namespace

ScheduleService::ScheduleService(RunObserver& observer, const Clock& clock, std::string dataFolder,
                                 std::string libraryFolder, RunExecutor* executor)
    : clock_(clock), relay_(*this, observer),
      env_(relay_, clock, dataFolder, std::move(libraryFolder)),
      executor_(executor != nullptr ? *executor : inline_),
      settingsPath_(JoinPath(dataFolder, kSettingsFileName)), start_(clock.Now())
{}

ScheduleService::~ScheduleService()
{
    // The owner may be half gone: it hears of nothing more.
    changed_ = nullptr;
    running_ = nullptr;
    SaveDeferred();
}

std::string ScheduleService::SchedulePath() const
{
    return JoinPath(env_.DataFolder(), kScheduleFileName);
}

Result<ScheduleTable> ScheduleService::ReadReplacement()
{
    Result<ScheduleTable> loaded = veltrane::LoadSchedule(SchedulePath());
    // A file without items never empties a table that has some: a copy that
    // failed on a full disk leaves exactly such a file, and taking it would
    // stop every backup without a word. Only a start takes an empty schedule.
    if (loaded && loaded->empty() && !table_.empty()) {
        // Appended, not joined with "+": GCC 12's optimiser warns wrongly of
        // an overlapping copy in '"\"" + text'.
        std::string text = "\"";
        text.append(SchedulePath()).append("\" holds no item");
        return Error{std::move(text), "LoadSchedule", ENODATA};
    }
    return loaded;
}

Status ScheduleService::LoadSchedule()
{
    Result<ScheduleTable> loaded = ReadReplacement();
    if (!loaded)
        return loaded.error();
    // What is known of the items' runs outlives a reload: the histories the
    // table in memory holds (or, at the start, those kept in Veltrane.state).
    ApplyItemStates(table_.empty() ? env_.Items() : KnownItems(), *loaded);
    Replace(std::move(*loaded));
    knownFile_ = FileIdentity(SchedulePath());
    // Latest back times that only Veltrane.state holds (the last end came
    // before the save) go into the file with the next deferred save.
    if (std::any_of(table_.begin(), table_.end(),
                    [](const auto& r) { return r->bBackUpTimeUnsaved; }))
        Defer(true);
    return {};
}

void ScheduleService::SetTable(ScheduleTable table)
{
    Replace(std::move(table));
}

void ScheduleService::Replace(ScheduleTable table)
{
    table_ = std::move(table);
    due_.Invalidate();
    metricsStale_ = true;
    ++tableNumber_;
    if (deletion_ && deletion_->permanent.empty())
        deletion_->permanent =
            std::string(kScheduleFileName) + "을 다시 읽었으므로 삭제한 항목을 되돌릴 수 없습니다.";
    if (changed_)
        changed_(nullptr);
}

bool ScheduleService::WriteSchedule()
{
    if (const Status saved = veltrane::SaveSchedule(SchedulePath(), table_); !saved) {
        WriteLine(std::string(kScheduleFileName) + " 저장 실패: " + saved.error().description);
        return false;
    }
    knownFile_ = FileIdentity(SchedulePath());
    if (deletion_ && deletion_->permanent.empty())
        deletion_->permanent = "삭제한 항목은 이미 저장되어 되돌릴 수 없습니다.";
    scheduleDeferred_ = false;
    // The latest back times Veltrane.state kept for the file are in it now:
    // the state forgets them, or a start after the operator set one back in
    // the file by hand would put it forward again.
    bool unsaved = false;
    for (const auto& record : table_) {
        unsaved = unsaved || record->bBackUpTimeUnsaved;
        record->bBackUpTimeUnsaved = false;
    }
    if (unsaved)
        SaveItems();
    return true;
}

void ScheduleService::SaveDeferred()
{
    SaveDeferred(true);
    env_.CompactState();
}

void ScheduleService::SaveDeferred(bool now)
{
    if (!deferredSince_)
        return;
    const std::int64_t seconds = SecondsOf(clock_.Now());
    // A clock set back counts as time passed.
    if (!now && seconds - *deferredSince_ < kDeferSeconds && seconds >= *deferredSince_)
        return;
    deferredSince_.reset();
    if (scheduleDeferred_) {
        if (keepOutsideChanges_ && FileIdentity(SchedulePath()) != knownFile_)
            AdoptChangedSchedule(nullptr);
        else
            WriteSchedule();
        // Not saved (said in a line): Veltrane.state keeps what is unsaved,
        // and the save is tried again in a while.
        if (scheduleDeferred_)
            deferredSince_ = seconds;
    }
    if (metricsDeferred_) {
        metricsDeferred_ = false;
        WriteMetrics();
    }
}

bool ScheduleService::SaveScheduleOrReport()
{
    const bool deletionPending = deletion_ && deletion_->permanent.empty();
    if (!WriteSchedule())
        return false;
    // The deleted items are gone from the file now, and their histories
    // with them.
    if (deletionPending)
        SaveItems();
    return true;
}

Result<std::shared_ptr<ScheduleRecord>>
ScheduleService::InsertItem(const ItemProperties& properties)
{
    std::string error;
    std::shared_ptr<ScheduleRecord> added = veltrane::InsertItem(table_, properties, error);
    if (!added)
        return Error{std::move(error), "InsertItem", 0};
    Changed(nullptr, true);
    return added;
}

void ScheduleService::EditItem(const std::shared_ptr<ScheduleRecord>& record,
                               const ItemProperties& properties)
{
    ApplyProperties(properties, *record);
    // Its history follows it, under the names it has now.
    Changed(record.get(), true);
}

std::vector<std::shared_ptr<ScheduleRecord>> ScheduleService::DeleteItems(std::int32_t number)
{
    std::vector<RemovedItem> removed = veltrane::DeleteItems(table_, number);
    std::vector<std::shared_ptr<ScheduleRecord>> records;
    for (const RemovedItem& item : removed)
        records.push_back(item.record);
    // Only the last delete can be undone; one that removed nothing leaves it.
    if (!removed.empty())
        deletion_ = Deletion{std::move(removed), {}};
    Changed(nullptr, true);
    return records;
}

Result<std::vector<std::shared_ptr<ScheduleRecord>>> ScheduleService::UndoDelete()
{
    if (!deletion_)
        return std::vector<std::shared_ptr<ScheduleRecord>>();
    const Deletion deletion = std::move(*deletion_);
    deletion_.reset();
    if (!deletion.permanent.empty())
        return Error{deletion.permanent, "UndoDelete", 0};
    RestoreItems(table_, deletion.items);
    std::vector<std::shared_ptr<ScheduleRecord>> records;
    for (const RemovedItem& item : deletion.items)
        records.push_back(item.record);
    Changed(nullptr, true);
    return records;
}

std::size_t ScheduleService::SetItemsEnabled(std::int32_t number, bool enabled)
{
    const std::vector<std::shared_ptr<ScheduleRecord>> items = ItemsNumbered(table_, number);
    for (const auto& record : items) {
        record->bEnabled = enabled;
        Changed(record.get(), false);
    }
    return items.size();
}

std::size_t ScheduleService::MarkRunNow(std::int32_t number)
{
    std::size_t flagged = 0;
    for (const auto& record : ItemsNumbered(table_, number)) {
        if (!record->bEnabled)
            continue;
        record->bRunNow = true;
        ++flagged;
        Changed(record.get(), false);
    }
    return flagged;
}

void ScheduleService::Changed(const ScheduleRecord* record, bool histories)
{
    due_.Invalidate();
    if (histories)
        SaveItems();
    WriteMetricsSoon();
    if (changed_)
        changed_(record);
}

void ScheduleService::LoadSettings()
{
    Settings settings;
    std::vector<std::string> problems;
    veltrane::LoadSettings(settingsPath_, settings, problems);
    settings_ = settings;
    metricsStale_ = true;
    for (const std::string& problem : problems)
        WriteLine(std::string(kSettingsFileName) + ": " + problem);
}

void ScheduleService::Submit(std::function<void()> work, std::function<void()> done)
{
    ++jobs_;
    executor_.Submit(std::move(work), [this, done = std::move(done)] {
        done();
        --jobs_;
    });
}

ScheduleTable ScheduleService::Snapshot() const
{
    ScheduleTable copies;
    copies.reserve(table_.size());
    for (const auto& record : table_)
        copies.push_back(std::make_shared<ScheduleRecord>(*record));
    return copies;
}

void ScheduleService::Tick()
{
    Heartbeat();
    env_.RetryState();
    if (RunInProgress())
        return;
    if (!startedUp_)
        StartUp();
    CheckLastBackUpTimes();
    // Due times fall on whole minutes or later seconds of them: once a minute
    // is often enough, and keeps a long table's ticks cheap.
    if (const int minute = clock_.Now().minute; minute != overdueMinute_) {
        overdueMinute_ = minute;
        CheckOverdue();
    }
    // The jobs the start and the alerts queued run first, in order.
    LaunchDueItems();
}

std::int64_t ScheduleService::SecondsToNextTick()
{
    const std::optional<std::int64_t> quiet = due_.QuietUntil();
    if (!startedUp_ || RunInProgress() || !queue_.empty() || deferredSince_ ||
        env_.StateUnwritten() || futureSeen_ || !quiet)
        return 1;
    const LocalDateTime now = clock_.Now();
    const std::int64_t nowSeconds = SecondsOf(now);
    const std::int64_t nextMinute = nowSeconds - now.second + 60;
    return std::max<std::int64_t>(1, std::min(*quiet, nextMinute) - nowSeconds);
}

void ScheduleService::StartUp()
{
    startedUp_ = true;
    env_.ReportStateFile();
    ResumeInterruptedRuns();
    if (!settings_.runMissedBackups)
        return;
    const LocalDateTime now = clock_.Now();
    for (const std::shared_ptr<ScheduleRecord>& record : table_) {
        if (record->bRunNow)
            continue;
        if (const std::optional<LocalDateTime> missed = MissedDueTime(*record, now)) {
            record->bRunNow = true;
            due_.Invalidate();
            metricsStale_ = true;
            WriteLine(record->strServiceName + " 놓친 백업을 지금 실행합니다 (예정 " +
                      FormatDateTime(*missed) + ")");
        }
    }
}

void ScheduleService::ResumeInterruptedRuns()
{
    // A kill of the program left its export running, perhaps still writing
    // the dump a run of this start would judge: stopped first.
    env_.StopLeftoverChildren();
    // On this thread, before anything is due: an item whose good export the
    // last end cut off from its record is not taken for one still to run.
    SettleInterruptedExports(env_, settings_, table_, [this](const ScheduleRecord& r) {
        if (ScheduleRecord* current = InTable(r)) {
            current->strLastBackUpTime = std::max(current->strLastBackUpTime, r.strLastBackUpTime);
            current->history = r.history;
            current->nExportFailCount = r.nExportFailCount;
            WriteSchedule();
            Changed(current, true);
        }
    });
    auto table = std::make_shared<ScheduleTable>(Snapshot());
    Submit(
        [this, table, settings = settings_] {
            veltrane::ResumeInterruptedRuns(
                env_, settings, *table, [this](const ScheduleRecord& r) {
                    executor_.Post([this, result = r] { ApplyHistory(result); });
                });
        },
        [] {});
}

void ScheduleService::CheckLastBackUpTimes()
{
    const LocalDateTime now = clock_.Now();
    // With every latest back time behind the clock, and the table as it was
    // at the last look, there is nothing new to say or to clear.
    const std::optional<std::int64_t> latest = due_.LatestBackUp(table_, now);
    const bool ahead = latest && *latest > SecondsOf(now);
    if (due_.Verifications() == futureChecked_ && !ahead && !futureSeen_)
        return;
    futureChecked_ = due_.Verifications();
    futureSeen_ = ahead;
    for (std::size_t i = 0; i < table_.size(); ++i) {
        ScheduleRecord* record = table_[i].get();
        if (!record->bEnabled || record->strLastBackUpTime.empty())
            continue;
        const bool future = due_.LastBackUpInFuture(table_, i, now);
        if (future && !record->bFutureTimeReported)
            WriteLine(record->strServiceName + " Latest Back Time이 미래입니다 (" +
                      record->strLastBackUpTime +
                      "): 시계가 앞서 있었던 것으로 보고 일정대로 실행합니다");
        record->bFutureTimeReported = future;
    }
}

void ScheduleService::CheckOverdue()
{
    const double hours = settings_.overdueAlertHours;
    if (hours <= 0)
        return;
    const std::int64_t grace = std::llround(hours * 3600);
    const LocalDateTime now = clock_.Now();
    std::vector<std::shared_ptr<ScheduleRecord>> alerted;
    for (const auto& [index, dueText] : due_.Overdue(table_, start_, now, grace)) {
        const std::shared_ptr<ScheduleRecord>& record = table_[index];
        if (record->bRunNow || record->history.overdueAlertedFor == *dueText)
            continue;
        record->history.overdueAlertedFor = *dueText;
        alerted.push_back(std::make_shared<ScheduleRecord>(*record));
    }
    if (alerted.empty())
        return;
    // Once per due time: kept in Veltrane.state before any mail goes, so
    // neither a restart nor a reload alerts it again.
    SaveItems();
    for (const std::shared_ptr<ScheduleRecord>& copy : alerted)
        Submit([this, copy] { MailOverdue(env_, *copy, copy->history.overdueAlertedFor); }, [] {});
}

void ScheduleService::LaunchDueItems()
{
    for (const std::shared_ptr<ScheduleRecord>& record : due_.DueItems(table_, clock_.Now())) {
        const bool queued = std::any_of(queue_.begin(), queue_.end(),
                                        [&](const QueuedRun& q) { return q.record == record; });
        if (!queued)
            queue_.push_back({record, tableNumber_});
    }
    StartQueuedRuns();
}

std::shared_ptr<ScheduleRecord> ScheduleService::Current(const QueuedRun& queued) const
{
    const auto held = std::find(table_.begin(), table_.end(), queued.record);
    if (held != table_.end())
        return *held;
    // Deleted from the table it was queued in; or that table was read anew,
    // and the item is the one the new table names so.
    if (queued.table == tableNumber_)
        return nullptr;
    return FindSameItem(table_, KeyOf(*queued.record));
}

void ScheduleService::StartQueuedRuns()
{
    // A job done at once (the headless service's) comes back here from its
    // own end: the loop below goes on instead.
    if (startingRuns_)
        return;
    startingRuns_ = true;
    while (!runActive_ && !queue_.empty()) {
        if (betweenRuns_)
            betweenRuns_();
        if (queue_.empty())
            break;
        const QueuedRun queued = queue_.front();
        queue_.pop_front();
        const std::shared_ptr<ScheduleRecord> record = Current(queued);
        if (record == nullptr || !record->bEnabled) {
            WriteLine(queued.record->strServiceName + " 대기 중이던 백업을 건너뜁니다: " +
                      (record == nullptr ? "항목이 없습니다" : "사용하지 않는 항목입니다"));
            // A flag left on a disabled item would start it the moment it
            // is ticked.
            if (record != nullptr && record->bRunNow) {
                record->bRunNow = false;
                Changed(record.get(), false);
            }
            continue;
        }
        runActive_ = true;
        SubmitRun(record);
    }
    startingRuns_ = false;
}

void ScheduleService::SubmitRun(const std::shared_ptr<ScheduleRecord>& target)
{
    auto copy = std::make_shared<ScheduleRecord>(*target);
    Submit(
        [this, target, copy, settings = settings_] {
            executor_.Post([this, target] {
                if (running_)
                    running_(target);
            });
            veltrane::RunBackupJob(env_, settings, *copy, [this, target](const ScheduleRecord& r) {
                executor_.Post([this, target, result = r] { Recorded(*target, result); });
            });
        },
        [this, target, copy] {
            target->bRunNow = false;
            const ScheduleRecord* current = ApplyResult(*target, *copy);
            SaveItem(current != nullptr ? *current : *target);
            if (running_)
                running_(nullptr);
            Changed(current != nullptr ? current : target.get(), false);
            runActive_ = false;
            // The last of a backlog saves what the backlog deferred.
            if (queue_.empty())
                SaveDeferred(true);
            StartQueuedRuns();
        });
}

RunOutcome ScheduleService::RunBackupJob(ScheduleRecord& record)
{
    ScheduleRecord copy = record;
    const ItemKey key = KeyOf(record);
    {
        std::lock_guard<std::mutex> hold(runningMutex_);
        runningItems_.push_back(key);
    }
    // The run shows in the metrics from its start, not a minute later.
    WriteMetrics();
    const RunOutcome outcome = veltrane::RunBackupJob(
        env_, settings_, copy, [this, &record](const ScheduleRecord& r) { Recorded(record, r); });
    {
        std::lock_guard<std::mutex> hold(runningMutex_);
        runningItems_.erase(std::find(runningItems_.begin(), runningItems_.end(), key));
    }
    const ScheduleRecord* current = ApplyResult(record, copy);
    Changed(current != nullptr ? current : &record, true);
    return outcome;
}

std::optional<std::size_t> ScheduleService::PositionOf(const ScheduleRecord& record) const
{
    const auto held = std::find_if(table_.begin(), table_.end(),
                                   [&](const auto& r) { return r.get() == &record; });
    if (held == table_.end())
        return std::nullopt;
    return static_cast<std::size_t>(held - table_.begin());
}

ScheduleRecord* ScheduleService::InTable(const ScheduleRecord& target)
{
    if (const std::optional<std::size_t> position = PositionOf(target))
        return table_[*position].get();
    // The table was read anew during the run: the same item, if it is there.
    return FindSameItem(table_, KeyOf(target)).get();
}

void ScheduleService::Recorded(ScheduleRecord& target, const ScheduleRecord& result)
{
    ScheduleRecord* current = ApplyResult(target, result);
    if (keepOutsideChanges_ && FileIdentity(SchedulePath()) != knownFile_) {
        AdoptChangedSchedule(&target);
        SaveItems();
    } else if (current != nullptr && !queue_.empty()) {
        // More runs wait: the schedule is saved with theirs, and meanwhile
        // Veltrane.state keeps this latest back time, so that a start after
        // a kill does not run the item again.
        current->bBackUpTimeUnsaved = true;
        Defer(true);
        SaveItem(*current);
    } else {
        WriteSchedule();
        SaveItems();
    }
    WriteMetricsSoon();
}

ScheduleRecord* ScheduleService::ApplyResult(ScheduleRecord& target, const ScheduleRecord& result)
{
    const auto apply = [&result](ScheduleRecord& record) {
        TakeRunResult(record, result);
        if (!result.bRunNow)
            record.bRunNow = false;
    };
    apply(target);
    due_.Invalidate();
    ScheduleRecord* current = InTable(target);
    if (current != nullptr && current != &target)
        apply(*current);
    return current;
}

void ScheduleService::ApplyHistory(const ScheduleRecord& result)
{
    // Only the history: the item's flag and times may have moved on since
    // the copy was taken.
    if (ScheduleRecord* current = InTable(result)) {
        current->history = result.history;
        Changed(current, true);
    }
}

void ScheduleService::Heartbeat()
{
    SaveDeferred(false);
    if (MinuteNumber(clock_.Now()) != metricsMinute_)
        WriteMetrics(true);
}

void ScheduleService::WriteMetricsSoon()
{
    metricsStale_ = true;
    // A table at its limit makes tens of megabytes of metrics: a backlog's
    // runs write them with the deferred save.
    if (queue_.empty()) {
        WriteMetrics();
        return;
    }
    Defer(false);
}

void ScheduleService::Defer(bool schedule)
{
    (schedule ? scheduleDeferred_ : metricsDeferred_) = true;
    if (!deferredSince_)
        deferredSince_ = SecondsOf(clock_.Now());
}

void ScheduleService::Relay::Idle()
{
    observer_.Idle();
    // A job on a thread of its own leaves the owner's thread to its ticks.
    if (std::this_thread::get_id() == service_.owner_)
        service_.Heartbeat();
}

void ScheduleService::WriteMetrics(bool unlessUnchanged)
{
    const LocalDateTime now = clock_.Now();
    const std::int64_t minute = MinuteNumber(now);
    metricsMinute_ = minute;
    const std::string path = MetricsPath(settings_, env_.DataFolder());
    std::vector<ItemKey> running;
    {
        std::lock_guard<std::mutex> hold(runningMutex_);
        running = runningItems_;
    }
    Status written = CheckMetricsPath(path, env_.DataFolder());
    if (written) {
        // A table at its limit makes tens of megabytes of text. Every change
        // of the table writes it; in between, only the clock moves samples
        // (an item's next run, its lateness): while it moved none, the
        // minute's write is skipped, and the heartbeat alone is written
        // anew when the one in the file gets old for the staleness alert.
        const std::size_t clockSamples = ClockSamplesHash(now);
        const bool unchanged = unlessUnchanged && !metricsStale_ && !metricsFailed_ &&
                               clockSamples == metricsClockSamples_ && path == metricsPath_ &&
                               minute >= metricsWritten_;
        if (unchanged && minute - metricsWritten_ < kHeartbeatMinutes)
            return;
        if (unchanged)
            SetMetricsHeartbeat(metricsText_, now);
        else
            FormatMetrics(table_, settings_, now, running, metricsText_);
        written = WriteMetricsFile(path, metricsText_);
        if (written) {
            metricsClockSamples_ = clockSamples;
            metricsStale_ = false;
            metricsPath_ = path;
            metricsWritten_ = minute;
        }
    }
    if (written && metricsFailed_)
        WriteLine("메트릭 파일 다시 씀: " + path);
    else if (!written && !metricsFailed_)
        WriteLine("메트릭 파일 쓰기 실패: " + written.error().description);
    metricsFailed_ = !written;
}

std::size_t ScheduleService::ClockSamplesHash(const LocalDateTime& now)
{
    // An item's next run holds for a while (NextDueTimeHolding), and after a
    // success its lateness starts at a fixed moment, while the item is as it
    // was: the minute's look reads them from what it kept.
    const std::int64_t nowSeconds = SecondsOf(now);
    if (metricsClock_.size() != table_.size() || metricsStale_)
        metricsClock_.assign(table_.size(), ClockSample{});
    std::size_t hash = table_.size();
    for (std::size_t i = 0; i < table_.size(); ++i) {
        const ScheduleRecord& record = *table_[i];
        ClockSample& kept = metricsClock_[i];
        if (kept.nextRunUntil == kNotKept || nowSeconds >= kept.nextRunUntil) {
            const NextRunHolding next = NextDueTimeHolding(record, now);
            kept.nextRun = next.run.value_or(kNoRun);
            kept.nextRunUntil = next.until;
        }
        if (kept.overdueFrom == kNotKept)
            kept.overdueFrom = OverdueFrom(record, settings_, now).value_or(kNotKept);
        const bool overdue = kept.overdueFrom != kNotKept
                                 ? nowSeconds >= kept.overdueFrom
                                 : OverdueOf(record, settings_, now).has_value();
        hash = (hash * 1000003u ^ std::hash<std::int64_t>{}(kept.nextRun)) * 2 + (overdue ? 1 : 0);
    }
    return hash;
}

void ScheduleService::AdoptChangedSchedule(const ScheduleRecord* record)
{
    // The operator's copy wins, and what the runs recorded goes into it: an
    // item would otherwise run again, its success forgotten.
    Result<ScheduleTable> onDisk = ReadReplacement();
    if (!onDisk) {
        WriteLine(std::string(kScheduleFileName) + " 저장 안 함: " + onDisk.error().description);
        return;
    }
    ApplyItemStates(KnownItems(), *onDisk);
    const std::shared_ptr<ScheduleRecord> same =
        record != nullptr ? FindSameItem(*onDisk, KeyOf(*record)) : nullptr;
    Replace(std::move(*onDisk));
    knownFile_ = FileIdentity(SchedulePath());
    if (record != nullptr && same == nullptr) {
        WriteLine(std::string(kScheduleFileName) +
                  " 다시 읽음: 실행 중에 바뀐 파일에 이 항목이 없습니다 (" +
                  record->strServiceName + ")");
        return;
    }
    if (same != nullptr) {
        TakeRunResult(*same, *record);
        due_.Invalidate();
    }
    WriteLine(std::string(kScheduleFileName) + " 다시 읽음: 실행 중에 바뀐 파일에 결과를 씁니다");
    WriteSchedule();
}

std::vector<ItemState> ScheduleService::KnownItems() const
{
    std::vector<ItemState> items = ItemStatesOf(table_);
    // Items deleted but not saved are still in Schedule.dat: their histories
    // stay for them, should the program end (or the file be read anew)
    // before the delete is saved.
    if (deletion_ && deletion_->permanent.empty())
        for (const RemovedItem& removed : deletion_->items)
            items.push_back(ItemStateOf(*removed.record));
    return items;
}

void ScheduleService::SaveItems()
{
    env_.SetItems(KnownItems());
}

void ScheduleService::SaveItem(const ScheduleRecord& record)
{
    // The state's items are the table's, in its order, as SaveItems last
    // wrote them, unless items came or went since.
    const std::optional<std::size_t> position = PositionOf(record);
    if (!position || !env_.SetItem(*position, ItemStateOf(record)))
        SaveItems();
}

} // namespace veltrane
