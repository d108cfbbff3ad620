#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veltrane {

// The schedule kinds, stored in strBackUpType and compared exactly.
inline constexpr const char* kKindDaily = "매일";
inline constexpr const char* kKindWeekly = "매주";
inline constexpr const char* kKindMonthly = "매달";
inline constexpr const char* kKindHourly = "매시간";

// How an item's runs went, as far as the program knows (times
// "yyyy-MM-dd hh:mm:ss", empty when there is none).
struct ItemHistory
{
    std::string lastRunTime;         // the start of the latest finished run
    std::int64_t lastRunSeconds = 0; // how long it took (a success: its export)
    bool lastRunSucceeded = false;
    std::string lastCause; // why it failed, or the warning of a success
    std::int32_t failuresInARow = 0;
    std::string lastSuccessTime; // only a run whose export succeeded
    std::string lastSuccessDump; // its dump's file name
    std::int64_t lastSuccessBytes = 0;
    std::string overdueAlertedFor; // the due time whose lateness was alerted
    // The steps after the export that the last run took, and those of them
    // that failed (RunStep bits), with why: a run whose export succeeded is
    // no full success when its mail, read-back, archive or upload failed.
    unsigned laterSteps = 0;
    unsigned failedSteps = 0;
    std::string stepsCause;

    bool operator==(const ItemHistory&) const = default;
};

// The fields of an item that the operator fills in with the item editor,
// under the record's names. A default object has empty texts, zero numbers
// and false flags: the editor's state for a new item. Texts are UTF-8.
struct ItemProperties
{
    std::string strBackUpType; // one of the kinds above, or empty
    std::int16_t nDay = 0;     // day of month for the monthly kind
    std::string strWeek;       // "일" .. "토" for the weekly kind
    std::string strTime;       // "hh:mm:ss"
    std::string strServiceName;
    std::string strID;
    std::string strPWD;
    std::string strBackUpFolder;
    std::string strProgramPath;
    std::string strMailReceiveList; // ";"-separated
    std::int16_t nReservedFiles = 0;
    std::string strTables;
    std::string strExecutionOption;
    std::string strDescription;
    bool bUseSmtpServer = false;
    std::string strSmtpUserID;
    std::string strSmtpUserPassword;
    std::string strSmtpServer;
    bool bDataTransfer = false;
    bool bDataCompress = false;
    std::string strFtpUserID;
    std::string strFtpUserPassword;
    std::string strFtpServer;
    std::string strFtpLocation;

    bool operator==(const ItemProperties&) const = default;
};

// One backup item: what the editor fills in, and what belongs to the table
// (its number, whether it is enabled, its latest back time) and to its runs.
// A fresh record has every text empty, every number 0 and every flag false.
// The fields Schedule.dat keeps are listed once, in store/stored_fields.h.
struct ScheduleRecord : ItemProperties
{
    bool bRunNow = false; // set by "back up now"; never stored
    std::int32_t nNo = 0;
    bool bEnabled = false;
    std::string strLastBackUpTime; // "yyyy-MM-dd hh:mm:ss", empty when never run

    // What is known of the item's runs: kept across restarts in
    // Veltrane.state, never in Schedule.dat.
    ItemHistory history;
    // Failed runs counted toward giving up since the item last gave up.
    std::int16_t nExportFailCount = 0;
    // When the next try of a failed item may start ("yyyy-MM-dd hh:mm:ss");
    // empty when no try is owed. A try owed holds the item back until then,
    // and makes it due then whatever its schedule says.
    std::string strRetryAfter;
    // The run time of the item's last give-up, which moved its latest back
    // time; kept so that a restart or a reload, which read the latest back
    // time anew from Schedule.dat, do not forget it.
    std::string strGaveUpTime;
    bool bFutureTimeReported = false; // a strLastBackUpTime in the future was said
    // strLastBackUpTime is not in Schedule.dat yet, only in Veltrane.state:
    // a busy table saves the schedule every few seconds, not after each run.
    bool bBackUpTimeUnsaved = false;

    // Records compare whole, never by their properties alone.
    bool operator==(const ScheduleRecord&) const = default;
};

// The editor's part of a record, and a record given the editor's result:
// every property is copied, the table's own fields are kept.
inline ItemProperties PropertiesFromRecord(const ScheduleRecord& record)
{
    return record;
}
inline void ApplyProperties(const ItemProperties& properties, ScheduleRecord& record)
{
    static_cast<ItemProperties&>(record) = properties;
}

// The schedule table, in order. Records are shared, so that a backup run
// holding one keeps it alive and in place while the operator inserts or
// deletes items around it.
using ScheduleTable = std::vector<std::shared_ptr<ScheduleRecord>>;

// The number of items the operator may keep. Loading and saving handle any
// number of lines, so a longer hand-made file loses nothing; inserting into a
// table that already holds this many is refused.
inline constexpr std::size_t kMaxScheduleRecords = 32767;

} // namespace veltrane
