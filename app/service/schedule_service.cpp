#include "service/schedule_service.h"

#include "job/backup_run.h"
#include "platform/program_folder.h"
#include "schedule/calendar.h"
#include "schedule/due_rules.h"
#include "service/metrics_file.h"
#include "store/run_state.h"
#include "store/schedule_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <sys/stat.h>

namespace veltrane {
namespace {

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
    ApplyItemStates(table_.empty() ? env_.Items() : ItemStatesOf(table_), *loaded);
    table_ = std::move(*loaded);
    knownFile_ = FileIdentity(SchedulePath());
    return {};
}

Status ScheduleService::SaveSchedule()
{
    if (Status saved = veltrane::SaveSchedule(SchedulePath(), table_); !saved)
        return saved;
    knownFile_ = FileIdentity(SchedulePath());
    return {};
}

bool ScheduleService::SaveScheduleOrReport()
{
    const Status saved = SaveSchedule();
    if (!saved)
        WriteLine("Schedule.dat 저장 실패: " + saved.error().description);
    return saved.ok();
}

void ScheduleService::LoadSettings()
{
    Settings settings;
    std::vector<std::string> problems;
    veltrane::LoadSettings(settingsPath_, settings, problems);
    settings_ = settings;
    for (const std::string& problem : problems)
        WriteLine(std::string(kSettingsFileName) + ": " + problem);
}

void ScheduleService::Submit(std::function<void()> work, std::function<void()> done)
{
    ++jobs_;
    executor_.Submit(std::move(work), [this, done = std::move(done)] {
        done();
        --jobs_;
        if (changed_)
            changed_();
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
    for (const std::shared_ptr<ScheduleRecord>& record : DueItems(table_, clock_.Now()))
        SubmitRun(record);
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
            WriteLine(record->strServiceName + " 놓친 백업을 지금 실행합니다 (예정 " +
                      FormatDateTime(*missed) + ")");
        }
    }
}

void ScheduleService::ResumeInterruptedRuns()
{
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
    const std::int64_t now = SecondsOf(clock_.Now());
    for (const std::shared_ptr<ScheduleRecord>& record : table_) {
        if (!record->bEnabled || record->strLastBackUpTime.empty())
            continue;
        const std::optional<LocalDateTime> last = ParseDateTime(record->strLastBackUpTime);
        const bool future = last && SecondsOf(*last) > now;
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
    for (const std::shared_ptr<ScheduleRecord>& record : table_) {
        if (record->bRunNow)
            continue;
        const std::optional<LocalDateTime> due = OverdueSince(*record, start_, now, grace);
        if (!due || record->history.overdueAlertedFor == FormatDateTime(*due))
            continue;
        // Once per due time: kept in Veltrane.state, so neither a restart nor
        // a reload alerts it again.
        record->history.overdueAlertedFor = FormatDateTime(*due);
        SaveItems();
        auto copy = std::make_shared<ScheduleRecord>(*record);
        Submit([this, copy] { MailOverdue(env_, *copy, copy->history.overdueAlertedFor); }, [] {});
    }
}

void ScheduleService::LaunchDueItems()
{
    if (RunInProgress())
        return;
    for (const std::shared_ptr<ScheduleRecord>& record : DueItems(table_, clock_.Now()))
        SubmitRun(record);
}

void ScheduleService::SubmitRun(const std::shared_ptr<ScheduleRecord>& target)
{
    auto copy = std::make_shared<ScheduleRecord>(*target);
    Submit(
        [this, target, copy, settings = settings_] {
            executor_.Post([this, target] {
                if (started_)
                    started_(target);
            });
            veltrane::RunBackupJob(env_, settings, *copy, [this, target](const ScheduleRecord& r) {
                executor_.Post([this, target, result = r] { Recorded(*target, result); });
            });
        },
        [this, target, copy] {
            ApplyResult(*target, *copy);
            target->bRunNow = false;
        });
}

RunOutcome ScheduleService::RunBackupJob(ScheduleRecord& record)
{
    ScheduleRecord copy = record;
    const RunOutcome outcome = veltrane::RunBackupJob(
        env_, settings_, copy, [this, &record](const ScheduleRecord& r) { Recorded(record, r); });
    ApplyResult(record, copy);
    return outcome;
}

ScheduleRecord* ScheduleService::InTable(const ScheduleRecord& target)
{
    const auto held = std::find_if(table_.begin(), table_.end(),
                                   [&](const auto& r) { return r.get() == &target; });
    if (held != table_.end())
        return held->get();
    // The table was read anew during the run: the same item, if it is there.
    for (const bool sameNumber : {true, false})
        for (const auto& r : table_)
            if ((!sameNumber || r->nNo == target.nNo) &&
                IsSameItem(*r, target.strServiceName, target.strID, target.strBackUpFolder))
                return r.get();
    return nullptr;
}

void ScheduleService::Recorded(ScheduleRecord& target, const ScheduleRecord& result)
{
    ApplyResult(target, result);
    if (keepOutsideChanges_ && FileIdentity(SchedulePath()) != knownFile_)
        AdoptChangedSchedule(target);
    else
        SaveScheduleOrReport();
    SaveItems();
}

void ScheduleService::ApplyResult(ScheduleRecord& target, const ScheduleRecord& result)
{
    const auto apply = [&result](ScheduleRecord& record) {
        record.strLastBackUpTime = result.strLastBackUpTime;
        record.history = result.history;
        record.nExportFailCount = result.nExportFailCount;
        if (!result.bRunNow)
            record.bRunNow = false;
    };
    apply(target);
    if (ScheduleRecord* current = InTable(target); current != nullptr && current != &target)
        apply(*current);
    SaveItems();
    WriteMetrics();
}

void ScheduleService::ApplyHistory(const ScheduleRecord& result)
{
    // Only the history: the item's flag and times may have moved on since
    // the copy was taken.
    if (ScheduleRecord* current = InTable(result)) {
        current->history = result.history;
        SaveItems();
        WriteMetrics();
    }
}

void ScheduleService::Heartbeat()
{
    if (MinuteNumber(clock_.Now()) != metricsMinute_)
        WriteMetrics();
}

void ScheduleService::Relay::Idle()
{
    observer_.Idle();
    // A job on a thread of its own leaves the owner's thread to its ticks.
    if (std::this_thread::get_id() == service_.owner_)
        service_.Heartbeat();
}

void ScheduleService::WriteMetrics()
{
    const LocalDateTime now = clock_.Now();
    metricsMinute_ = MinuteNumber(now);
    const std::string path = MetricsPath(settings_, env_.DataFolder());
    const Status written = WriteMetricsFile(path, FormatMetrics(table_, settings_, now));
    if (written && metricsFailed_)
        WriteLine("메트릭 파일 다시 씀: " + path);
    else if (!written && !metricsFailed_)
        WriteLine("메트릭 파일 쓰기 실패: " + written.error().description);
    metricsFailed_ = !written;
}

void ScheduleService::AdoptChangedSchedule(const ScheduleRecord& record)
{
    // The operator's copy wins, and the run's result goes into it: the item
    // would otherwise run again, its success forgotten.
    Result<ScheduleTable> onDisk = ReadReplacement();
    if (!onDisk) {
        WriteLine(std::string(kScheduleFileName) + " 저장 안 함: " + onDisk.error().description);
        return;
    }
    ApplyItemStates(ItemStatesOf(table_), *onDisk);
    auto same = std::find_if(onDisk->begin(), onDisk->end(), [&](const auto& r) {
        return r->nNo == record.nNo &&
               IsSameItem(*r, record.strServiceName, record.strID, record.strBackUpFolder);
    });
    if (same == onDisk->end())
        same = std::find_if(onDisk->begin(), onDisk->end(), [&](const auto& r) {
            return IsSameItem(*r, record.strServiceName, record.strID, record.strBackUpFolder);
        });
    table_ = std::move(*onDisk);
    knownFile_ = FileIdentity(SchedulePath());
    if (same == table_.end()) {
        WriteLine(std::string(kScheduleFileName) +
                  " 다시 읽음: 실행 중에 바뀐 파일에 이 항목이 없습니다 (" + record.strServiceName +
                  ")");
        return;
    }
    (*same)->strLastBackUpTime = record.strLastBackUpTime;
    (*same)->history = record.history;
    WriteLine(std::string(kScheduleFileName) + " 다시 읽음: 실행 중에 바뀐 파일에 결과를 씁니다");
    SaveScheduleOrReport();
}

void ScheduleService::SaveItems()
{
    env_.SetItems(ItemStatesOf(table_));
}

} // namespace veltrane
