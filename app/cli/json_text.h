#pragma once

// JSON as the commands write and read it: strings escaped for output, and a
// small strict reader for the documents an operator hands in (the items of
// --import-items). The reader takes RFC 8259 JSON and nothing more: no
// comments, no trailing commas, no repeated key in an object, no control
// character or broken UTF-8 in a string, and nests at most kMaxJsonDepth deep.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrane {

inline constexpr int kMaxJsonDepth = 32;

// `text` (UTF-8) as a JSON string, quotes included, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

struct JsonValue
{
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text; // a string's value, or a number as it was written
    std::vector<JsonValue> elements;
    std::vector<std::pair<std::string, JsonValue>> members; // in document order

    // The member named `name`; nullptr when there is none (or no object).
    const JsonValue* Find(std::string_view name) const;
    // The number as a whole number, when it is written as one (no fraction,
    // no exponent) and lies in [low, high].
    std::optional<long long> Integer(long long low, long long high) const;
};

// "string", "number" ...: the kind as a message names it.
const char* JsonKindName(JsonValue::Kind kind);

// The document in `text`; nullopt with the reason and where (line and
// column) in `error` when it is no JSON.
std::optional<JsonValue> ParseJson(std::string_view text, std::string& error);

} // namespace veltrane
