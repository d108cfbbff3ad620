#pragma once

// A schedule table at its limit (32767 items of every kind) with a history
// for most items, as the service benchmarks read and write it: one in ten
// disabled, one in seven that never ran, one in five of the rest failing
// since its last success (with a cause), each run at a second of its own
// over the last nine hours.

#include "schedule/calendar.h"
#include "store/schedule_record.h"

#include <memory>
#include <string>

namespace veltrane::bench {

inline ScheduleTable LimitTable()
{
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    const LocalDateTime lastStart = *ParseDateTime("2026-12-08 10:00:00");
    ScheduleTable table;
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = static_cast<std::int32_t>(i + 1);
        r->bEnabled = i % 10 != 9;
        r->strBackUpType = kinds[i % 4];
        r->strTime = "03:45:00";
        r->strWeek = "월";
        r->nDay = 20;
        r->strServiceName = "운영DB_" + std::to_string(i);
        r->strID = "SCOTT";
        r->strPWD = "tiger";
        r->strBackUpFolder = "/srv/backup/";
        r->strProgramPath = "/u01/app/oracle/bin/exp";
        r->strMailReceiveList = "dba@example.com;ops@example.com";
        r->nReservedFiles = 7;
        if (i % 7 != 6) {
            ItemHistory& h = r->history;
            h.lastRunTime = FormatDateTime(AddSeconds(lastStart, -static_cast<int>(i)));
            h.lastRunSeconds = 600;
            h.lastRunSucceeded = i % 5 != 4;
            h.lastCause = h.lastRunSucceeded ? "" : "ORA-12541: TNS:no listener";
            h.failuresInARow = h.lastRunSucceeded ? 0 : 2;
            h.lastSuccessTime = h.lastRunSucceeded ? h.lastRunTime : "2026-12-07 03:45:00";
            h.lastSuccessDump = "SCOTT_20261207034500.DMP";
            h.lastSuccessBytes = 123456789;
            r->strLastBackUpTime = h.lastSuccessTime;
        }
        table.push_back(r);
    }
    return table;
}

} // namespace veltrane::bench
