#include "store/schedule_file.h"

#include "platform/codepage.h"
#include "platform/file_io.h"
#include "store/field_cipher.h"
#include "store/number_text.h"
#include "store/stored_fields.h"

#include <cctype>
#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace veltrane {
namespace {

constexpr mode_t kOwnerOnly = 0600;

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "True"/"False" in any letter case, or a number (0 is false, any other value
// true); anything else ("yes", "nan", "inf") is not a boolean.
std::optional<bool> ToBoolean(std::string_view text)
{
    if (EqualsIgnoringCase(text, "true"))
        return true;
    if (EqualsIgnoringCase(text, "false"))
        return false;
    if (std::optional<double> value = WholeDecimalNumber(text))
        return *value != 0;
    return std::nullopt;
}

template <typename T> void SetIfValid(T& field, const std::optional<T>& value)
{
    if (value)
        field = *value;
}

// A column's text into its field; a text that does not convert leaves the
// field as it is.
void ReadField(std::string_view text, const StoredField& field, std::string& value)
{
    if (field.enciphered)
        SetIfValid(value, DecryptField(text));
    else
        value = text;
}
void ReadField(std::string_view text, const StoredField&, std::int16_t& value)
{
    SetIfValid(value, LeadingInt16(text));
}
void ReadField(std::string_view text, const StoredField&, std::int32_t& value)
{
    SetIfValid(value, LeadingInt32(text));
}
void ReadField(std::string_view text, const StoredField&, bool& value)
{
    SetIfValid(value, ToBoolean(text));
}

std::vector<std::string_view> SplitColumns(std::string_view line)
{
    std::vector<std::string_view> columns;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        columns.push_back(line.substr(start, tab - start));
        if (tab == std::string_view::npos)
            return columns;
        start = tab + 1;
    }
}

void AppendField(std::string& line, std::string_view text)
{
    // Whole stretches at a time; only the rare TAB, CR or LF is replaced.
    for (;;) {
        const std::size_t special = text.find_first_of("\t\r\n");
        line.append(text.substr(0, special));
        if (special == std::string_view::npos)
            return;
        line += ' ';
        text.remove_prefix(special + 1);
    }
}

void WriteField(std::string& line, const StoredField& field, const std::string& value)
{
    AppendField(line, field.enciphered ? EncryptField(value) : value);
}
void WriteField(std::string& line, const StoredField&, std::int32_t value)
{
    line += std::to_string(value);
}
void WriteField(std::string& line, const StoredField&, std::int16_t value)
{
    line += std::to_string(value);
}
void WriteField(std::string& line, const StoredField&, bool value)
{
    line += value ? "True" : "False";
}

} // namespace

ScheduleRecord ParseScheduleLine(std::string_view line)
{
    ScheduleRecord r;
    std::vector<std::string_view> columns = SplitColumns(line);
    columns.resize(kStoredFieldCount, {});
    ForEachStoredField([&](const StoredField& field, auto member) {
        ReadField(columns[static_cast<std::size_t>(field.column)], field, r.*member);
    });
    return r;
}

std::string FormatScheduleLine(const ScheduleRecord& r, std::int32_t number)
{
    std::string line;
    line.reserve(256);
    ForEachStoredField([&](const StoredField& field, auto member) {
        if (field.column != 0)
            line += '\t';
        if (field.column == kNumberColumn)
            WriteField(line, field, number);
        else
            WriteField(line, field, r.*member);
    });
    return line;
}

Result<ScheduleTable> LoadSchedule(const std::string& path)
{
    // A save that was killed part-way may have left a partial copy of the
    // schedule, passwords included; the file itself is always whole.
    RemoveSaveLeftovers(path);
    return ReadSchedule(path);
}

Result<ScheduleTable> ReadSchedule(const std::string& path)
{
    Result<std::string> bytes = ReadWholeFile(path, kMaxScheduleFileBytes);
    if (!bytes) {
        if (bytes.error().code == ENOENT)
            return ScheduleTable();
        return bytes.error();
    }
    // Every item is a line of TAB-separated columns; a file of text without
    // one (or with NUL bytes, as UTF-16 has) is not a schedule this program
    // wrote or can read.
    const bool blank = bytes->find_first_not_of(" \t\r\n") == std::string::npos;
    if (bytes->find('\0') != std::string::npos ||
        (!blank && bytes->find('\t') == std::string::npos)) {
        std::string text = "\"";
        text.append(path).append("\" holds no item that can be read");
        return Error{std::move(text), "LoadSchedule", EINVAL};
    }
    return ParseSchedule(*bytes);
}

ScheduleTable ParseSchedule(std::string_view bytes)
{
    ScheduleTable table;
    const std::string text = cp949::ToUtf8(bytes);
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        // A line of blanks and TABs only (an empty line left by a hand edit
        // or a copy) is no item: it would show as an item numbered 0 with no
        // schedule, and be saved back as one.
        if (line.find_first_not_of(" \t") != std::string_view::npos)
            table.push_back(std::make_shared<ScheduleRecord>(ParseScheduleLine(line)));
        if (end == std::string_view::npos)
            break;
        // CR LF ends a line; a lone CR or LF does too.
        std::size_t next = end + 1;
        if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n')
            ++next;
        rest.remove_prefix(next);
    }
    return table;
}

std::string FormatSchedule(const ScheduleTable& table)
{
    std::string text;
    text.reserve(table.size() * 256);
    std::int32_t number = 0;
    for (const auto& record : table) {
        text += FormatScheduleLine(*record, ++number);
        text += "\r\n";
    }
    return cp949::FromUtf8(text);
}

Status SaveSchedule(const std::string& path, const ScheduleTable& table)
{
    const std::string bytes = FormatSchedule(table);
    // Passwords are in the file: others never get it. A group that could
    // read or write it before keeps that (the service's folder is shared
    // with its group of operators).
    mode_t mode = kOwnerOnly;
    struct stat st
    {};
    if (stat(path.c_str(), &st) == 0)
        mode |= st.st_mode & (S_IRGRP | S_IWGRP);
    return WriteFileAtomically(path, bytes, mode);
}

} // namespace veltrane
