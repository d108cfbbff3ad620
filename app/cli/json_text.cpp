#include "cli/json_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace veltrane {
namespace {

class Reader
{
public:
    Reader(std::string_view text, std::string& error) : text_(text), error_(error) {}

    std::optional<JsonValue> Document()
    {
        JsonValue value;
        if (!Value(value, 0))
            return std::nullopt;
        SkipBlanks();
        if (at_ != text_.size())
            return Fail("unexpected text after the document");
        return value;
    }

private:
    std::nullopt_t Fail(std::string_view what)
    {
        // The line and column (in bytes) of where reading stopped.
        std::size_t line = 1;
        std::size_t lineStart = 0;
        for (std::size_t i = 0; i < at_ && i < text_.size(); ++i)
            if (text_[i] == '\n') {
                ++line;
                lineStart = i + 1;
            }
        if (error_.empty())
            error_ = std::string(what) + " (line " + std::to_string(line) + ", column " +
                     std::to_string(at_ - lineStart + 1) + ")";
        return std::nullopt;
    }
    bool Failed(std::string_view what)
    {
        Fail(what);
        return false;
    }

    void SkipBlanks()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c)
    {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    bool Value(JsonValue& value, int depth)
    {
        SkipBlanks();
        if (at_ >= text_.size())
            return Failed("the document ends where a value belongs");
        const char c = text_[at_];
        if (c == '{' || c == '[') {
            if (depth >= kMaxJsonDepth)
                return Failed("nested too deeply");
            return c == '{' ? Object(value, depth + 1) : Array(value, depth + 1);
        }
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (Word("true") || Word("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = c == 't';
            return true;
        }
        if (Word("null")) {
            value.kind = JsonValue::Kind::Null;
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return Number(value);
        return Failed("no JSON value here");
    }

    bool Object(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Object;
        ++at_;
        SkipBlanks();
        if (Take('}'))
            return true;
        for (;;) {
            SkipBlanks();
            std::string name;
            if (at_ >= text_.size() || text_[at_] != '"')
                return Failed("a member's name (a string) expected");
            const std::size_t nameAt = at_;
            if (!String(name))
                return false;
            if (value.Find(name) != nullptr) {
                at_ = nameAt;
                return Failed("the member \"" + name + "\" is given twice");
            }
            SkipBlanks();
            if (!Take(':'))
                return Failed("\":\" expected after a member's name");
            JsonValue member;
            if (!Value(member, depth))
                return false;
            value.members.emplace_back(std::move(name), std::move(member));
            SkipBlanks();
            if (Take('}'))
                return true;
            if (!Take(','))
                return Failed("\",\" or \"}\" expected");
        }
    }

    bool Array(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::Array;
        ++at_;
        SkipBlanks();
        if (Take(']'))
            return true;
        for (;;) {
            JsonValue element;
            if (!Value(element, depth))
                return false;
            value.elements.push_back(std::move(element));
            SkipBlanks();
            if (Take(']'))
                return true;
            if (!Take(','))
                return Failed("\",\" or \"]\" expected");
        }
    }

    bool Digits()
    {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start;
    }

    bool Number(JsonValue& value)
    {
        const std::size_t start = at_;
        Take('-');
        if (Take('0')) {
            if (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
                return Failed("a number may not start with 0");
        } else if (!Digits()) {
            return Failed("a number needs digits");
        }
        if (Take('.') && !Digits())
            return Failed("a number needs digits after \".\"");
        if (Take('e') || Take('E')) {
            if (!Take('+'))
                Take('-');
            if (!Digits())
                return Failed("a number needs digits in its exponent");
        }
        value.kind = JsonValue::Kind::Number;
        value.text = text_.substr(start, at_ - start);
        return true;
    }

    std::optional<unsigned> Hex4()
    {
        if (at_ + 4 > text_.size())
            return std::nullopt;
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            code <<= 4;
            if (c >= '0' && c <= '9')
                code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                code |= static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return code;
    }

    static void AppendUtf8(std::string& out, char32_t c)
    {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // One UTF-8 character of the document, checked: no overlong form, no
    // surrogate, nothing beyond U+10FFFF.
    bool Utf8Character(std::string& out)
    {
        const auto lead = static_cast<unsigned char>(text_[at_]);
        std::size_t length = 0;
        char32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
        } else {
            return Failed("a string holds bytes that are not UTF-8");
        }
        if (at_ + length > text_.size())
            return Failed("a string holds bytes that are not UTF-8");
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text_[at_ + k]);
            if ((next & 0xC0) != 0x80)
                return Failed("a string holds bytes that are not UTF-8");
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return Failed("a string holds bytes that are not UTF-8");
        out.append(text_.substr(at_, length));
        at_ += length;
        return true;
    }

    bool String(std::string& out)
    {
        ++at_; // the opening quote
        for (;;) {
            if (at_ >= text_.size())
                return Failed("a string is not closed");
            const char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return Failed("a string holds a control character (write it as \\u00XX)");
            if (static_cast<unsigned char>(c) >= 0x80) {
                if (!Utf8Character(out))
                    return false;
                continue;
            }
            ++at_;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size())
                return Failed("a string is not closed");
            const char escaped = text_[at_++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out += escaped;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                std::optional<unsigned> code = Hex4();
                if (!code)
                    return Failed("\\u needs four hexadecimal digits");
                char32_t c32 = *code;
                if (c32 >= 0xDC00 && c32 <= 0xDFFF)
                    return Failed("a \\u escape holds a lone surrogate");
                if (c32 >= 0xD800 && c32 <= 0xDBFF) {
                    std::optional<unsigned> low;
                    if (Take('\\') && Take('u'))
                        low = Hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return Failed("a \\u escape holds a lone surrogate");
                    c32 = 0x10000 + ((c32 - 0xD800) << 10) + (*low - 0xDC00);
                }
                AppendUtf8(out, c32);
                break;
            }
            default:
                return Failed("unknown escape in a string");
            }
        }
    }

    std::string_view text_;
    std::string& error_;
    std::size_t at_ = 0;
};

} // namespace

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

const JsonValue* JsonValue::Find(std::string_view name) const
{
    for (const auto& [key, value] : members)
        if (key == name)
            return &value;
    return nullptr;
}

std::optional<long long> JsonValue::Integer(long long low, long long high) const
{
    if (kind != Kind::Number || text.find_first_of(".eE") != std::string::npos || text.size() > 20)
        return std::nullopt;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < low || value > high)
        return std::nullopt;
    return value;
}

const char* JsonKindName(JsonValue::Kind kind)
{
    switch (kind) {
    case JsonValue::Kind::Null:
        return "null";
    case JsonValue::Kind::Bool:
        return "boolean";
    case JsonValue::Kind::Number:
        return "number";
    case JsonValue::Kind::String:
        return "string";
    case JsonValue::Kind::Array:
        return "array";
    case JsonValue::Kind::Object:
        return "object";
    }
    return "value";
}

std::optional<JsonValue> ParseJson(std::string_view text, std::string& error)
{
    error.clear();
    return Reader(text, error).Document();
}

} // namespace veltrane
