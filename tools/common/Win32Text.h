// Text for the Win32 parts of the hosts: paths as the command line and the environment give
// them (the ANSI code page) for the wide API and back, and the system's message for an error.
#pragma once

#include "com.h"

#include <string>

// An ANSI-code-page string as UTF-16; empty when it does not convert.
inline std::wstring WideFromAnsi(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// UTF-16 in the ANSI code page; false when a character has no equivalent there (the result
// would name another file).
inline bool AnsiFromWide(const std::wstring& text, std::string* out) {
    out->clear();
    if (text.empty())
        return true;
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy)
        return false;
    out->assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        &(*out)[0], n, nullptr, nullptr);
    return true;
}

// "The system cannot find the file specified" for 2; "error N" when the system has no text.
inline std::string SystemErrorText(DWORD error) {
    char text[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}
