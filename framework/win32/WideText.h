// Text at the Win32 boundary. Every narrow string the Windows build keeps is UTF-8; it becomes
// UTF-16 only at the wide (W) call that takes it, and what such a call gives back becomes UTF-8
// again. The conversions are strict: text that is not valid UTF-8 or UTF-16 (a lone surrogate,
// a cut sequence) or that holds a zero converts to nothing and the call says false, so a name
// never turns into another name on the way. Header-only: the module, the hosts and the tests
// use it without a library between them.
#pragma once

#include <windows.h>

#include <string>

// UTF-8 to UTF-16. Empty text converts to empty text.
inline bool WideFromUtf8(const std::string& text, std::wstring* out) noexcept {
    try {
        out->clear();
        if (text.empty())
            return true;
        if (text.find('\0') != std::string::npos || text.size() > 0x7fffffff)
            return false;
        const int cb = static_cast<int>(text.size());
        const int n =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), cb, nullptr, 0);
        if (n <= 0)
            return false;
        out->assign(static_cast<size_t>(n), L'\0');
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), cb, &(*out)[0], n) !=
            n) {
            out->clear();
            return false;
        }
        return true;
    } catch (...) {
        out->clear();
        return false;
    }
}

// UTF-16 (cch units, no terminator needed) to UTF-8.
inline bool Utf8FromWide(const WCHAR* text, size_t cch, std::string* out) noexcept {
    try {
        out->clear();
        if (cch == 0)
            return true;
        if (!text || cch > 0x7fffffff || std::wstring(text, cch).find(L'\0') != std::wstring::npos)
            return false;
        const int n = static_cast<int>(cch);
        const int cb = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, n, nullptr, 0,
                                           nullptr, nullptr);
        if (cb <= 0)
            return false;
        out->assign(static_cast<size_t>(cb), '\0');
        if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, n, &(*out)[0], cb, nullptr,
                                nullptr) != cb) {
            out->clear();
            return false;
        }
        return true;
    } catch (...) {
        out->clear();
        return false;
    }
}

inline bool Utf8FromWide(const std::wstring& text, std::string* out) noexcept {
    return Utf8FromWide(text.data(), text.size(), out);
}

// The forms for call sites where empty is as good as an error (the call then fails on an
// empty name, or the caller has already checked the text).
inline std::wstring WideFromUtf8(const std::string& text) {
    std::wstring out;
    WideFromUtf8(text, &out);
    return out;
}

inline std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    Utf8FromWide(text, &out);
    return out;
}
