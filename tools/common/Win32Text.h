// Text for the Win32 parts of the hosts. Their paths are UTF-8 (the entry point converts the
// wide command line); win32/WideText.h turns them into UTF-16 for the wide API and back. Here
// also the system's message for an error.
#pragma once

#include "com.h"
#include "win32/WideText.h"

#include <string>

// "The system cannot find the file specified" for 2; "error N" when the system has no text.
inline std::string SystemErrorText(DWORD error) {
    WCHAR text[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, ARRAYSIZE(text), nullptr);
    std::string message;
    Utf8FromWide(text, n, &message);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}
