#include "store/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace veltrane {
namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The leading decimal number as a double; +/-infinity when it is too large to
// hold. Only plain decimal forms are taken: "inf", "nan" and hexadecimal
// texts do not start with a number here.
double LeadingNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && IsDigit(text[i]); ++i)
            ++digits;
    if (digits == 0)
        return 0.0;
    bool tinyExponent = false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        const bool negative = j < text.size() && text[j] == '-';
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j]))
                ++j;
            i = j;
            tinyExponent = negative;
        }
    }
    std::string_view number = text.substr(start, i - start);
    const bool minus = number.front() == '-';
    if (number.front() == '+')
        number.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        if (tinyExponent)
            return 0.0;
        return minus ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    }
    return ec == std::errc() ? value : 0.0;
}

template <typename T> std::optional<T> LeadingInteger(std::string_view text)
{
    const double rounded = std::nearbyint(LeadingNumber(text));
    if (!(rounded >= std::numeric_limits<T>::min() && rounded <= std::numeric_limits<T>::max()))
        return std::nullopt;
    return static_cast<T>(rounded);
}

} // namespace

std::optional<std::int16_t> LeadingInt16(std::string_view text)
{
    return LeadingInteger<std::int16_t>(text);
}

std::optional<std::int32_t> LeadingInt32(std::string_view text)
{
    return LeadingInteger<std::int32_t>(text);
}

} // namespace veltrane
