#include "cli/items_command.h"

#include "cli/json_text.h"
#include "job/run_files.h"
#include "platform/codepage.h"
#include "platform/file_io.h"
#include "platform/program_folder.h"
#include "platform/single_instance.h"
#include "platform/terminal_text.h"
#include "report/result_mail.h"
#include "schedule/schedule_fault.h"
#include "store/field_cipher.h"
#include "store/schedule_file.h"
#include "store/schedule_table.h"
#include "store/stored_fields.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <set>
#include <type_traits>
#include <unistd.h>

namespace veltrane {
namespace {

// The largest document or log that is read: far beyond any real one.
constexpr std::uint64_t kMaxDocumentBytes = 64 << 20;
constexpr std::uint64_t kMaxLogBytes = 64 << 20;

// The passwords, which an export leaves out unless asked, and which an
// import that leaves them out keeps.
bool IsPassword(std::string_view name)
{
    return name == "strPWD" || name == "strSmtpUserPassword" || name == "strFtpUserPassword";
}

void AppendValue(std::string& out, const std::string& value)
{
    AppendJsonString(out, value);
}
void AppendValue(std::string& out, std::int32_t value)
{
    out += std::to_string(value);
}
void AppendValue(std::string& out, std::int16_t value)
{
    out += std::to_string(value);
}
void AppendValue(std::string& out, bool value)
{
    out += value ? "true" : "false";
}

// Why a document's value cannot be the field's; empty when it can.
std::string ReadValue(const JsonValue& json, std::string& value)
{
    if (json.kind != JsonValue::Kind::String)
        return std::string("a string is expected, not a ") + JsonKindName(json.kind);
    // Schedule.dat has no escape: a TAB or a line break would split the
    // line, another control character is no text an operator typed.
    for (const char c : json.text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "a control character (TAB, a line break ...) cannot be kept in Schedule.dat";
    // A character the code page lacks would be stored as "?".
    if (cp949::ToUtf8(cp949::FromUtf8(json.text)) != json.text)
        return "holds a character that code page 949 cannot store";
    value = json.text;
    return {};
}
template <typename Number>
std::string ReadNumber(const JsonValue& json, Number& value, long long low, long long high)
{
    const std::optional<long long> number = json.Integer(low, high);
    if (!number)
        return "a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
               " is expected" +
               (json.kind == JsonValue::Kind::Number
                    ? ", not " + json.text
                    : std::string(", not a ") + JsonKindName(json.kind));
    value = static_cast<Number>(*number);
    return {};
}
std::string ReadValue(const JsonValue& json, std::int16_t& value)
{
    return ReadNumber(json, value, std::numeric_limits<std::int16_t>::min(),
                      std::numeric_limits<std::int16_t>::max());
}
std::string ReadValue(const JsonValue& json, std::int32_t& value)
{
    // The number of an item: the table holds at most kMaxScheduleRecords.
    return ReadNumber(json, value, 1, static_cast<long long>(kMaxScheduleRecords));
}
std::string ReadValue(const JsonValue& json, bool& value)
{
    if (json.kind != JsonValue::Kind::Bool)
        return std::string("true or false is expected, not a ") + JsonKindName(json.kind);
    value = json.boolean;
    return {};
}

std::string_view FieldOfFault(ScheduleField field)
{
    switch (field) {
    case ScheduleField::Kind:
        return "strBackUpType";
    case ScheduleField::Time:
        return "strTime";
    case ScheduleField::Weekday:
        return "strWeek";
    case ScheduleField::Day:
        return "nDay";
    }
    return "strBackUpType";
}

// Why the item cannot be kept as it is; empty when it can. `field` names
// the field at fault.
std::string ItemFault(const ScheduleRecord& r, std::string& field)
{
    if (const std::optional<ScheduleFault> fault = ScheduleFaultOf(r)) {
        field = FieldOfFault(fault->field);
        return fault->text;
    }
    const RecipientCheck recipients = CheckRecipients(r.strMailReceiveList);
    if (!recipients.notAddresses.empty()) {
        field = "strMailReceiveList";
        return "메일 주소가 아닙니다: \"" + recipients.notAddresses.front() + "\"";
    }
    // The cipher must give back what it was given, or the password read
    // next time would not be the one imported.
    for (const auto& [name, password] : {std::pair{"strSmtpUserPassword", &r.strSmtpUserPassword},
                                         {"strFtpUserPassword", &r.strFtpUserPassword}})
        if (DecryptField(EncryptField(*password)) != *password) {
            field = name;
            return "the field cipher cannot keep this password";
        }
    return {};
}

Error Refusal(std::string text)
{
    return Error{std::move(text), "ImportItems", EINVAL};
}

// Everything from standard input, up to `maxBytes`.
Result<std::string> ReadStandardInput(std::uint64_t maxBytes)
{
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return SystemError("Cannot read standard input", "ImportItems", errno);
        if (n == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes)
            return Refusal("standard input holds more than " + std::to_string(maxBytes) + " bytes");
    }
}

int Refuse(const std::string& text, int status)
{
    std::fprintf(stderr, "Veltrane: %s\n", text.c_str());
    return status;
}

} // namespace

std::string FormatItemsJson(const ScheduleTable& table, bool withSecrets)
{
    std::string out = "{\"items\": [";
    bool firstItem = true;
    for (const auto& record : table) {
        out += firstItem ? "\n  {" : ",\n  {";
        firstItem = false;
        bool first = true;
        ForEachStoredField([&](const StoredField& field, auto member) {
            if (!withSecrets && IsPassword(field.name))
                return;
            out += first ? "" : ", ";
            first = false;
            AppendJsonString(out, field.name);
            out += ": ";
            AppendValue(out, (*record).*member);
        });
        out += '}';
    }
    out += table.empty() ? "]}\n" : "\n]}\n";
    return out;
}

Result<ScheduleTable> ItemsFromJson(std::string_view text, const ScheduleTable& stored)
{
    std::string error;
    const std::optional<JsonValue> document = ParseJson(text, error);
    if (!document)
        return Refusal("the document is no JSON: " + error);
    const JsonValue* items = document->Find("items");
    if (document->kind != JsonValue::Kind::Object || items == nullptr ||
        items->kind != JsonValue::Kind::Array)
        return Refusal("the document is no {\"items\": [ ... ]}");
    for (const auto& [name, value] : document->members)
        if (name != "items")
            return Refusal("unknown member \"" + name + "\" beside \"items\"");
    if (items->elements.size() > kMaxScheduleRecords)
        return Refusal("more than " + std::to_string(kMaxScheduleRecords) + " items");

    ScheduleTable table;
    std::set<std::int32_t> numbers;
    for (std::size_t i = 0; i < items->elements.size(); ++i) {
        const JsonValue& item = items->elements[i];
        std::string name = "items[" + std::to_string(i) + "]";
        const auto refuse = [&name](std::string_view field, const std::string& why) {
            return Refusal(name + (field.empty() ? "" : ", " + std::string(field)) + ": " + why);
        };
        if (item.kind != JsonValue::Kind::Object)
            return refuse("",
                          std::string("an object is expected, not a ") + JsonKindName(item.kind));
        auto record = std::make_shared<ScheduleRecord>();
        record->nNo = static_cast<std::int32_t>(i + 1);
        if (const JsonValue* number = item.Find("nNo")) {
            if (std::string why = ReadValue(*number, record->nNo); !why.empty())
                return refuse("nNo", why);
        }
        name += " (nNo " + std::to_string(record->nNo) + ")";
        if (!numbers.insert(record->nNo).second)
            return refuse("nNo", "another item has the same number");

        // The stored item this entry stands for keeps what the entry leaves
        // out of its passwords and its latest back time.
        if (const auto same = FindFirstItem(stored, record->nNo)) {
            record->strPWD = same->strPWD;
            record->strSmtpUserPassword = same->strSmtpUserPassword;
            record->strFtpUserPassword = same->strFtpUserPassword;
            record->strLastBackUpTime = same->strLastBackUpTime;
        }
        std::size_t known = 0;
        std::string why;
        std::string_view badField;
        ForEachStoredField([&](const StoredField& field, auto member) {
            const JsonValue* value = item.Find(field.name);
            if (value == nullptr)
                return;
            ++known;
            if (!why.empty() || field.column == kNumberColumn)
                return;
            badField = field.name;
            if constexpr (std::is_same_v<decltype(&((*record).*member)), std::int16_t*>)
                if (field.name == "nReservedFiles") {
                    why = ReadNumber(*value, (*record).*member, 0,
                                     std::numeric_limits<std::int16_t>::max());
                    return;
                }
            why = ReadValue(*value, (*record).*member);
        });
        if (!why.empty())
            return refuse(badField, why);
        if (known != item.members.size())
            for (const auto& [key, value] : item.members) {
                bool stored_ = false;
                ForEachStoredField(
                    [&](const StoredField& field, auto) { stored_ |= field.name == key; });
                if (!stored_)
                    return refuse(key, "no field of an item");
            }
        std::string field;
        if (std::string fault = ItemFault(*record, field); !fault.empty())
            return refuse(field, fault);
        table.push_back(std::move(record));
    }
    return table;
}

int ExportItemsCommand(const std::string& dataFolder, bool withSecrets)
{
    const std::string path = JoinPath(dataFolder, kScheduleFileName);
    if (!PathExists(path))
        return Refuse(path + " 파일이 없습니다", 2);
    const Result<ScheduleTable> table = ReadSchedule(path);
    if (!table)
        return Refuse(table.error().description, 2);
    if (!WriteAll(STDOUT_FILENO, FormatItemsJson(*table, withSecrets)))
        return Refuse("표준 출력에 쓸 수 없습니다", 2);
    return 0;
}

int ImportItemsCommand(const std::string& dataFolder, const std::string& source)
{
    // The document first: a bad one is refused whether or not the folder
    // is free.
    const Result<std::string> text = source == "-" ? ReadStandardInput(kMaxDocumentBytes)
                                                   : ReadWholeFile(source, kMaxDocumentBytes);
    if (!text)
        return Refuse(text.error().description, 2);

    // The service or the window keeps its own table and saves it after each
    // run: a file written beside it would be overwritten, or half taken.
    SingleInstanceLock lock(dataFolder);
    if (!lock.Held())
        return Refuse(lock.Error() +
                          "\nSchedule.dat는 바꾸지 않았습니다. 서비스(systemctl stop veltrane)나 "
                          "창을 끝낸 뒤 다시 가져오고, 서비스를 다시 시작하십시오.",
                      2);
    const std::string path = JoinPath(dataFolder, kScheduleFileName);
    const Result<ScheduleTable> stored = LoadSchedule(path);
    if (!stored)
        return Refuse(stored.error().description, 2);
    const Result<ScheduleTable> table = ItemsFromJson(*text, *stored);
    if (!table)
        return Refuse(table.error().description + "\nSchedule.dat는 바꾸지 않았습니다.", 1);
    if (const Status saved = SaveSchedule(path, *table); !saved)
        return Refuse(saved.error().description, 2);
    std::printf("%s: 항목 %zu개를 가져왔습니다\n", path.c_str(), table->size());
    return 0;
}

std::string NewestRunLog(const ScheduleRecord& record, const std::string& dataFolder)
{
    const Result<std::string> folder = ItemFolderOf(record, dataFolder);
    if (!folder)
        return {};
    // "USER_yyyyMMddhhmmss.LOG": the stamps sort as their times do.
    const std::string prefix = record.strID + "_";
    constexpr std::size_t kStampLength = 14;
    std::string newest;
    std::error_code error;
    for (std::filesystem::directory_iterator it(*folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + kStampLength + 4 || !name.starts_with(prefix) ||
            !name.ends_with(".LOG") ||
            name.find_first_not_of("0123456789", prefix.size()) != prefix.size() + kStampLength)
            continue;
        if (name > newest)
            newest = name;
    }
    return newest.empty() ? std::string() : JoinPath(*folder, newest);
}

int LogCommand(const std::string& dataFolder, int item)
{
    const std::string path = JoinPath(dataFolder, kScheduleFileName);
    const Result<ScheduleTable> table = ReadSchedule(path);
    if (!table)
        return Refuse(table.error().description, 2);
    const auto record = FindFirstItem(*table, item);
    if (record == nullptr)
        return Refuse("항목 " + std::to_string(item) + "이 Schedule.dat에 없습니다", 2);
    const std::string log = NewestRunLog(*record, dataFolder);
    if (log.empty())
        return Refuse("항목 " + std::to_string(item) + "의 실행 로그가 없습니다", 1);
    const Result<std::string> bytes = ReadWholeFile(log, kMaxLogBytes);
    if (!bytes)
        return Refuse(bytes.error().description, 2);
    // Line by line, CR LF as LF; what the utility wrote is shown, never
    // obeyed by the terminal.
    const std::string text = cp949::ToUtf8(*bytes);
    std::string out;
    out.reserve(text.size() + 64);
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        out += EscapeControlCharacters(line);
        out += '\n';
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    if (!WriteAll(STDOUT_FILENO, out))
        return Refuse("표준 출력에 쓸 수 없습니다", 2);
    return 0;
}

} // namespace veltrane
