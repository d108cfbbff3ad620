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

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    return text;
}

// The length of the decimal number at the start of `text` (sign, digits, an
// optional fraction, an optional exponent), 0 when it does not start with one.
// An "e" that no digit follows is not part of the number.
std::size_t ScanDecimal(std::string_view text)
{
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && IsDigit(text[i]); ++i)
            ++digits;
    if (digits == 0)
        return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

// The power of ten of the first significant digit of a scanned number that
// is not zero: 2 for "123", -3 for "0.00123", 5 for "1e5". Saturates far
// beyond any double's range instead of overflowing.
long long DecimalMagnitude(std::string_view number)
{
    constexpr long long kFar = 1'000'000'000;
    std::size_t i = (number.front() == '+' || number.front() == '-') ? 1 : 0;
    long long integerDigits = 0; // significant digits before the point
    long long fractionZeros = 0; // zeros after the point before the first other digit
    bool fraction = false;
    bool significant = false;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        const char c = number[i];
        if (c == '.')
            fraction = true;
        else if (!significant && c == '0')
            fractionZeros += fraction ? 1 : 0;
        else {
            significant = true;
            integerDigits += fraction ? 0 : 1;
        }
    }
    long long exponent = 0;
    bool negative = false;
    if (i < number.size()) {
        ++i;
        negative = number[i] == '-';
        if (number[i] == '+' || number[i] == '-')
            ++i;
        for (; i < number.size() && exponent < kFar; ++i)
            exponent = exponent * 10 + (number[i] - '0');
    }
    const long long magnitude = integerDigits > 0 ? integerDigits - 1 : -(fractionZeros + 1);
    return magnitude + (negative ? -exponent : exponent);
}

// The value of a scanned number. Out of a double's range, the magnitude of
// the written value decides: too large gives infinity, too small gives 0.
double DecimalValue(std::string_view number)
{
    const bool minus = number.front() == '-';
    std::string_view digits = number;
    if (digits.front() == '+')
        digits.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc())
        return value;
    if (DecimalMagnitude(number) < 0)
        return minus ? -0.0 : 0.0;
    return minus ? -std::numeric_limits<double>::infinity()
                 : std::numeric_limits<double>::infinity();
}

template <typename T> std::optional<T> LeadingInteger(std::string_view text)
{
    text = SkipBlanks(text);
    const std::size_t length = ScanDecimal(text);
    const double rounded = length == 0 ? 0.0 : std::nearbyint(DecimalValue(text.substr(0, length)));
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

std::optional<double> WholeDecimalNumber(std::string_view text)
{
    text = SkipBlanks(text);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    const std::size_t length = ScanDecimal(text);
    if (length == 0 || length != text.size())
        return std::nullopt;
    return DecimalValue(text);
}

} // namespace veltrane
