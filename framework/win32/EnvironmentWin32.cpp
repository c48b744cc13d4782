#include "Environment.h"

#include <windows.h>

namespace {

// Short ASCII names and values are all this is asked about.
constexpr DWORD kMaxText = 64;

bool Widen(const char* text, wchar_t (&wide)[kMaxText]) noexcept {
    DWORD i = 0;
    for (; text[i] != '\0'; ++i) {
        if (i + 1 >= kMaxText)
            return false;
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    wide[i] = L'\0';
    return true;
}

} // namespace

bool EnvironmentIs(const char* name, const char* value) noexcept {
    wchar_t wideName[kMaxText];
    wchar_t wideValue[kMaxText];
    wchar_t actual[kMaxText];
    if (!Widen(name, wideName) || !Widen(value, wideValue))
        return false;
    const DWORD n = GetEnvironmentVariableW(wideName, actual, kMaxText);
    // 0: not set (or empty); n >= kMaxText: longer than any value asked about.
    if (n == 0 || n >= kMaxText)
        return false;
    return lstrcmpW(actual, wideValue) == 0;
}
