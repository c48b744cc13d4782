// Numbers on the command lines of the hosts, read the same way by velomix and velomixctl.
//
// A decimal number is an optional sign, digits with an optional fraction (at least one digit
// on either side of the point) and an optional exponent ("e" or "E", an optional sign, digits):
// "1.5", "-0.25", "+2", ".5", "5.", "1e-1". Nothing else is taken: no blanks before or after,
// no hexadecimal, no "inf" or "nan", no decimal comma whatever the locale, and no value that
// overflows the type. A whole number is an optional sign and digits, within the type's range.
#pragma once

#include <cstdint>

// True with *pValue set when text is a decimal number whose value is finite.
bool ParseDecimal(const char* text, double* pValue);

// True with *pValue set when text is a whole number within the range of the type.
bool ParseWholeNumber(const char* text, int32_t* pValue);
bool ParseWholeNumber(const char* text, uint32_t* pValue);
