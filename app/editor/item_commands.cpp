#include "editor/item_commands.h"

#include <algorithm>

namespace veltrane {

ItemProperties PropertiesFromRecord(const ScheduleRecord& record)
{
    ItemProperties p;
    p.strTables = record.strTables;
    p.strBackUpFolder = record.strBackUpFolder;
    p.strBackUpType = record.strBackUpType;
    p.nDay = record.nDay;
    p.strWeek = record.strWeek;
    p.strTime = record.strTime;
    p.strPWD = record.strPWD;
    p.strID = record.strID;
    p.strServiceName = record.strServiceName;
    p.strProgramPath = record.strProgramPath;
    p.strMailReceiveList = record.strMailReceiveList;
    p.nReservedFiles = record.nReservedFiles;
    p.strExecutionOption = record.strExecutionOption;
    p.strDescription = record.strDescription;
    p.bUseSmtpServer = record.bUseSmtpServer;
    p.strSmtpUserID = record.strSmtpUserID;
    p.strSmtpUserPassword = record.strSmtpUserPassword;
    p.strSmtpServer = record.strSmtpServer;
    p.bDataTransfer = record.bDataTransfer;
    p.bDataCompress = record.bDataCompress;
    p.strFtpUserID = record.strFtpUserID;
    p.strFtpUserPassword = record.strFtpUserPassword;
    p.strFtpServer = record.strFtpServer;
    p.strFtpLocation = record.strFtpLocation;
    return p;
}

void ApplyProperties(const ItemProperties& p, ScheduleRecord& record)
{
    record.strTables = p.strTables;
    record.strBackUpFolder = p.strBackUpFolder;
    record.strBackUpType = p.strBackUpType;
    record.nDay = p.nDay;
    record.strWeek = p.strWeek;
    record.strTime = p.strTime;
    record.strPWD = p.strPWD;
    record.strID = p.strID;
    record.strServiceName = p.strServiceName;
    record.strProgramPath = p.strProgramPath;
    record.strMailReceiveList = p.strMailReceiveList;
    record.nReservedFiles = p.nReservedFiles;
    record.strExecutionOption = p.strExecutionOption;
    record.strDescription = p.strDescription;
    record.bUseSmtpServer = p.bUseSmtpServer;
    record.strSmtpUserID = p.strSmtpUserID;
    record.strSmtpUserPassword = p.strSmtpUserPassword;
    record.strSmtpServer = p.strSmtpServer;
    record.bDataTransfer = p.bDataTransfer;
    record.bDataCompress = p.bDataCompress;
    record.strFtpUserID = p.strFtpUserID;
    record.strFtpUserPassword = p.strFtpUserPassword;
    record.strFtpServer = p.strFtpServer;
    record.strFtpLocation = p.strFtpLocation;
}

bool IsScheduleTableFull(const ScheduleTable& table)
{
    return table.size() >= kMaxScheduleRecords;
}

std::shared_ptr<ScheduleRecord> InsertItem(ScheduleTable& table, const ItemProperties& properties,
                                           std::string& error)
{
    if (IsScheduleTableFull(table)) {
        error = "The schedule already holds " + std::to_string(kMaxScheduleRecords) +
                " items; no item was added";
        return nullptr;
    }
    auto record = std::make_shared<ScheduleRecord>();
    ApplyProperties(properties, *record);
    record->nNo = static_cast<std::int32_t>(table.size() + 1);
    record->bEnabled = false;
    table.push_back(record);
    return record;
}

std::shared_ptr<ScheduleRecord> FindFirstItem(const ScheduleTable& table, std::int32_t number)
{
    auto it = std::find_if(table.begin(), table.end(),
                           [number](const auto& record) { return record->nNo == number; });
    return it == table.end() ? nullptr : *it;
}

std::size_t DeleteItems(ScheduleTable& table, std::int32_t number)
{
    ScheduleTable kept;
    kept.reserve(table.size());
    for (const auto& record : table)
        if (record->nNo != number)
            kept.push_back(record);
    const std::size_t removed = table.size() - kept.size();
    std::int32_t next = 1;
    for (const auto& record : kept)
        record->nNo = next++;
    table = std::move(kept);
    return removed;
}

std::size_t SetItemsEnabled(ScheduleTable& table, std::int32_t number, bool enabled)
{
    std::size_t changed = 0;
    for (const auto& record : table) {
        if (record->nNo == number) {
            record->bEnabled = enabled;
            ++changed;
        }
    }
    return changed;
}

} // namespace veltrane
