#include "NumberText.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <type_traits>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The end of the digits starting at p.
const char* SkipDigits(const char* p) {
    while (IsDigit(*p))
        ++p;
    return p;
}

template <typename T> bool ParseWhole(const char* text, T* pValue) {
    if (!text || !pValue)
        return false;
    const bool bSign = *text == '+' || *text == '-';
    const char* digits = bSign ? text + 1 : text;
    if (!IsDigit(*digits) || *SkipDigits(digits) != '\0')
        return false;
    if (*text == '-' && std::is_unsigned_v<T>)
        return false;
    // from_chars reads a '-' but no '+'.
    const char* begin = *text == '+' ? text + 1 : text;
    const char* end = digits + std::strlen(digits);
    T value{};
    const auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return false;
    *pValue = value;
    return true;
}

} // namespace

bool ParseDecimal(const char* text, double* pValue) {
    if (!text || !pValue)
        return false;
    const char* p = text;
    if (*p == '+' || *p == '-')
        ++p;
    const char* number = p;
    const char* afterInteger = SkipDigits(p);
    size_t digits = static_cast<size_t>(afterInteger - p);
    p = afterInteger;
    if (*p == '.') {
        const char* afterFraction = SkipDigits(p + 1);
        digits += static_cast<size_t>(afterFraction - (p + 1));
        p = afterFraction;
    }
    if (digits == 0)
        return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-')
            ++p;
        if (!IsDigit(*p))
            return false;
        p = SkipDigits(p);
    }
    if (*p != '\0')
        return false;
    // The grammar above is a subset of what from_chars reads in its general format, without the
    // sign, which from_chars does not take as '+'; it converts independently of the locale.
    double value = 0.0;
    const auto result = std::from_chars(number, p, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != p || !std::isfinite(value))
        return false;
    *pValue = text[0] == '-' ? -value : value;
    return true;
}

bool ParseWholeNumber(const char* text, int32_t* pValue) {
    return ParseWhole(text, pValue);
}

bool ParseWholeNumber(const char* text, uint32_t* pValue) {
    return ParseWhole(text, pValue);
}
