#include "store/schedule_table.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace veltrane {
namespace {

// The three names of an item, as views of the texts that hold them.
struct Names
{
    std::string_view service;
    std::string_view user;
    std::string_view backUpFolder;

    bool operator==(const Names&) const = default;
};

struct NamesHash
{
    std::size_t operator()(const Names& names) const
    {
        const std::hash<std::string_view> hash;
        std::size_t h = hash(names.service);
        for (const std::string_view text : {names.user, names.backUpFolder})
            h = h * 1000003u ^ hash(text);
        return h;
    }
};

void Renumber(const ScheduleTable& table)
{
    std::int32_t next = 1;
    for (const auto& record : table)
        record->nNo = next++;
}

} // namespace

ItemKey KeyOf(const ScheduleRecord& record)
{
    return {record.nNo, record.strServiceName, record.strID, record.strBackUpFolder};
}

std::vector<std::size_t> FindSameItems(const ScheduleTable& table,
                                       std::span<const ItemKey* const> keys)
{
    std::vector<std::size_t> found(keys.size(), kNoItem);
    // The keys of each item, in order: a table of thousands of items finds
    // them at once instead of walking all of them per record.
    std::unordered_map<Names, std::vector<std::size_t>, NamesHash> byNames;
    byNames.reserve(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k)
        byNames[{keys[k]->service, keys[k]->user, keys[k]->backUpFolder}].push_back(k);
    std::vector<bool> taken(table.size(), false);
    // Two rounds: the record of the same number first, then any of the item.
    for (const bool sameNumber : {true, false}) {
        for (std::size_t r = 0; r < table.size(); ++r) {
            if (taken[r])
                continue;
            const ScheduleRecord& record = *table[r];
            const auto keysOf =
                byNames.find({record.strServiceName, record.strID, record.strBackUpFolder});
            if (keysOf == byNames.end())
                continue;
            for (const std::size_t k : keysOf->second) {
                if (found[k] != kNoItem || (sameNumber && keys[k]->itemNo != record.nNo))
                    continue;
                found[k] = r;
                taken[r] = true;
                break;
            }
        }
    }
    return found;
}

std::shared_ptr<ScheduleRecord> FindSameItem(const ScheduleTable& table, const ItemKey& key)
{
    const ItemKey* const keys[] = {&key};
    const std::size_t found = FindSameItems(table, keys).front();
    return found == kNoItem ? nullptr : table[found];
}

std::shared_ptr<ScheduleRecord> FindFirstItem(const ScheduleTable& table, std::int32_t number)
{
    auto it = std::find_if(table.begin(), table.end(),
                           [number](const auto& record) { return record->nNo == number; });
    return it == table.end() ? nullptr : *it;
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

std::vector<RemovedItem> DeleteItems(ScheduleTable& table, std::int32_t number)
{
    std::vector<RemovedItem> removed;
    ScheduleTable kept;
    kept.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i]->nNo == number)
            removed.push_back({i, table[i]});
        else
            kept.push_back(table[i]);
    }
    Renumber(kept);
    table = std::move(kept);
    return removed;
}

void RestoreItems(ScheduleTable& table, const std::vector<RemovedItem>& removed)
{
    for (const RemovedItem& item : removed)
        table.insert(table.begin() +
                         static_cast<std::ptrdiff_t>(std::min(item.position, table.size())),
                     item.record);
    Renumber(table);
}

std::vector<std::shared_ptr<ScheduleRecord>> ItemsNumbered(const ScheduleTable& table,
                                                           std::int32_t number)
{
    std::vector<std::shared_ptr<ScheduleRecord>> items;
    for (const auto& record : table)
        if (record->nNo == number)
            items.push_back(record);
    return items;
}

} // namespace veltrane
