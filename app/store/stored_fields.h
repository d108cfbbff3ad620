#pragma once

// The fields of an item that Schedule.dat keeps, listed once: each with its
// stored name (the key of the field wherever it is written out by name), its
// column in the file, and whether it is kept enciphered. The file's reader
// and writer, and the item editor's tracking of what the operator changed,
// go through this list, so that a field is added or moved in one place.

#include "store/schedule_record.h"

#include <string_view>
#include <type_traits>

namespace veltrane {

struct StoredField
{
    std::string_view name; // "nNo", "bEnabled", "strBackUpType", ...
    int column;            // in Schedule.dat, from 0
    bool enciphered;       // through the field cipher (the SMTP and FTP passwords)
};

inline constexpr int kStoredFieldCount = 27;
// Column 0 holds the item's number: the file numbers its lines 1..n.
inline constexpr int kNumberColumn = 0;

// Calls visit(field, member) for each stored field, in column order.
// `member` points to the record's member of the field, with its own type
// (std::string, std::int16_t, std::int32_t or bool): a member of
// ItemProperties for the fields the item editor fills in, of ScheduleRecord
// for the table's own (nNo, bEnabled, strLastBackUpTime).
template <typename Visit> constexpr void ForEachStoredField(Visit&& visit)
{
#define VELTRANE_STORED_FIELD(member, column, enciphered)                                          \
    visit(StoredField{#member, column, enciphered}, &ScheduleRecord::member)
    VELTRANE_STORED_FIELD(nNo, 0, false);
    VELTRANE_STORED_FIELD(bEnabled, 1, false);
    VELTRANE_STORED_FIELD(strBackUpType, 2, false);
    VELTRANE_STORED_FIELD(nDay, 3, false);
    VELTRANE_STORED_FIELD(strWeek, 4, false);
    VELTRANE_STORED_FIELD(strTime, 5, false);
    VELTRANE_STORED_FIELD(strID, 6, false);
    VELTRANE_STORED_FIELD(strPWD, 7, false);
    VELTRANE_STORED_FIELD(strBackUpFolder, 8, false);
    VELTRANE_STORED_FIELD(strServiceName, 9, false);
    VELTRANE_STORED_FIELD(strLastBackUpTime, 10, false);
    VELTRANE_STORED_FIELD(strProgramPath, 11, false);
    VELTRANE_STORED_FIELD(strMailReceiveList, 12, false);
    VELTRANE_STORED_FIELD(nReservedFiles, 13, false);
    VELTRANE_STORED_FIELD(strTables, 14, false);
    VELTRANE_STORED_FIELD(strExecutionOption, 15, false);
    VELTRANE_STORED_FIELD(strDescription, 16, false);
    VELTRANE_STORED_FIELD(bUseSmtpServer, 17, false);
    VELTRANE_STORED_FIELD(strSmtpUserID, 18, false);
    VELTRANE_STORED_FIELD(strSmtpUserPassword, 19, true);
    VELTRANE_STORED_FIELD(strSmtpServer, 20, false);
    VELTRANE_STORED_FIELD(bDataTransfer, 21, false);
    VELTRANE_STORED_FIELD(bDataCompress, 22, false);
    VELTRANE_STORED_FIELD(strFtpUserID, 23, false);
    VELTRANE_STORED_FIELD(strFtpUserPassword, 24, true);
    VELTRANE_STORED_FIELD(strFtpServer, 25, false);
    VELTRANE_STORED_FIELD(strFtpLocation, 26, false);
#undef VELTRANE_STORED_FIELD
}

namespace detail {
template <typename Member> struct MemberOf;
template <typename Class, typename Type> struct MemberOf<Type Class::*>
{
    using ClassType = Class;
};
} // namespace detail

// ForEachStoredField for the 24 fields of ItemProperties only; `member`
// points into ItemProperties.
template <typename Visit> constexpr void ForEachItemProperty(Visit&& visit)
{
    ForEachStoredField([&visit](const StoredField& field, auto member) {
        if constexpr (std::is_same_v<typename detail::MemberOf<decltype(member)>::ClassType,
                                     ItemProperties>)
            visit(field, member);
    });
}

namespace detail {
constexpr bool StoredFieldsInColumnOrder()
{
    int next = 0;
    bool inOrder = true;
    ForEachStoredField([&](const StoredField& field, auto) { inOrder &= field.column == next++; });
    return inOrder && next == kStoredFieldCount;
}
constexpr int ItemPropertyCount()
{
    int count = 0;
    ForEachItemProperty([&](const StoredField&, auto) { ++count; });
    return count;
}
} // namespace detail

static_assert(detail::StoredFieldsInColumnOrder(), "the stored fields are listed by column");
static_assert(detail::ItemPropertyCount() == 24, "every editor field is stored");

} // namespace veltrane
